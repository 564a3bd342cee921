// VMware 4 redo extents: the plain extent's file and code, with a parent Disk
// that supplies every grain the extent does not hold.
#include "VMware4Sparse.h"

namespace qim {

void VMware4RedoSparse_Construct(VMware4RedoSparse* state) { VMware4Sparse_Construct(state); }

int VMware4RedoSparse_Open(VMware4RedoSparse* state, const char* path, std::uint32_t readOnly,
                           std::uint32_t descriptorFlag)
{
    return VMware4Sparse_Open(state, path, readOnly, descriptorFlag);
}

void VMware4RedoSparse_Close(VMware4RedoSparse* state) { VMware4Sparse_Close(state); }

int VMware4RedoSparse_Read(VMware4RedoSparse* state, Disk* parent, std::uint64_t diskOffset, std::uint64_t offset,
                           std::uint32_t count, void* buffer)
{
    const VMware4Parent from{parent, diskOffset};
    return VMware4Extent_Read(state, &from, offset, {static_cast<std::byte*>(buffer), count});
}

int VMware4RedoSparse_Write(VMware4RedoSparse* state, Disk* parent, std::uint64_t diskOffset, std::uint64_t offset,
                            std::uint32_t count, const void* buffer)
{
    const VMware4Parent from{parent, diskOffset};
    return VMware4Extent_Write(state, &from, offset, {static_cast<const std::byte*>(buffer), count});
}

}  // namespace qim
