// SPDX-License-Identifier: MIT
// qimg convert: the disk, or one partition of it, as a raw file or onto a
// block device. No file of the image is ever the output, an existing file is
// replaced whole or not at all, and an interrupted copy leaves nothing behind.
#include "QimgImage.h"

#include "ConsoleInput.h"
#include "DiskEtc.h"
#include "Nk.h"
#include "PartitionEntry.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <span>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qim::qimg {

namespace {

// Percent, throughput and time left on one terminal line, at most ten times a second.
class ProgressBar {
public:
    ProgressBar(bool wanted, std::uint64_t total) : shown_(wanted && ::isatty(STDERR_FILENO) == 1), total_(total) {}
    void Update(std::uint64_t done, bool last = false)
    {
        if (!shown_)
            return;
        const auto now = Clock::now();
        if (!last && now - lastShown_ < std::chrono::milliseconds(100))
            return;
        lastShown_ = now;
        const double seconds = std::chrono::duration<double>(now - start_).count();
        const double percent = total_ == 0 ? 100.0 : 100.0 * static_cast<double>(done) / static_cast<double>(total_);
        const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
        const double left = rate > 0 ? static_cast<double>(total_ - done) / rate : 0;
        const auto secondsLeft = static_cast<unsigned long>(left + 0.5);
        constexpr int kWidth = 30;
        const int filled = static_cast<int>(percent * kWidth / 100);
        std::fprintf(stderr, "\r[%.*s%.*s] %5.1f%% %8.1f MB/s %lu:%02lu:%02lu left", filled,
                     "##############################", kWidth - filled, "..............................", percent,
                     rate / 1e6, secondsLeft / 3600, secondsLeft / 60 % 60, secondsLeft % 60);
        if (last)
            std::fputc('\n', stderr);
    }

private:
    using Clock = std::chrono::steady_clock;
    bool shown_;
    std::uint64_t total_;
    Clock::time_point start_ = Clock::now();
    Clock::time_point lastShown_{};
};

// Writes the non-zero runs of data to out at position; zero runs of whole
// blocks stay holes.
bool WriteSparse(int out, std::uint64_t position, std::span<const std::byte> data)
{
    constexpr std::size_t kBlock = 4096;
    std::size_t at = 0;
    while (at < data.size()) {
        // Skip zero blocks, then gather the run of blocks that are not.
        std::size_t n = std::min(kBlock, data.size() - at);
        if (NkIsAllZero(data.data() + at, static_cast<std::uint32_t>(n)) != 0) {
            at += n;
            continue;
        }
        std::size_t end = at + n;
        while (end < data.size()) {
            const std::size_t m = std::min(kBlock, data.size() - end);
            if (NkIsAllZero(data.data() + end, static_cast<std::uint32_t>(m)) != 0)
                break;
            end += m;
        }
        for (std::size_t written = at; written < end;) {
            const ssize_t w = ::pwrite(out, data.data() + written, end - written,
                                       static_cast<off_t>(position + written));
            if (w <= 0)
                return false;
            written += static_cast<std::size_t>(w);
        }
        at = end;
    }
    return true;
}

// A file by identity: the same inode under any name, or the same block device under any node.
struct FileId {
    dev_t dev;
    ino_t ino;
    dev_t rdev;  // block devices only
};

FileId IdOf(const struct stat& st) { return {st.st_dev, st.st_ino, S_ISBLK(st.st_mode) ? st.st_rdev : 0}; }

bool SameFile(const FileId& a, const FileId& b)
{
    return (a.dev == b.dev && a.ino == b.ino) || (a.rdev != 0 && a.rdev == b.rdev);
}

// Every file the open image reads: the library holds each of them open (the
// image, its extents, its parents), so the process's descriptors name them all.
std::vector<FileId> InputFiles(const std::string& imagePath)
{
    std::vector<FileId> ids;
    if (struct stat st {}; ::stat(imagePath.c_str(), &st) == 0)
        ids.push_back(IdOf(st));
    DIR* fds = ::opendir("/proc/self/fd");
    if (fds == nullptr)
        return ids;
    while (const dirent* entry = ::readdir(fds)) {
        std::uint32_t fd = 0;
        struct stat st {};
        if (ParseUnsigned(entry->d_name, &fd) && fd > STDERR_FILENO && static_cast<int>(fd) != ::dirfd(fds) &&
            ::fstat(static_cast<int>(fd), &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)))
            ids.push_back(IdOf(st));
    }
    ::closedir(fds);
    return ids;
}

