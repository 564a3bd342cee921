#include "NkImageFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qim {

namespace {

// 0 when st may be opened as an image, else the errno that says why not.
int RefusalOf(const struct stat& st, NkFileIdentity refused)
{
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))
        return EINVAL;
    if (refused.qwDevice != 0 && st.st_dev == refused.qwDevice && st.st_ino == refused.qwInode)
        return EDEADLK;
    return 0;
}

}  // namespace

int NkOpenImageDescriptor(const char* path, int flags, unsigned createMode, NkFileIdentity refused)
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
    const int fd = ::open(path, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, createMode);
    if (fd < 0)
        return -1;
    struct stat after {};
    int why = ::fstat(fd, &after) != 0 ? errno : RefusalOf(after, refused);
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
