// Loading and unloading the driver module, as insmod and rmmod do.
#pragma once

namespace qim::host {

// qim_init under the request lock; returns its result.
[[nodiscard]] int LoadModule();
// qim_cleanup under the request lock.
void UnloadModule();

}  // namespace qim::host
