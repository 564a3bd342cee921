#include "ParentChainShim.h"
#include "Nk.h"
#include <array>
namespace qim {
namespace {
thread_local int depth = 0;
// Once a chain is refused, every level above refuses at once: Disk_Open
// offers each level to the differencing driver twice (extension, probe),
// which would otherwise retry the refused chain 2^depth times.
thread_local bool refused = false;
}
int Disk_OpenParent(Disk* parent, const char* childPath, const char* name, std::uint32_t readOnly)
{
    std::array<char, kNkMaxPath> full{};
    if (int rc = GetBaseFileFullPath(childPath, name, full); rc != 0)
        return rc;
    if (refused || depth >= 64) {
        refused = true;
        return ERR_INVALID_IMAGE;
    }
    ++depth;
    int rc = Disk_Open(parent, full.data(), readOnly);
    if (rc != 0 && refused)
        rc = ERR_INVALID_IMAGE;
    if (--depth == 0)
        refused = false;
    return rc;
}
}
