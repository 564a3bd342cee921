// SPDX-License-Identifier: MIT
// Settings of the control programs' platform layer.
#pragma once

#include "NkImageFile.h"

namespace qim {

// How image files opened from now on are locked (NkImageFile.h); none by default.
void NkUserSetImageLocks(NkLock lock);

}  // namespace qim
