// COWD extents of redo logs: absent small blocks are the parent's bytes, and a
// new small block starts as a copy of them. The shared extent code does the work.
#include "VMware3Sparse.h"

namespace qim {

void VMware3RedoSparse_Construct(VMware3SparseState* state) { VMware3Sparse_Construct(state); }

void VMware3RedoSparse_Close(VMware3SparseState* state) { VMware3Sparse_Close(state); }

int VMware3RedoSparse_Open(VMware3SparseState* state, const char* path, std::uint32_t readOnly,
                           std::uint32_t extentIndex)
{
    return CowdOpen(state, path, readOnly, 3, true, extentIndex);
}

int VMware3RedoSparse_Open2(VMware3SparseState* state, const char* path, std::uint32_t readOnly)
{
    return CowdOpen(state, path, readOnly, 1, true, 0);
}

int VMware3RedoSparse_Read(VMware3SparseState* state, Disk* parent, std::uint64_t base, std::uint64_t offset,
                           std::uint32_t count, void* buffer)
{
    return CowdRead(state, parent, base, offset, std::span(static_cast<std::byte*>(buffer), count));
}

int VMware3RedoSparse_Write(VMware3SparseState* state, Disk* parent, std::uint64_t base, std::uint64_t offset,
                            std::uint32_t count, const void* buffer)
{
    return CowdWrite(state, parent, base, offset, std::span(static_cast<const std::byte*>(buffer), count));
}

}  // namespace qim
