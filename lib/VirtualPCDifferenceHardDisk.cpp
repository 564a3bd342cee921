// Virtual PC differencing images: the dynamic layout, a trailing footer that
// must equal the leading copy, and a "Wi2k" parent locator (entry 7) naming
// the parent, which any driver may open and whose geometry must be this
// image's. Reads and copy-on-write are the block engine's (VirtualPCHardDisk).
#include "VirtualPCDifferenceHardDisk.h"

#include "DiskEtc.h"
#include "VirtualPCHeader.h"

#include <cstring>

namespace qim {

namespace {

bool SameGeometry(const DiskInfo& a, const DiskInfo& b)
{
    return a.dwTotalSectors == b.dwTotalSectors && a.dwHeads == b.dwHeads &&
           a.dwSectorsPerTrack == b.dwSectorsPerTrack && a.dwBytesPerSector == b.dwBytesPerSector;
}

// Opens the parent the locator names into state->pParentDisk; on failure the
// caller's close releases whatever was opened.
int OpenParent(VirtualPCHardDiskState* state, const char* path, std::span<const std::byte> trailingFooter)
{
    if (std::memcmp(trailingFooter.data(), state->abFooter.data(), VPC_FOOTER_LENGTH) != 0)
        return ERR_INVALID_IMAGE;
    std::array<std::byte, VPC_LOCATOR_LENGTH> locator{};
    if (!NkReadFile(state->hFile, VPC_LOCATOR_OFFSET, VPC_LOCATOR_LENGTH, locator.data()))
        return ERR_READ_FILE;
    if (int rc = CheckDifferenceHeader(locator); rc != 0)
        return rc;
    // The name and its terminating zero must fit a path buffer.
    const std::uint32_t length = LoadBE<std::uint32_t>(locator, kVpcLocatorDataLength);
    if (length == 0 || length >= kNkMaxPath)
        return ERR_INVALID_IMAGE;
    NkBuffer name(kNkMaxPath);
    if (!name)
        return ERR_NO_MEMORY;
    if (!NkReadFile(state->hFile, LoadBE<std::uint32_t>(locator, kVpcLocatorDataOffsetLow), length, name.data()))
        return ERR_READ_FILE;
    name.data()[length] = std::byte{0};

    Disk* parent = NkMallocState<Disk>();
    if (parent == nullptr)
        return ERR_NO_MEMORY;
    Disk_Construct(parent);
    if (int rc = Disk_OpenParent(parent, path, reinterpret_cast<const char*>(name.data())); rc != 0) {
        NkFree(parent);
        return rc;
    }
    state->pParentDisk = parent;
    DiskInfo parentInfo{};
    Disk_GetDiskInfo(parent, &parentInfo);
    return SameGeometry(parentInfo, state->Info) ? 0 : ERR_INVALID_IMAGE;
}

}  // namespace

VirtualPCDifferenceHardDiskState* VirtualPCDifferenceHardDisk_Malloc() { return VirtualPCHardDisk_Malloc(); }

void VirtualPCDifferenceHardDisk_Construct(VirtualPCDifferenceHardDiskState* state)
{
    VirtualPCHardDisk_Construct(state);
}

int VirtualPCDifferenceHardDisk_Open(VirtualPCDifferenceHardDiskState* state, const char* path,
                                     std::uint32_t readOnly)
{
    return VirtualPCSparse_Open(state, path, readOnly, VPC_TYPE_DIFFERENCING, OpenParent);
}

int VirtualPCDifferenceHardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly)
{
    return DiskSet<VirtualPCDifferenceHardDisk_Malloc, VirtualPCDifferenceHardDisk_Construct,
                   VirtualPCDifferenceHardDisk_Open>(disk, DISK_VIRTUALPC_DIFFERENCE, path, readOnly);
}

}  // namespace qim