// Set by SIGINT, SIGTERM and SIGHUP: the copy stops, removes what it made and
// then dies of the signal.
volatile std::sig_atomic_t interruptedBy = 0;

extern "C" void NoteInterrupt(int signal) { interruptedBy = signal; }

class InterruptGuard {
public:
    InterruptGuard()
    {
        struct sigaction action {};
        action.sa_handler = NoteInterrupt;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < kSignals.size(); ++i)
            ::sigaction(kSignals[i], &action, &old_[i]);
    }
    ~InterruptGuard()
    {
        for (std::size_t i = 0; i < kSignals.size(); ++i)
            ::sigaction(kSignals[i], &old_[i], nullptr);
    }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;
    // Dies of the signal that came, as if it had not been caught.
    static void Reraise()
    {
        if (interruptedBy == 0)
            return;
        std::signal(interruptedBy, SIG_DFL);
        std::raise(interruptedBy);
    }

private:
    static constexpr std::array<int, 3> kSignals = {SIGINT, SIGTERM, SIGHUP};
    std::array<struct sigaction, 3> old_{};
};

// Where convert writes. A file is made under no name (or a temporary one) in
// the directory of the file it replaces and renamed over it only when whole;
// a block device is written in place, zeros included, and stays.
struct Output {
    std::string path;     // as given
    std::string target;   // the file the path names, symbolic links resolved
    std::string temp;     // the temporary name, while one exists
    int fd = -1;
    bool device = false;
    bool unnamed = false;  // O_TMPFILE: nothing to remove if the copy fails
    ~Output()
    {
        if (fd >= 0)
            ::close(fd);
        if (!temp.empty())
            ::unlink(temp.c_str());
    }
};

std::string DirectoryOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

const char* KindOf(mode_t mode)
{
    return S_ISDIR(mode) ? "a directory" : S_ISFIFO(mode) ? "a FIFO" : S_ISCHR(mode) ? "a character device"
                                                              : S_ISSOCK(mode) ? "a socket" : "not a regular file";
}

bool OpenDeviceOutput(Output* output, const std::vector<FileId>& inputs, std::uint64_t bytes)
{
    // O_EXCL: a device that is mounted or otherwise held is refused by the kernel.
    output->fd = ::open(output->path.c_str(), O_WRONLY | O_EXCL | O_CLOEXEC);
    if (output->fd < 0) {
        Fail(output->path, std::string("cannot open the block device: ") + std::strerror(errno));
        return false;
    }
    output->device = true;
    // A loop device over a file of the image would write into that file.
    if (loop_info64 loop{}; ::ioctl(output->fd, LOOP_GET_STATUS64, &loop) == 0)
        for (const FileId& input : inputs)
            if (input.dev == loop.lo_device && input.ino == loop.lo_inode) {
                Fail(output->path, "is a loop device over a file of the image being converted; give another output");
                return false;
            }
    std::uint64_t size = 0;
    if (::ioctl(output->fd, BLKGETSIZE64, &size) != 0 || size < bytes) {
        Fail(output->path, "the block device holds " + std::to_string(size) + " bytes, the disk " +
                               std::to_string(bytes));
        return false;
    }
    return true;
}

