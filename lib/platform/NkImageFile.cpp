// SPDX-License-Identifier: MIT
#include "NkImageFile.h"

#include "Nk.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qim {

namespace {

// 0 when st may be opened as an image, else the errno that says why not.
int RefusalOf(const struct stat& st, std::span<const NkFileIdentity> refused)
{
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))
        return EINVAL;
    for (const NkFileIdentity& r : refused)
        if (r.qwDevice != 0 && st.st_dev == r.qwDevice && st.st_ino == r.qwInode)
            return EDEADLK;
    return 0;
}

thread_local std::array<char, kNkMaxPath> lockedFile{};

// 0, or EAGAIN when another open holds a lock that this one's conflicts with.
int Lock(int fd, int flags, const char* path)
{
    struct flock fl {};
    fl.l_type = (flags & O_ACCMODE) == O_RDONLY ? F_RDLCK : F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_SETLK, &fl) == 0)
        return 0;
    if (errno != EAGAIN && errno != EACCES)
        return 0;  // a file system without locks: nothing to guard against
    std::strncpy(lockedFile.data(), path, lockedFile.size() - 1);
    return EAGAIN;
}

}  // namespace

const char* NkLockedImageFile() { return lockedFile.data(); }

void NkClearLockedImageFile() { lockedFile[0] = '\0'; }

int NkOpenImageDescriptor(const char* path, int flags, unsigned createMode, std::span<const NkFileIdentity> refused,
                          NkLock lock)
{
    struct stat before {};
    if (::stat(path, &before) == 0) {
        if (const int why = RefusalOf(before, refused); why != 0) {
            errno = why;
            return -1;
        }
    } else if ((flags & O_CREAT) == 0 || errno != ENOENT) {
        return -1;
    }
    // Non-blocking, so that a FIFO put in the file's place after the check
    // cannot hold the open; the check is repeated on what was opened.
    // A locked file is truncated only once its lock is held.
    const bool locking = lock == NkLock::ByAccess;
    const int truncate = locking ? flags & O_TRUNC : 0;
    const int fd = ::open(path, (flags & ~truncate) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, createMode);
    if (fd < 0)
        return -1;
    struct stat after {};
    int why = ::fstat(fd, &after) != 0 ? errno : RefusalOf(after, refused);
    if (why == 0 && locking)
        why = Lock(fd, flags, path);
    if (why == 0 && truncate != 0 && ::ftruncate(fd, 0) != 0)
        why = errno;
    if (why == 0 && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        why = errno;
    if (why != 0) {
        ::close(fd);
        errno = why;
        return -1;
    }
    return fd;
}

}  // namespace qim
