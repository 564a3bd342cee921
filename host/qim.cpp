// SPDX-License-Identifier: MIT
// qim: loads the driver into the host's stand-in for the kernel and serves its
// devices on nodes until SIGINT or SIGTERM.
#include "FuseNode.h"
#include "NkKern.h"
#include "Module.h"
#include "NodeAdapter.h"
#include "QimMount.h"
#include "RequestLock.h"
#include "QimVersion.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef QIM_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace {

// Tells a service manager that every node is served; sd_notify does nothing
// unless systemd started qim (NOTIFY_SOCKET).
void Ready()
{
#ifdef QIM_HAVE_SYSTEMD
    sd_notify(0, "READY=1\nSTATUS=serving");
#endif
}

void Stopping()
{
#ifdef QIM_HAVE_SYSTEMD
    sd_notify(0, "STOPPING=1");
#endif
}

constexpr const char* kUsage =
    "usage: qim [--devices N] [--node PATH | --node-dir DIR] [--transport=auto|uring|dev] [--debug]\n"
    "       qim --version | --help\n"
    "Loads the QIM driver and serves its device on PATH (default /dev/qim0), a\n"
    "regular file created when nothing is there, until SIGINT or SIGTERM; while\n"
    "the node is open it keeps serving and unloads when the last opener has gone.\n"
    "Then mount an image with qimc and the node with mount, for example partition 1\n"
    "of a disk (qimc's exit status is the partition's system id, 255 on failure):\n"
    "  qimc m disk.vmdk 1; [ $? != 255 ] && mount /dev/qim0 /mnt\n"
    "--devices N (1 to 16) serves N devices, each with an image of its own, on\n"
    "DIR/qim0 to DIR/qimN-1 (DIR is /dev unless --node-dir names it; --node names\n"
    "the node of a single device); qimc -d 1 ... reaches the second.\n"
    "Requests reach the node over io_uring where the kernel offers it (as root:\n"
    "echo 1 > /sys/module/fuse/parameters/enable_uring), else through /dev/fuse;\n"
    "--transport=dev keeps to /dev/fuse. The driver's log goes to standard error.\n";

// A usage error: says what and exits 1, as qemu-img does.
int Usage(const char* what, const char* argument)
{
    std::fprintf(stderr, "qim: %s%s\n%s", what, argument, kUsage);
    return 1;
}

// The value of an option given as "--name VALUE" or "--name=VALUE", or null
// when argv[*i] is not that option; "" when the value is missing.
const char* OptionValue(const char* name, int argc, char** argv, int* i)
{
    const std::size_t n = std::strlen(name);
    if (std::strncmp(argv[*i], name, n) != 0)
        return nullptr;
    if (argv[*i][n] == '=')
        return argv[*i] + n + 1;
    if (argv[*i][n] != '\0')
        return nullptr;
    return *i + 1 < argc ? argv[++*i] : "";
}

}  // namespace

int main(int argc, char** argv)
{
    const char* node = nullptr;
    const char* nodeDir = nullptr;
    long devices = 1;
    bool debug = false;
    auto transport = qim::host::NodeTransport::automatic;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("qim %s (%s)\n", qim::kQimVersion, qim::kQimDescription);
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (const char* v = OptionValue("--node", argc, argv, &i); v != nullptr) {
            if (v[0] == '\0')
                return Usage("--node needs a path", "");
            node = v;
        } else if (const char* d = OptionValue("--node-dir", argc, argv, &i); d != nullptr) {
            if (d[0] == '\0')
                return Usage("--node-dir needs a directory", "");
            nodeDir = d;
        } else if (const char* n = OptionValue("--devices", argc, argv, &i); n != nullptr) {
            char* end = nullptr;
            devices = std::strtol(n, &end, 10);
            if (n[0] == '\0' || *end != '\0' || devices < 1 || devices > long{qim::host::kLockedMinors})
                return Usage("--devices needs a number from 1 to 16: ", n);
        } else if (const char* t = OptionValue("--transport", argc, argv, &i); t != nullptr) {
            if (!qim::host::ParseNodeTransport(t, &transport))
                return Usage("--transport takes auto, uring or dev: ", t);
        } else if (std::strcmp(argv[i], "--debug") == 0) {
            debug = true;
        } else {
            return Usage("unknown argument ", argv[i]);
        }
    }
    if (node != nullptr && (nodeDir != nullptr || devices != 1))
        return Usage("--node names the node of one device; use --node-dir for several", "");

    std::vector<std::string> names;
    for (long i = 0; i < devices; ++i)
        names.push_back(node != nullptr ? std::string(node)
                                        : std::string(nodeDir != nullptr ? nodeDir : "/dev") + "/qim" + std::to_string(i));
    std::vector<const char*> paths;
    std::vector<qim::host::NodeOps> ops;
    for (long i = 0; i < devices; ++i) {
        paths.push_back(names[static_cast<std::size_t>(i)].c_str());
        ops.push_back(qim::host::DeviceNodeOps(static_cast<unsigned>(i)));
    }

    qim::NkKernSetImageLocks(qim::NkLock::ByAccess);
    if (const int rc = qim::host::LoadModule(static_cast<int>(devices)); rc != 0) {
        std::fprintf(stderr, "qim: the driver did not load (%d)\n", rc);
        return 1;
    }
    const int status = qim::host::ServeNodes(paths, ops, debug, transport, Ready);
    Stopping();
    qim::host::UnloadModule();
    std::fprintf(stderr, "qim: the driver is unloaded\n");
    return status;
}