bool OpenFileOutput(Output* output, const struct stat* existing)
{
    // An existing file is replaced where it lies, also behind a symbolic link.
    if (existing != nullptr) {
        std::array<char, PATH_MAX> resolved{};
        if (::realpath(output->path.c_str(), resolved.data()) == nullptr) {
            Fail(output->path, std::string("cannot resolve the name: ") + std::strerror(errno));
            return false;
        }
        output->target = resolved.data();
    } else {
        output->target = output->path;
    }
    const mode_t mode = existing != nullptr ? existing->st_mode & 07777 : 0644;
    const std::string directory = DirectoryOf(output->target);
    output->fd = ::open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    output->unnamed = output->fd >= 0;
    if (output->fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // A file system without unnamed files: a temporary name, removed on failure.
        std::string name = output->target + ".qimg-XXXXXX";
        output->fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (output->fd >= 0)
            output->temp = name;
    }
    if (output->fd < 0) {
        Fail(output->path, std::string("cannot create the file: ") + std::strerror(errno));
        return false;
    }
    // A replaced file keeps its permissions.
    if (existing != nullptr || !output->unnamed)
        static_cast<void>(::fchmod(output->fd, mode));
    return true;
}

// Refuses an output that is one of the inputs or of a kind qimg does not
// write, before anything is created.
bool OpenOutput(const std::string& path, const std::vector<FileId>& inputs, std::uint64_t bytes, Output* output)
{
    output->path = path;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        struct stat link {};
        if (errno == ENOENT && ::lstat(path.c_str(), &link) == 0) {
            Fail(path, "a symbolic link to nothing; give the file it should name");
            return false;
        }
        if (errno != ENOENT) {
            Fail(path, std::string("cannot create the file: ") + std::strerror(errno));
            return false;
        }
        return OpenFileOutput(output, nullptr);
    }
    for (const FileId& input : inputs)
        if (SameFile(input, IdOf(st))) {
            Fail(path, "is a file of the image being converted; give another output");
            return false;
        }
    if (S_ISBLK(st.st_mode))
        return OpenDeviceOutput(output, inputs, bytes);
    if (!S_ISREG(st.st_mode)) {
        Fail(path, std::string("is ") + KindOf(st.st_mode) +
                       "; qimg writes a regular file or a block device");
        return false;
    }
    return OpenFileOutput(output, &st);
}

// Puts a whole copy in place: a file under its name, a device on its medium.
bool FinishOutput(Output* output, std::uint64_t bytes)
{
    const int fd = output->fd;
    if (!output->device && ::ftruncate(fd, static_cast<off_t>(bytes)) != 0)
        return false;
    if (::fsync(fd) != 0)
        return false;
    if (output->unnamed) {
        std::string name = output->target + ".qimg-XXXXXX";
        // Only to reserve a free name for the link below.
        const int reserve = ::mkstemp(name.data());
        if (reserve < 0)
            return false;
        ::close(reserve);
        ::unlink(name.c_str());
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) != 0)
            return false;
        output->temp = name;
    }
    output->fd = -1;
    if (::close(fd) != 0)
        return false;
    if (output->device)
        return true;
    if (interruptedBy != 0) {
        errno = EINTR;
        return false;
    }
    if (::rename(output->temp.c_str(), output->target.c_str()) != 0)
        return false;
    output->temp.clear();
    return true;
}

// Writes data at position: a device whole, a file with its zero blocks left as holes.
bool WriteOutput(const Output& output, std::uint64_t position, std::span<const std::byte> data)
{
    if (!output.device)
        return WriteSparse(output.fd, position, data);
    for (std::size_t written = 0; written < data.size();) {
        const ssize_t w =
            ::pwrite(output.fd, data.data() + written, data.size() - written, static_cast<off_t>(position + written));
        if (w <= 0)
            return false;
        written += static_cast<std::size_t>(w);
    }
    return true;
}

}  // namespace

