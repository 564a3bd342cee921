// SPDX-License-Identifier: MIT
// Loading and unloading the driver module, as insmod and rmmod do.
#pragma once

namespace qim::host {

// qim_init with the module parameter devs under the request lock; returns its result.
[[nodiscard]] int LoadModule(int devices = 1);
// qim_cleanup under the request lock.
void UnloadModule();

}  // namespace qim::host
