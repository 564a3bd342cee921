// SPDX-License-Identifier: MIT
#include "E2eSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace qimtest::e2e {

namespace {

using Clock = std::chrono::steady_clock;

std::string Slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool HaveTool(const char* name)
{
    const std::string probe = std::string("command -v ") + name + " >/dev/null 2>&1";
    return std::system(probe.c_str()) == 0;
}

// Waits for the child up to the deadline; kills it after that. Returns the
// wait status, or -1 when it had to be killed.
int WaitBounded(pid_t pid, Clock::time_point deadline, bool& timedOut)
{
    timedOut = false;
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return status;
        if (r < 0)
            return -1;
        if (Clock::now() >= deadline) {
            timedOut = true;
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int ExitStatus(int waitStatus) { return waitStatus >= 0 && WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1; }

std::string Trim(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

}  // namespace

// QIM_E2E_QIM and QIM_E2E_QIMC run the tests against other builds of the programs.
std::string QimPath()
{
    const char* other = std::getenv("QIM_E2E_QIM");
    return other != nullptr ? other : QIM_BIN;
}
std::string QimcPath()
{
    const char* other = std::getenv("QIM_E2E_QIMC");
    return other != nullptr ? other : QIMC_BIN;
}

std::string SkipReason()
{
    if (::geteuid() != 0)
        return "end-to-end tests need root (mount, loop devices, FUSE)";
    if (::access("/dev/fuse", R_OK | W_OK) != 0)
        return "no usable /dev/fuse on this machine";
    if (::access("/dev/loop-control", R_OK | W_OK) != 0)
        return "no loop devices on this machine (/dev/loop-control missing)";
    for (const char* tool : {"losetup", "mount", "umount", "sfdisk", "mke2fs", "e2fsck", "debugfs", "dd"})
        if (!HaveTool(tool))
            return std::string("the tool ") + tool + " is not installed (scripts/setup.sh installs it)";
    if (::access(QimPath().c_str(), X_OK) != 0 || ::access(QimcPath().c_str(), X_OK) != 0)
        return "qim or qimc was not built";
    return {};
}

RunResult RunCommand(const std::vector<std::string>& argv, int timeoutSeconds, const std::vector<std::string>& env)
{
    RunResult result;
    char outName[] = "/tmp/qim-e2e-out.XXXXXX";
    char errName[] = "/tmp/qim-e2e-err.XXXXXX";
    const int outFd = ::mkstemp(outName);
    const int errFd = ::mkstemp(errName);
    if (outFd < 0 || errFd < 0)
        return result;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(outFd, 1);
        ::dup2(errFd, 2);
        const int nullFd = ::open("/dev/null", O_RDONLY);
        ::dup2(nullFd, 0);
        for (const std::string& e : env)
            ::putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        std::perror(args[0]);
        ::_exit(127);
    }
    if (pid > 0)
        result.status = ExitStatus(WaitBounded(pid, Clock::now() + std::chrono::seconds(timeoutSeconds), result.timedOut));
    ::close(outFd);
    ::close(errFd);
    result.out = Slurp(outName);
    result.err = Slurp(errName);
    ::unlink(outName);
    ::unlink(errName);
    return result;
}

RunResult Qimc(const std::string& node, const std::vector<std::string>& args)
{
    std::vector<std::string> argv{QimcPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunCommand(argv, 60, {"QIM_DEVICE=" + node});
}

bool IsMountPoint(const std::string& path)
{
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, devno, root, point;
        fields >> id >> parent >> devno >> root >> point;
        if (point == path)
            return true;
    }
    return false;
}

QimServer::QimServer(const TempDir& dir, int devices)
    : node_(dir.file("qim0")), log_(dir.file("qim.log")), devices_(devices) {}

std::string QimServer::node(int device) const
{
    return node_.substr(0, node_.size() - 1) + std::to_string(device);
}

QimServer::~QimServer()
{
    Stop();
}

bool QimServer::Start(bool ignoringSigint, const std::string& transport)
{
    // The whole suite may run over another transport than qim's default; over
    // io_uring qim is served only once it says so, not after a fallback.
    const char* suite = std::getenv("QIM_E2E_TRANSPORT");
    const std::string chosen = transport.empty() && suite != nullptr ? suite : transport;
    const std::string option = "--transport=" + chosen;
    const bool needRings = transport.empty() && chosen == "uring";
    const pid_t pid = ::fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        if (ignoringSigint)
            std::signal(SIGINT, SIG_IGN);
        const int logFd = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(logFd, 2);
        const int nullFd = ::open("/dev/null", O_RDWR);
        ::dup2(nullFd, 0);
        ::dup2(nullFd, 1);
        const std::string qim = QimPath();
        // The transport option last, where one was chosen.
        const char* last = chosen.empty() ? nullptr : option.c_str();
        if (devices_ == 1) {
            ::execl(qim.c_str(), qim.c_str(), "--node", node_.c_str(), last, static_cast<char*>(nullptr));
        } else {
            const std::string count = std::to_string(devices_), nodeDir = node_.substr(0, node_.rfind('/'));
            ::execl(qim.c_str(), qim.c_str(), "--devices", count.c_str(), "--node-dir", nodeDir.c_str(), last,
                    static_cast<char*>(nullptr));
        }
        ::_exit(127);
    }
    pid_ = pid;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        // Served, not merely a mount point: a killed qim's dead mount is one too.
        struct stat st {};
        if (IsMountPoint(node(devices_ - 1)) && ::stat(node(devices_ - 1).c_str(), &st) == 0 &&
            (!needRings || Log().find("serving over io_uring") != std::string::npos))
            return true;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

int QimServer::Stop()
{
    int status = -1;
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        bool timedOut = false;
        status = ExitStatus(WaitBounded(pid_, Clock::now() + std::chrono::seconds(30), timedOut));
        pid_ = -1;
    }
    // A killed qim leaves its mounts behind; a lazy unmount frees the paths.
    for (int i = 0; i < devices_; ++i)
        if (IsMountPoint(node(i)))
            RunCommand({"umount", "-l", node(i)}, 10);
    return status;
}

namespace {
constexpr const char* kUringSwitch = "/sys/module/fuse/parameters/enable_uring";

bool WriteSwitch(const std::string& value)
{
    FILE* f = std::fopen(kUringSwitch, "we");
    if (f == nullptr)
        return false;
    const bool written = std::fputs(value.c_str(), f) >= 0;
    return std::fclose(f) == 0 && written;
}
}  // namespace

UringSwitch::UringSwitch(bool on)
{
    FILE* f = std::fopen(kUringSwitch, "re");
    if (f == nullptr)
        return;
    char value[8] = {};
    if (std::fgets(value, sizeof value, f) != nullptr)
        found_ = value;
    std::fclose(f);
    if (!found_.empty() && !WriteSwitch(on ? "1" : "0"))
        found_.clear();
}

UringSwitch::~UringSwitch()
{
    if (!found_.empty())
        static_cast<void>(WriteSwitch(found_));
}

namespace {
// QIM_E2E_TRANSPORT=uring: the kernel's switch is on for the whole run, and
// every test skips where the kernel lacks it.
class SuiteTransport : public ::testing::Environment {
public:
    void SetUp() override
    {
        const char* t = std::getenv("QIM_E2E_TRANSPORT");
        if (t == nullptr || std::strcmp(t, "uring") != 0)
            return;
        uring_.emplace(true);
        if (!uring_->ok())
            GTEST_SKIP() << "this kernel has no FUSE over io_uring";
    }
    void TearDown() override { uring_.reset(); }

private:
    std::optional<UringSwitch> uring_;
};

[[maybe_unused]] ::testing::Environment* const kSuiteTransport =
    ::testing::AddGlobalTestEnvironment(new SuiteTransport);
}  // namespace

void QimServer::Signal(int sig) const
{
    if (pid_ > 0)
        ::kill(pid_, sig);
}

std::optional<int> QimServer::WaitExit(int seconds)
{
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (pid_ > 0) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return ExitStatus(status);
        }
        if (Clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

std::string QimServer::Log() const { return Slurp(log_); }

NodeMount::NodeMount(const std::string& node, const std::string& dir, bool readOnly) : dir_(dir)
{
    std::vector<std::string> losetup{"losetup", "--direct-io=on", "--find", "--show"};
    if (readOnly)
        losetup.push_back("--read-only");
    losetup.push_back(node);
    const RunResult attach = RunCommand(losetup, 30);
    if (attach.status != 0) {
        error_ = "losetup: " + attach.err;
        return;
    }
    loop_ = Trim(attach.out);
    const RunResult mount = RunCommand({"mount", "-o", readOnly ? "ro" : "rw", loop_, dir_}, 60);
    if (mount.status != 0) {
        error_ = "mount: " + mount.err;
        return;
    }
    mounted_ = true;
}

NodeMount::~NodeMount() { Unmount(); }

bool NodeMount::Unmount()
{
    bool ok = true;
    if (mounted_) {
        // umount can meet a busy file system for a moment after the last
        // process left it; a lazy unmount is the last resort.
        bool done = false;
        for (int attempt = 0; attempt < 20 && !done; ++attempt) {
            done = RunCommand({"umount", dir_}, 60).status == 0;
            if (!done)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (!done) {
            RunCommand({"umount", "-l", dir_}, 30);
            ok = false;
        }
        mounted_ = false;
    }
    if (!loop_.empty()) {
        ok = RunCommand({"losetup", "-d", loop_}, 30).status == 0 && ok;
        loop_.clear();
    }
    return ok;
}

bool MakePartitionedImage(const TempDir& dir, const std::string& name, const std::vector<FileSpec>& primaryFiles,
                          const std::vector<FileSpec>& logicalFiles, PartitionedImage& image, std::string& error,
                          const char* fsType)
{
    image.path = dir.file(name);
    image.totalSectors = 24 * 2048;  // 24 MiB
    image.primaryStart = 2048;
    image.primarySectors = 8 * 2048;
    // The extended partition starts at 10 MiB; its first logical partition
    // leaves one MiB for its table, as partitioning tools do.
    image.logicalStart = 12 * 2048;
    image.logicalSectors = image.totalSectors - image.logicalStart;
    MakeSparseFile(image.path, image.totalSectors * 512);

    const std::string layout = dir.file(name + ".sfdisk");
    {
        std::ofstream out(layout);
        out << "label: dos\nunit: sectors\n"
            << image.primaryStart << "," << image.primarySectors << ",83\n"
            << 10 * 2048 << ",,5\n"
            << image.logicalStart << "," << image.logicalSectors << ",83\n";
    }
    const RunResult sfdisk = RunCommand({"sh", "-c", "sfdisk -q '" + image.path + "' < '" + layout + "'"}, 60);
    if (sfdisk.status != 0) {
        error = "sfdisk: " + sfdisk.err;
        return false;
    }
    const auto makeFs = [&](const std::vector<FileSpec>& files, std::uint64_t start, std::uint64_t sectors,
                            const std::string& tag) {
        const std::string content = dir.file(name + "." + tag);
        ::mkdir(content.c_str(), 0700);
        for (const FileSpec& f : files)
            WriteFile(content + "/" + f.name, Bytes(f.contents.begin(), f.contents.end()));
        const RunResult mk = RunCommand({"mke2fs", "-q", "-F", "-t", fsType, "-b", "1024", "-E",
                                  "offset=" + std::to_string(start * 512), "-d", content, image.path,
                                  std::to_string(sectors / 2) + "k"},
                                 120);
        if (mk.status != 0)
            error = "mke2fs: " + mk.err;
        return mk.status == 0;
    };
    return makeFs(primaryFiles, image.primaryStart, image.primarySectors, "p1") &&
           makeFs(logicalFiles, image.logicalStart, image.logicalSectors, "p5");
}

std::vector<std::string> RawMountArgs(const PartitionedImage& image, bool readOnly, int partition)
{
    std::vector<std::string> args{"m", image.path};
    if (readOnly)
        args.push_back("r");
    for (const std::string a : {"h", "a", "0", "512"})
        args.push_back(a);
    args.push_back(std::to_string(image.totalSectors));
    args.push_back("16");
    args.push_back("63");
    args.push_back(std::to_string(partition));
    return args;
}

}  // namespace qimtest::e2e
