// SPDX-License-Identifier: MIT
// Opening an image file for either platform layer. An image is a regular file
// or a block device; a FIFO would block the open for ever, a directory would
// pass for an empty disk, and a character device or socket is no disk at all.
#pragma once

#include <cstdint>
#include <span>

namespace qim {

// A file by its device and inode number; {0, 0} names none.
struct NkFileIdentity {
    std::uint64_t qwDevice;
    std::uint64_t qwInode;
};

// How an open locks the file against other programs: not at all, or with an
// open-file-description lock, shared for a read-only open and exclusive for
// one that may write, held until the descriptor is closed.
enum class NkLock : std::uint8_t { None, ByAccess };

// Opens path with the open(2) flags given (O_CREAT allowed, with createMode)
// and returns the descriptor, or -1 with errno set: EINVAL for a file that is
// no image, EDEADLK for a file `refused` names (neither is ever opened for
// reading), EAGAIN for one whose lock another open holds (then
// NkLockedImageFile names it; O_TRUNC has not truncated it).
[[nodiscard]] int NkOpenImageDescriptor(const char* path, int flags, unsigned createMode,
                                        std::span<const NkFileIdentity> refused, NkLock lock);

// The file the calling thread's last open found locked, "" when none did
// since ClearLockedImageFile.
[[nodiscard]] const char* NkLockedImageFile();
void NkClearLockedImageFile();

}  // namespace qim
