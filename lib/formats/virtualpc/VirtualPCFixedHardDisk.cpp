// SPDX-License-Identifier: MIT
// Virtual PC fixed images: the footer is the last 511 bytes of the file and the
// file is exactly the disk rounded up to whole MiB plus those 511 bytes, so a
// file ending in a full 512-byte footer does not pass. The footer is never
// rewritten; the disk is the raw run of bytes before it.
#include "VirtualPCFixedHardDisk.h"

#include "DiskEtc.h"
#include "VirtualPCHeader.h"

#include <array>

namespace qim {

VirtualPCFixedHardDiskState* VirtualPCFixedHardDisk_Malloc() { return BetaDisk_Malloc(); }

void VirtualPCFixedHardDisk_Construct(VirtualPCFixedHardDiskState* state) { BetaDisk_Construct(state); }

int VirtualPCFixedHardDisk_Open(VirtualPCFixedHardDiskState* state, const char* path, std::uint32_t readOnly)
{
    NkHandle file = nullptr;
    if (!NkCreateFile(path, readOnly, &file))
        return ERR_CREATE_FILE;
    ScopeGuard guard([file] { NkCloseFile(file); });

    std::uint64_t fileSize = 0;
    if (!NkGetFileSize(file, &fileSize))
        return ERR_GET_FILE_SIZE;
    if (fileSize < kVpcFooterLength)
        return ERR_INVALID_IMAGE;
    std::array<std::byte, kVpcFooterLength> footer{};
    if (!NkReadFile(file, fileSize - kVpcFooterLength, kVpcFooterLength, footer.data()))
        return ERR_READ_FILE;
    if (int rc = CheckMainHeader(footer, kVpcTypeFixed); rc != 0)
        return rc;
    DiskInfo info{};
    if (int rc = VirtualPCFooterInfo(footer, &info); rc != 0)
        return rc;
    if (fileSize != VirtualPCOriginalSize(footer) + kVpcFooterLength)
        return ERR_INVALID_IMAGE;

    guard.release();
    BetaDisk_Attach(state, file, 0, &info);
    return 0;
}

int VirtualPCFixedHardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain*)
{
    return DiskSet<VirtualPCFixedHardDisk_Malloc, VirtualPCFixedHardDisk_Construct, VirtualPCFixedHardDisk_Open>(
        disk, DISK_VIRTUALPC_FIXED, path, readOnly);
}

}  // namespace qim