int Convert(const Options& options)
{
    Image image;
    if (!OpenImage(options, options.files[0], &image))
        return kExitFailed;
    std::uint64_t begin = 0;
    std::uint64_t end = DiskByteSize(image.info);
    if (options.partition != 0) {
        if (image.floppy != 0) {
            Fail(image.path, "a floppy image has no partitions");
            return kExitFailed;
        }
        // A raw hard disk's kind is what its table says, as info shows it.
        Facts facts;
        CollectPartitions(&image, &facts);
        const std::uint32_t pc98 = std::string_view(facts.table) == "pc-98" ? 1 : 0;
        PartitionExtent extent{};
        if (GetPartitionExtent(&image.disk, pc98, options.partition - 1, &extent) != 0) {
            const std::size_t count = facts.partitions.size();
            Fail(image.path, "no partition " + std::to_string(options.partition) + ": the disk has " +
                                 (count == 0 ? std::string("no partition table")
                                             : std::to_string(count) + (count == 1 ? " partition" : " partitions")));
            return kExitFailed;
        }
        const std::uint64_t b = image.info.dwBytesPerSector;
        const PartitionExtent table = extent;
        const std::string partition = "partition " + std::to_string(options.partition);
        const std::string diskEnd = "the disk's end at sector " + std::to_string(image.info.dwTotalSectors);
        if (ClipPartitionExtent(image.info, &extent) != 0) {
            Fail(image.path, partition + " starts at sector " + std::to_string(table.qwStartSector) + ", at or past " +
                                 diskEnd);
            return kExitFailed;
        }
        // As the driver serves it: what the disk holds of it.
        if (extent.qwSectorCount != table.qwSectorCount)
            Fail(image.path, "warning: " + partition + " ends at sector " +
                                 std::to_string(table.qwStartSector + table.qwSectorCount) + ", past " + diskEnd +
                                 "; converting up to the disk's end");
        begin = extent.qwStartSector * b;
        end = begin + extent.qwSectorCount * b;
    }

    constexpr std::uint32_t kChunk = 4u << 20;
    NkBuffer buffer(kChunk);
    if (!buffer) {
        FailCode(image.path, "cannot convert", ERR_NO_MEMORY);
        return kExitFailed;
    }
    const InterruptGuard guard;
    Output output;
    if (!OpenOutput(options.files[1], InputFiles(image.path), end - begin, &output))
        return kExitFailed;
    ProgressBar bar(options.progress, end - begin);
    bool writeFailed = false;
    const int rc = WalkAllocation(&image.disk, begin, end, [&](std::uint64_t at, std::uint64_t length,
                                                                std::uint32_t where) {
        for (std::uint64_t done = 0; done < length;) {
            if (interruptedBy != 0)
                return ERR_WRITE_FILE;
            const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(kChunk, length - done));
            if (where == DISK_UNALLOCATED && !output.device) {
                done = length;
                break;
            }
            if (where == DISK_UNALLOCATED)
                std::memset(buffer.data(), 0, n);
            else if (int readRc = Disk_Read64(&image.disk, at + done, n, buffer.data()); readRc != 0)
                return readRc;
            if (!WriteOutput(output, at + done - begin, buffer.span().first(n))) {
                writeFailed = true;
                return ERR_WRITE_FILE;
            }
            done += n;
            bar.Update(at + done - begin);
        }
        bar.Update(at + length - begin);
        return 0;
    });
    const int error = errno;
    if (rc == 0 && FinishOutput(&output, end - begin)) {
        bar.Update(end - begin, true);
        return 0;
    }
    const char* device = output.device ? " (the device holds a partial copy)" : "";
    if (interruptedBy != 0)
        Fail(output.path, output.device ? "interrupted; the device holds a partial copy"
                                        : "interrupted; no output was made");
    else if (rc == 0 || writeFailed)
        Fail(output.path, std::string("cannot write the file: ") + std::strerror(rc == 0 ? errno : error) + device);
    else
        FailCode(image.path, "cannot read the image", rc);
    return kExitFailed;
}


void ReraiseInterrupt() { InterruptGuard::Reraise(); }

}  // namespace qim::qimg
