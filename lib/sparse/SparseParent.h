// SPDX-License-Identifier: MIT
// The parent link of differencing images and redo logs: the parent a child
// names is resolved beside the child and opened read-only by the rules of its
// own format, its size checked against the child's, and for qimg check its
// presence reported.
#pragma once

#include "Disk.h"
#include "DiskEtc.h"

#include <cstdint>
#include <span>

namespace qim {

// Opens the parent named into *parent (allocated; null on failure) and sets
// *info to its geometry, which must hold `sectors` sectors of 512 bytes, or
// ERR_INVALID_IMAGE (the parent then stays open for the caller's close).
// Otherwise Disk_OpenParent's result.
// chain: the child's, passed down to the parent's own parent.
[[nodiscard]] int SparseParent_Open(Disk** parent, const char* childPath, const char* name, std::uint32_t sectors,
                                    DiskInfo* info, DiskChain* chain);
// Closes and frees a parent SparseParent_Open opened; null does nothing.
void SparseParent_Close(Disk** parent);
// For qimg check: resolves the parent's path into resolved and reports the
// parent missing when no file is there; true when it is.
bool SparseParent_Present(const char* childPath, const char* name, std::span<char> resolved, DiskCheckSink sink,
                          void* param);

}  // namespace qim
