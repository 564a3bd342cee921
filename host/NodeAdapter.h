// SPDX-License-Identifier: MIT
// The device node's operations mapped onto a minor of the block driver
// registered as "qim": its open, release and control requests through its
// block_device_operations, and reads and writes as block requests. It knows
// the driver only through the kernel's interfaces.
#pragma once

#include "FuseNode.h"

namespace qim::host {

// The callbacks for the node of minor (below kLockedMinors). Each takes the
// minor's request lock once and holds it across the whole operation
// (RequestLock.h, rule 2).
[[nodiscard]] NodeOps DeviceNodeOps(unsigned minor = 0);

}  // namespace qim::host
