// qim: loads the driver into the host's stand-in for the kernel and serves its
// device on a node until SIGINT or SIGTERM.
#include "FuseNode.h"
#include "Module.h"
#include "NodeAdapter.h"
#include "QimMount.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kUsage =
    "usage: qim [--node PATH] [--transport=auto|uring|dev] [--debug]\n"
    "       qim --version | --help\n"
    "Loads the QIM driver and serves its device on PATH (default /dev/qim0), a\n"
    "regular file created when nothing is there, until SIGINT or SIGTERM; while\n"
    "the node is open it keeps serving and unloads when the last opener has gone.\n"
    "Then mount an image with qimc and the node with mount, for example partition 1\n"
    "of a disk (qimc's exit status is the partition's system id, 255 on failure):\n"
    "  qimc m disk.vmdk 1; [ $? != 255 ] && mount /dev/qim0 /mnt\n"
    "Requests reach the node over io_uring where the kernel offers it (as root:\n"
    "echo 1 > /sys/module/fuse/parameters/enable_uring), else through /dev/fuse;\n"
    "--transport=dev keeps to /dev/fuse. The driver's log goes to standard error.\n";

}  // namespace

int main(int argc, char** argv)
{
    qim::host::NodeOptions options{"/dev/qim0", false, qim::host::NodeTransport::automatic};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("%s\n", qim::kQimDescription);
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--node") == 0 || std::strncmp(argv[i], "--node=", 7) == 0) {
            const bool joined = argv[i][6] == '=';
            options.path = joined ? argv[i] + 7 : i + 1 < argc ? argv[++i] : "";
            if (options.path[0] == '\0') {
                std::fprintf(stderr, "qim: --node needs a path\n%s", kUsage);
                return 2;
            }
        } else if (std::strncmp(argv[i], "--transport=", 12) == 0) {
            const char* t = argv[i] + 12;
            if (std::strcmp(t, "auto") == 0)
                options.transport = qim::host::NodeTransport::automatic;
            else if (std::strcmp(t, "uring") == 0)
                options.transport = qim::host::NodeTransport::uring;
            else if (std::strcmp(t, "dev") == 0)
                options.transport = qim::host::NodeTransport::device;
            else {
                std::fprintf(stderr, "qim: unknown transport %s\n%s", t, kUsage);
                return 2;
            }
        } else if (std::strcmp(argv[i], "--debug") == 0) {
            options.debug = true;
        } else {
            std::fprintf(stderr, "qim: unknown argument %s\n%s", argv[i], kUsage);
            return 2;
        }
    }
    if (const int rc = qim::host::LoadModule(); rc != 0) {
        std::fprintf(stderr, "qim: the driver did not load (%d)\n", rc);
        return 1;
    }
    const int status = qim::host::ServeNode(options, qim::host::DeviceNodeOps());
    qim::host::UnloadModule();
    std::fprintf(stderr, "qim: the driver is unloaded\n");
    return status;
}
