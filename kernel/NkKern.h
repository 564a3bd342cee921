// SPDX-License-Identifier: MIT
// Settings of the driver's platform layer that only its host makes.
#pragma once

#include "NkImageFile.h"

#include <cstdint>

namespace qim {

// The node through which the driver serves minor (below kNkDriverNodes), by
// device and inode number ({0, 0}: none). The platform layer refuses to open
// it, or any other name of it, as an image: the open would wait on the driver
// that is opening it.
inline constexpr unsigned kNkDriverNodes = 16;
void NkKernSetDriverNode(unsigned minor, std::uint64_t device, std::uint64_t inode);

// How image files opened from now on are locked (NkImageFile.h): none until
// the program that serves the nodes asks, so the library behaves alike on
// both platform layers wherever no other program shares its images.
void NkKernSetImageLocks(NkLock lock);

// Whether an image write on the calling thread failed for lack of space
// (ENOSPC, EDQUOT) since the last call; clears it. The driver sees only that
// a request failed; the node tells its caller why.
[[nodiscard]] bool NkKernTakeNoSpace();

}  // namespace qim
