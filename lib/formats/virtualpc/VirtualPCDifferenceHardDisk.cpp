// SPDX-License-Identifier: MIT
// Virtual PC differencing images: the dynamic layout, a trailing footer that
// must equal the leading copy, and a "Wi2k" parent locator (entry 7) naming
// the parent, which any driver may open and whose geometry must be this
// image's; a Virtual PC parent must carry the unique id the child records. Reads and copy-on-write are the block engine's (VirtualPCHardDisk).
#include "VirtualPCDifferenceHardDisk.h"

#include "DiskCheck.h"
#include "DiskEtc.h"
#include "DiskRefusal.h"
#include "SparseParent.h"
#include "VirtualPCHeader.h"

#include <cstring>

namespace qim {

namespace {

// Reads the parent's name that locator entry 7 gives, zero-terminated, into
// name (kNkMaxPath bytes).
int ReadParentName(NkHandle file, std::span<std::byte> name)
{
    std::array<std::byte, kVpcLocatorLength> locator{};
    if (!NkReadFile(file, kVpcLocatorOffset, kVpcLocatorLength, locator.data()))
        return ERR_READ_FILE;
    if (int rc = CheckDifferenceHeader(locator); rc != 0)
        return rc;
    // The name and its terminating zero must fit a path buffer.
    const std::uint32_t length = LoadBE<std::uint32_t>(locator, kVpcLocatorDataLength);
    if (length == 0 || length >= name.size())
        return ERR_INVALID_IMAGE;
    if (!NkReadFile(file, LoadBE<std::uint32_t>(locator, kVpcLocatorDataOffsetLow), length, name.data()))
        return ERR_READ_FILE;
    name[length] = std::byte{0};
    return 0;
}

// Whether the parent file is the disk the child was made over: the unique id
// the child records against the parent's footer. A parent of another format
// records none. *recorded and *found get the ids' first eight bytes.
int CheckParentId(NkHandle child, const char* parentPath, std::uint64_t* recorded, std::uint64_t* found)
{
    std::array<std::byte, kVpcUniqueIdBytes> mine{};
    std::array<std::byte, kVpcSectorSize> last{};
    std::uint64_t size = 0;
    NkHandle parent = nullptr;
    if (!NkReadFile(child, kVpcParentUniqueIdAt, kVpcUniqueIdBytes, mine.data()) ||
        !NkCreateFile(parentPath, 1, &parent))
        return ERR_READ_FILE;
    const bool read = NkGetFileSize(parent, &size) && size >= kVpcSectorSize &&
                      NkReadFile(parent, size - kVpcSectorSize, kVpcSectorSize, last.data());
    NkCloseFile(parent);
    if (!read)
        return ERR_READ_FILE;
    const std::size_t at = std::memcmp(last.data(), "conectix", 8) == 0 ? 0 : 1;
    if (std::memcmp(last.data() + at, "conectix", 8) != 0)
        return 0;
    const auto theirs = std::span(last).subspan(at + kVpcFooterUniqueId, kVpcUniqueIdBytes);
    *recorded = LoadBE<std::uint64_t>(mine, 0);
    *found = LoadBE<std::uint64_t>(theirs, 0);
    return std::memcmp(mine.data(), theirs.data(), kVpcUniqueIdBytes) == 0 ? 0 : ERR_INVALID_IMAGE;
}

// Opens the parent the locator names into state->pParentDisk; on failure the
// caller's close releases whatever was opened.
int OpenParent(VirtualPCHardDiskState* state, const char* path, std::span<const std::byte> trailingFooter,
               DiskChain* chain)
{
    if (std::memcmp(trailingFooter.data(), state->abFooter.data(), kVpcFooterLength) != 0)
        return ERR_INVALID_IMAGE;
    NkBuffer name(kNkMaxPath);
    if (!name)
        return ERR_NO_MEMORY;
    if (int rc = ReadParentName(state->hFile, name.span()); rc != 0)
        return rc;

    DiskInfo parentInfo{};
    const int opened = SparseParent_Open(&state->pParentDisk, path, reinterpret_cast<const char*>(name.data()),
                                         state->Info.dwTotalSectors, &parentInfo, chain);
    if (opened != 0 || parentInfo.dwHeads != state->Info.dwHeads ||
        parentInfo.dwSectorsPerTrack != state->Info.dwSectorsPerTrack)
        return opened != 0 ? opened : ERR_INVALID_IMAGE;
    NkBuffer parentPath(kNkMaxPath);
    if (!parentPath)
        return ERR_NO_MEMORY;
    const std::span<char> resolved(reinterpret_cast<char*>(parentPath.data()), kNkMaxPath);
    std::uint64_t recorded = 0, found = 0;
    if (int rc = GetBaseFileFullPath(path, reinterpret_cast<const char*>(name.data()), resolved); rc != 0)
        return rc;
    const int rc = CheckParentId(state->hFile, resolved.data(), &recorded, &found);
    if (rc == ERR_INVALID_IMAGE)
        DiskRefuse(DISK_REFUSED_CORRUPT, "%s: the parent unique id begins %016llx but the parent %s has %016llx: it is "
                   "another disk than the one this image was made over", path, static_cast<unsigned long long>(recorded),
                   resolved.data(), static_cast<unsigned long long>(found));
    return rc;
}

}  // namespace

VirtualPCDifferenceHardDiskState* VirtualPCDifferenceHardDisk_Malloc() { return VirtualPCHardDisk_Malloc(); }

void VirtualPCDifferenceHardDisk_Construct(VirtualPCDifferenceHardDiskState* state)
{
    VirtualPCHardDisk_Construct(state);
}

int VirtualPCDifferenceHardDisk_Open(VirtualPCDifferenceHardDiskState* state, const char* path,
                                     std::uint32_t readOnly, DiskChain* chain)
{
    return VirtualPCSparse_Open(state, path, readOnly, kVpcTypeDifferencing, OpenParent, chain);
}

int VirtualPCDifferenceHardDisk_Parent(VirtualPCDifferenceHardDiskState* state, const char* childPath, Disk** parent,
                                       std::span<char> path)
{
    NkBuffer name(kNkMaxPath);
    if (!name)
        return ERR_NO_MEMORY;
    if (int rc = ReadParentName(state->hFile, name.span()); rc != 0)
        return rc;
    if (int rc = GetBaseFileFullPath(childPath, reinterpret_cast<const char*>(name.data()), path); rc != 0)
        return rc;
    *parent = state->pParentDisk;
    return 0;
}

int VirtualPCDifferenceHardDisk_Check(const char* path, DiskCheckSink sink, void* param)
{
    if (int rc = VirtualPCSparse_Check(path, kVpcTypeDifferencing, sink, param); rc != 0)
        return rc;
    NkHandle file = nullptr;
    if (!NkCreateFile(path, 1, &file))
        return ERR_CREATE_FILE;
    ScopeGuard closeFile([file] { NkCloseFile(file); });
    NkBuffer name(kNkMaxPath), parentPath(kNkMaxPath);
    if (!name || !parentPath)
        return ERR_NO_MEMORY;
    const auto report = [sink, param](const char* what) { DiskCheck_Report(sink, param, DISK_CHECK_CORRUPT, what); };
    if (int rc = ReadParentName(file, name.span()); rc == ERR_INVALID_IMAGE) {
        report("the parent locator does not fit the format");
        return 0;
    } else if (rc != 0) {
        return rc;
    }
    const std::span<char> resolved(reinterpret_cast<char*>(parentPath.data()), kNkMaxPath);
    if (!SparseParent_Present(path, reinterpret_cast<const char*>(name.data()), resolved, sink, param))
        return 0;
    std::uint64_t recorded = 0, found = 0;
    if (CheckParentId(file, resolved.data(), &recorded, &found) == ERR_INVALID_IMAGE)
        DiskCheck_Report(sink, param, DISK_CHECK_CORRUPT, "the parent is another disk than the one the image was made over",
                         "recorded parent id", recorded, "parent's id", found);
    return 0;
}

int VirtualPCDifferenceHardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain* chain)
{
    return DiskSet<VirtualPCDifferenceHardDisk_Malloc, VirtualPCDifferenceHardDisk_Construct,
                   VirtualPCDifferenceHardDisk_Open>(disk, DISK_VIRTUALPC_DIFFERENCE, path, readOnly,
                                                      chain);
}

}  // namespace qim
