// Opening an image file for either platform layer. An image is a regular file
// or a block device; a FIFO would block the open for ever, a directory would
// pass for an empty disk, and a character device or socket is no disk at all.
#pragma once

#include <cstdint>

namespace qim {

// A file by its device and inode number; {0, 0} names none.
struct NkFileIdentity {
    std::uint64_t qwDevice;
    std::uint64_t qwInode;
};

// Opens path with the open(2) flags given (O_CREAT allowed, with createMode)
// and returns the descriptor, or -1 with errno set: EINVAL for a file that is no image, EDEADLK
// for the file `refused` names. Neither is ever opened for reading.
[[nodiscard]] int NkOpenImageDescriptor(const char* path, int flags, unsigned createMode, NkFileIdentity refused);

}  // namespace qim
