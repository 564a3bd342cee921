// The host's stand-in for the Linux 2.4 kernel around the driver: module
// load and unload, and the device node's operations mapped onto the driver's
// open, release, control requests and request queue.
#pragma once

#include "FuseNode.h"

namespace qim::host {

// qim_init under the request lock; returns its result.
[[nodiscard]] int LoadModule();
// qim_cleanup under the request lock.
void UnloadModule();
// The node's callbacks for ServeNode: device minor 0.
[[nodiscard]] NodeOps DeviceNodeOps();

}  // namespace qim::host
