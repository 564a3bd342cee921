// SPDX-License-Identifier: MIT
// Running the real programs as root: qim on a temporary node, qimc, loop
// devices and mounts. Every wait is bounded, and every object undoes what it
// set up when it goes away, also when a test fails half way.
#pragma once

#include "TempDir.h"

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace qimtest::e2e {

// Empty when this machine can run the end-to-end tests; otherwise why not.
[[nodiscard]] std::string SkipReason();

[[nodiscard]] std::string QimPath();
[[nodiscard]] std::string QimcPath();

struct RunResult {
    int status = -1;  // exit status; -1 when killed (also on timeout)
    bool timedOut = false;
    std::string out;
    std::string err;
};

// Runs argv (argv[0] is looked up in PATH) with extra "NAME=value" entries in
// its environment, killed after timeoutSeconds.
RunResult RunCommand(const std::vector<std::string>& argv, int timeoutSeconds = 60,
              const std::vector<std::string>& env = {});

// qimc with QIM_DEVICE set to the node.
RunResult Qimc(const std::string& node, const std::vector<std::string>& args);

// A qim process serving a node under a temporary directory, or several
// (dir/qim0, dir/qim1, ...).
class QimServer {
public:
    explicit QimServer(const TempDir& dir, int devices = 1);
    ~QimServer();
    QimServer(const QimServer&) = delete;
    QimServer& operator=(const QimServer&) = delete;

    // Starts qim and waits until the node is mounted; ignoringSigint starts
    // it as a script's background job is started, with SIGINT ignored;
    // transport, when given, is qim's --transport.
    [[nodiscard]] bool Start(bool ignoringSigint = false, const std::string& transport = "");
    // SIGTERM, then waits; returns qim's exit status (-1 if it had to be killed).
    int Stop();
    void Signal(int sig) const;
    // Waits up to seconds for qim to end: its exit status (-1 after a signal),
    // or nullopt while it still runs.
    [[nodiscard]] std::optional<int> WaitExit(int seconds);
    [[nodiscard]] const std::string& node() const { return node_; }
    [[nodiscard]] std::string node(int device) const;
    // What qim wrote to standard error so far.
    [[nodiscard]] std::string Log() const;

private:
    std::string node_;
    std::string log_;
    int devices_ = 1;
    pid_t pid_ = -1;
};

// The kernel's switch of FUSE over io_uring, set for the object's life and
// put back as it was found. ok() is false where the kernel lacks it.
class UringSwitch {
public:
    explicit UringSwitch(bool on);
    ~UringSwitch();
    UringSwitch(const UringSwitch&) = delete;
    UringSwitch& operator=(const UringSwitch&) = delete;
    [[nodiscard]] bool ok() const { return !found_.empty(); }

private:
    std::string found_;
};

// The node attached to a loop device with direct I/O and mounted on a directory.
class NodeMount {
public:
    NodeMount(const std::string& node, const std::string& dir, bool readOnly);
    ~NodeMount();
    NodeMount(const NodeMount&) = delete;
    NodeMount& operator=(const NodeMount&) = delete;
    [[nodiscard]] bool ok() const { return mounted_; }
    [[nodiscard]] const std::string& error() const { return error_; }
    // Unmounts and detaches the loop device; true when both succeeded.
    bool Unmount();

private:
    std::string dir_;
    std::string loop_;
    std::string error_;
    bool mounted_ = false;
};

[[nodiscard]] bool IsMountPoint(const std::string& path);

// A raw disk image with a PC/AT table: a primary Linux partition (number 1),
// an extended partition and in it one logical Linux partition (number 2).
// Each holds an ext2 file system made from the files given.
struct PartitionedImage {
    std::string path;
    std::uint64_t totalSectors = 0;
    std::uint64_t primaryStart = 0, primarySectors = 0;
    std::uint64_t logicalStart = 0, logicalSectors = 0;
};
struct FileSpec {
    std::string name;
    std::string contents;
};
[[nodiscard]] bool MakePartitionedImage(const TempDir& dir, const std::string& name,
                                        const std::vector<FileSpec>& primaryFiles,
                                        const std::vector<FileSpec>& logicalFiles,
                                        PartitionedImage& image, std::string& error,
                                        const char* fsType = "ext2");

// qimc's argument form for a raw image: FILE [r] h a 0 512 TOTAL HEADS SPT PART.
[[nodiscard]] std::vector<std::string> RawMountArgs(const PartitionedImage& image, bool readOnly,
                                                    int partition);

}  // namespace qimtest::e2e
