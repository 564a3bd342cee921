// SPDX-License-Identifier: MIT
// VMware 3 disks, plain and redo: one implementation over COWD extents. The
// first file's header states how many files the disk has; every further file
// must agree, and each serves its own stretch of the disk.
#include "VMware3HardDisk.h"

#include "DiskCheck.h"
#include "DiskEtc.h"
#include "SparseParent.h"

#include <cstring>

namespace qim {

namespace {

// More extents would make the disk's sector count wrap.
constexpr std::uint32_t kMaxExtents = 0xFFFFFFFF / kCowdSectorsPerExtent;

std::uint32_t Field(const VMware3SparseState& e, std::size_t at) { return LoadLE<std::uint32_t>(e.abHeader, at); }

template <class Buffer, class Fn> int ForEachExtent(std::span<VMware3SparseState> extents, const DiskInfo& info,
                                                    std::uint64_t offset, std::uint32_t count, Buffer* buffer, Fn&& fn)
{
    if (!DiskRangeFits(info, offset, count))
        return ERR_INVALID_PARAMETER;
    using Byte = std::conditional_t<std::is_const_v<Buffer>, const std::byte, std::byte>;
    // A VMware 2 disk is one file, as long as its header says.
    const std::uint64_t unit = extents.size() == 1 ? ~std::uint64_t{0} : kCowdExtentBytes;
    return ForEachPiece(offset, std::span(static_cast<Byte*>(buffer), count), unit,
                        [&](std::uint64_t k, std::uint64_t at, std::span<Byte> piece) {
                            return fn(&extents[k], k * kCowdExtentBytes, at, piece);
                        });
}

}  // namespace

bool VMware3ExtentName(const char* path, std::uint32_t k, std::span<char> out)
{
    const char* dot = std::strrchr(path, '.');
    const std::size_t baseLength = dot != nullptr ? static_cast<std::size_t>(dot - path) : std::strlen(path);
    const char* extension = dot != nullptr ? dot + 1 : "";
    std::array<char, 12> digits{};
    std::size_t nd = 0;
    for (std::uint32_t n = k + 1; n != 0 || nd < 2; n /= 10)
        digits[nd++] = static_cast<char>('0' + n % 10);
    const std::size_t extensionLength = std::strlen(extension);
    const std::size_t length = baseLength + 1 + nd + 1 + extensionLength;
    if (length >= out.size() || length >= kNkMaxPath)
        return false;
    char* w = out.data();
    std::memcpy(w, path, baseLength);
    w += baseLength;
    *w++ = '-';
    while (nd > 0)
        *w++ = digits[--nd];
    *w++ = '.';
    std::memcpy(w, extension, extensionLength + 1);
    return true;
}

int VMware3Disk_Open(VMware3HardDiskState* state, const char* path, std::uint32_t readOnly, bool redo,
                     DiskChain* chain)
{
    using namespace cowd;
    ScopeGuard guard([state] { VMware3HardDisk_Close(state); });
    VMware3SparseState first;
    VMware3Sparse_Construct(&first);
    if (int rc = CowdOpen(&first, path, readOnly, 3, redo, 0); rc != 0)
        return rc;
    ScopeGuard firstGuard([&first] { VMware3Sparse_Close(&first); });
    const std::uint32_t count = Field(first, kExtentCount);
    const std::uint32_t single = redo ? kFlagsRedo : kFlagsPlain;
    const std::uint32_t multi = redo ? kFlagsRedoMulti : kFlagsPlainMulti;
    if (count == 0 || count > kMaxExtents || Field(first, kFlags) != (count == 1 ? single : multi))
        return ERR_INVALID_IMAGE;

    state->pExtents = static_cast<VMware3SparseState*>(NkMalloc(count * static_cast<std::uint32_t>(sizeof first)));
    if (state->pExtents == nullptr)
        return ERR_NO_MEMORY;
    for (std::uint32_t k = 0; k < count; ++k)
        VMware3Sparse_Construct(&state->pExtents[k]);
    state->dwExtentCount = count;
    state->pExtents[0] = first;
    firstGuard.release();
    const VMware3SparseState& head = state->pExtents[0];

    std::uint32_t sectors = head.dwExtentSectors;
    for (std::uint32_t k = 1; k < count; ++k) {
        char name[kNkMaxPath];
        if (!VMware3ExtentName(path, k, name))
            return ERR_INVALID_PARAMETER;
        VMware3SparseState& e = state->pExtents[k];
        if (int rc = CowdOpen(&e, name, readOnly, 3, redo, k); rc != 0)
            return rc;
        if (Field(e, kFlags) != multi || Field(e, kExtentCount) != count)
            return ERR_INVALID_IMAGE;
        sectors += e.dwExtentSectors;
    }

    if (redo) {
        if (int rc = SparseParent_Open(&state->pParentDisk, path, CowdParentName(head), sectors, &state->Info, chain); rc != 0)
            return rc;
    } else {
        state->Info = {sectors, Field(head, kHeads), Field(head, kSectorsPerTrack), 512};
    }
    guard.release();
    return 0;
}

int CowdDiskRead(std::span<VMware3SparseState> extents, Disk* parent, const DiskInfo& info, std::uint64_t offset,
                 std::uint32_t count, void* buffer)
{
    return ForEachExtent(extents, info, offset, count, buffer,
                         [&](VMware3SparseState* e, std::uint64_t base, std::uint64_t at, std::span<std::byte> piece) {
                             const auto n = static_cast<std::uint32_t>(piece.size());
                             return parent != nullptr ? VMware3RedoSparse_Read(e, parent, base, at, n, piece.data())
                                                      : VMware3Sparse_Read(e, at, n, piece.data());
                         });
}

int CowdDiskWrite(std::span<VMware3SparseState> extents, Disk* parent, const DiskInfo& info, std::uint64_t offset,
                  std::uint32_t count, const void* buffer)
{
    return ForEachExtent(extents, info, offset, count, buffer,
                         [&](VMware3SparseState* e, std::uint64_t base, std::uint64_t at,
                             std::span<const std::byte> piece) {
                             const auto n = static_cast<std::uint32_t>(piece.size());
                             return parent != nullptr ? VMware3RedoSparse_Write(e, parent, base, at, n, piece.data())
                                                      : VMware3Sparse_Write(e, at, n, piece.data());
                         });
}

int CowdDiskAllocation(std::span<VMware3SparseState> extents, Disk* parent, std::uint64_t offset,
                       std::uint64_t* length, std::uint32_t* where)
{
    const std::uint64_t unit = extents.size() == 1 ? ~std::uint64_t{0} : kCowdExtentBytes;
    const std::uint64_t k = offset / unit;
    if (k >= extents.size())
        return ERR_INVALID_PARAMETER;
    *length = std::min(*length, unit - offset % unit);
    return VMware3Sparse_Allocation(&extents[k], parent, offset % unit, length, where);
}

int CowdParent(const VMware3SparseState& first, Disk* open, const char* childPath, Disk** parent,
               std::span<char> path)
{
    if (int rc = GetBaseFileFullPath(childPath, CowdParentName(first), path); rc != 0)
        return rc;
    *parent = open;
    return 0;
}

int CowdDiskCheck(const char* path, std::uint32_t version, bool redo, DiskCheckSink sink, void* param)
{
    std::uint32_t count = 0;
    if (int rc = CowdCheckFile(path, version, redo, 0, sink, param, &count); rc != 0)
        return rc;
    if (count == 0 || count > kMaxExtents) {
        DiskCheck_Report(sink, param, DISK_CHECK_CORRUPT, "the extent count does not fit the format", "extents",
                         count);
        return 0;
    }
    for (std::uint32_t k = 1; k < count; ++k) {
        char name[kNkMaxPath];
        std::uint32_t theirs = 0;
        int rc = VMware3ExtentName(path, k, name) ? CowdCheckFile(name, version, redo, k, sink, param, &theirs)
                                                  : ERR_CREATE_FILE;
        if (rc == ERR_CREATE_FILE)
            DiskCheck_Report(sink, param, DISK_CHECK_CORRUPT, "an extent file is missing", "extent", k + 1);
        else if (rc == ERR_INVALID_PARAMETER)
            DiskCheck_Report(sink, param, DISK_CHECK_CORRUPT, "an extent file is no COWD extent", "extent", k + 1);
        else if (rc != 0)
            return rc;
        else if (theirs != count)
            DiskCheck_Report(sink, param, DISK_CHECK_CORRUPT, "extent files disagree on their number", "extent",
                             k + 1, "extents", theirs);
    }
    return 0;
}

int VMware3HardDisk_Check(const char* path, DiskCheckSink sink, void* param)
{
    return CowdDiskCheck(path, 3, false, sink, param);
}

int VMware3RedoHardDisk_Check(const char* path, DiskCheckSink sink, void* param)
{
    return CowdDiskCheck(path, 3, true, sink, param);
}

int VMware3HardDisk_Allocation(VMware3HardDiskState* state, std::uint64_t offset, std::uint64_t* length,
                               std::uint32_t* where)
{
    return CowdDiskAllocation({state->pExtents, state->dwExtentCount}, state->pParentDisk, offset, length, where);
}

VMware3HardDiskState* VMware3HardDisk_Malloc() { return NkMallocState<VMware3HardDiskState>(); }

void VMware3HardDisk_Construct(VMware3HardDiskState* state)
{
    state->Info = DiskInfo{};
    state->dwExtentCount = 0;
    state->pExtents = nullptr;
    state->pParentDisk = nullptr;
}

int VMware3HardDisk_Open(VMware3HardDiskState* state, const char* path, std::uint32_t readOnly)
{
    return VMware3Disk_Open(state, path, readOnly, false);
}

// The extents' files close before the parent's, which they were read over.
void VMware3HardDisk_Close(VMware3HardDiskState* state)
{
    if (state->pExtents != nullptr) {
        for (std::uint32_t k = 0; k < state->dwExtentCount; ++k)
            VMware3Sparse_Close(&state->pExtents[k]);
        NkFree(state->pExtents);
    }
    SparseParent_Close(&state->pParentDisk);
    VMware3HardDisk_Construct(state);
}

void VMware3HardDisk_GetDiskInfo(VMware3HardDiskState* state, DiskInfo* info) { *info = state->Info; }

int VMware3HardDisk_Read(VMware3HardDiskState* state, std::uint64_t offset, std::uint32_t count, void* buffer)
{
    return CowdDiskRead({state->pExtents, state->dwExtentCount}, nullptr, state->Info, offset, count, buffer);
}

int VMware3HardDisk_Write(VMware3HardDiskState* state, std::uint64_t offset, std::uint32_t count, const void* buffer)
{
    return CowdDiskWrite({state->pExtents, state->dwExtentCount}, nullptr, state->Info, offset, count, buffer);
}

int VMware3HardDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain*)
{
    return DiskSet<VMware3HardDisk_Malloc, VMware3HardDisk_Construct, VMware3HardDisk_Open>(disk, DISK_VMWARE3, path,
                                                                                            readOnly);
}

}  // namespace qim
