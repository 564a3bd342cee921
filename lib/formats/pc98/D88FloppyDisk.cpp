// SPDX-License-Identifier: MIT
// D88 floppy images. The file holds a table of track offsets; at each offset
// the track's sectors follow one another, each a 16-byte record header and
// the sector's data. Only regular media are served: every track with the same
// number of equal-sized sectors, in one of the standard layouts. The n-th
// record of a track is taken as its n-th sector, so each request becomes one
// file transfer per sector part, straight between the caller's buffer and the
// file; record headers, the track table and the file header are never written.
#include "D88FloppyDisk.h"

#include "DiskEtc.h"

#include <algorithm>
#include <cstring>
#include <span>

namespace qim {

namespace {

constexpr std::uint32_t kMediaTypeAt = 27;  // u8: 0x00 2D, 0x10 2DD, 0x20 2HD
constexpr std::uint32_t kDiskSizeAt = 28;   // u32: the whole file's size
constexpr std::uint32_t kTrackTableAt = 32; // u32 per track; the tracks in use end at the first 0
constexpr std::uint32_t kMaxTracks = 164;
static_assert(kTrackTableAt + 4 * kMaxTracks == kD88HeaderBytes);

constexpr std::uint32_t kRecordHeader = 16;
constexpr std::uint32_t kSectorsAt = 4;    // u16 in a record header: sectors in its track
constexpr std::uint32_t kDataSizeAt = 14;  // u16: bytes of data after the record header

struct D88Media {
    std::uint8_t bDiskType;
    std::uint32_t dwTracks;
    std::uint32_t dwSectorsPerTrack;
    std::uint32_t dwBytesPerSector;
};

constexpr std::array<D88Media, 7> kMedia = {{
    {0x00, 80, 8, 512},
    {0x00, 80, 9, 512},
    {0x10, 160, 8, 512},
    {0x10, 160, 9, 512},
    {0x20, 154, 8, 1024},
    {0x20, 160, 15, 512},
    {0x20, 160, 18, 512},
}};

bool IsAcceptedMedia(const D88Media& m)
{
    for (const D88Media& row : kMedia)
        if (row.bDiskType == m.bDiskType && row.dwTracks == m.dwTracks &&
            row.dwSectorsPerTrack == m.dwSectorsPerTrack && row.dwBytesPerSector == m.dwBytesPerSector)
            return true;
    return false;
}

std::uint32_t TrackOffset(const D88State* state, std::uint64_t track)
{
    return LoadLE<std::uint32_t>(state->Header, kTrackTableAt + 4 * static_cast<std::size_t>(track));
}

// The tracks in use end at the first zero entry, or where a track begins:
// a table shorter than 164 entries may have its first track behind it.
std::uint32_t CountTracks(const D88State* state)
{
    std::uint32_t tracks = 0;
    std::uint32_t lowest = kD88HeaderBytes;
    while (tracks < kMaxTracks && kTrackTableAt + 4 * tracks < lowest && TrackOffset(state, tracks) != 0)
        lowest = std::min(lowest, TrackOffset(state, tracks++));
    return tracks;
}

// The header bytes the open reads: the fixed fields, the counted entries and
// the zero entry ending them, where there is one. Writes must not reach them.
std::uint32_t HeaderInUse(const D88State* state, std::uint32_t tracks)
{
    const std::uint32_t counted = kTrackTableAt + 4 * tracks;
    return tracks < kMaxTracks && TrackOffset(state, tracks) == 0 ? counted + 4 : counted;
}

// The media the record headers describe (one per track, in track order) if
// every track agrees with track 0; else ERR_INVALID_IMAGE. Each track's
// records must also lie behind the header bytes in use and inside the file, so that
// no write to the disk can change the header or grow the file.
int CheckTracks(const D88State* state, std::span<const std::byte> records, std::uint32_t tracks,
                std::uint64_t fileSize)
{
    const D88Media media = {std::to_integer<std::uint8_t>(state->Header[kMediaTypeAt]), tracks,
                            LoadLE<std::uint16_t>(records, kSectorsAt), LoadLE<std::uint16_t>(records, kDataSizeAt)};
    if (!IsAcceptedMedia(media))
        return ERR_INVALID_IMAGE;
    const std::uint64_t trackBytes = std::uint64_t{media.dwSectorsPerTrack} * (kRecordHeader + media.dwBytesPerSector);
    for (std::uint32_t t = 0; t < tracks; ++t) {
        const auto record = records.subspan(std::size_t{t} * kRecordHeader, kRecordHeader);
        if (LoadLE<std::uint16_t>(record, kSectorsAt) != media.dwSectorsPerTrack ||
            LoadLE<std::uint16_t>(record, kDataSizeAt) != media.dwBytesPerSector)
            return ERR_INVALID_IMAGE;
        if (TrackOffset(state, t) < HeaderInUse(state, tracks) || TrackOffset(state, t) + trackBytes > fileSize)
            return ERR_INVALID_IMAGE;
    }
    return 0;
}

// One file transfer: a read into a writable span, a write from a read-only one.
int FileTransfer(NkHandle file, std::uint64_t at, std::span<std::byte> part)
{
    return NkReadFile(file, at, static_cast<std::uint32_t>(part.size()), part.data()) ? 0 : ERR_READ_FILE;
}
int FileTransfer(NkHandle file, std::uint64_t at, std::span<const std::byte> part)
{
    return NkWriteFile(file, at, static_cast<std::uint32_t>(part.size()), part.data()) ? 0 : ERR_WRITE_FILE;
}

// TrackRead and TrackWrite: the part of one track's linear data that begins at
// begin, one transfer per sector part, each skipping its record header.
template <class Byte> int TrackTransfer(const D88State* state, std::uint64_t track, std::uint64_t begin,
                                        std::span<Byte> buffer)
{
    const std::uint32_t sectorSize = state->Info.dwBytesPerSector;
    const std::uint64_t base = TrackOffset(state, track);
    return ForEachPiece(begin, buffer, sectorSize, [&](std::uint64_t sector, std::uint64_t inSector, auto part) {
        return FileTransfer(state->hFile, base + sector * (kRecordHeader + sectorSize) + kRecordHeader + inSector,
                            part);
    });
}

// Cuts the request at tracks after the one range check; a request of no
// bytes transfers nothing.
template <class Byte> int DiskTransfer(const D88State* state, std::uint64_t offset, std::span<Byte> buffer)
{
    if (!DiskRangeFits(state->Info, offset, static_cast<std::uint32_t>(buffer.size())))
        return ERR_INVALID_PARAMETER;
    const std::uint64_t trackSize = std::uint64_t{state->Info.dwBytesPerSector} * state->Info.dwSectorsPerTrack;
    return ForEachPiece(offset, buffer, trackSize, [state](std::uint64_t track, std::uint64_t begin, auto part) {
        return TrackTransfer(state, track, begin, part);
    });
}

}  // namespace

D88State* D88FloppyDisk_Malloc() { return NkMallocState<D88State>(); }

void D88FloppyDisk_Construct(D88State* state)
{
    state->hFile = nullptr;
    state->Info = DiskInfo{};
}

int D88FloppyDisk_Open(D88State* state, const char* path, std::uint32_t readOnly)
{
    if (!NkCreateFile(path, readOnly, &state->hFile))
        return ERR_CREATE_FILE;
    ScopeGuard guard([state] { D88FloppyDisk_Close(state); });

    // Zeroed first: in the kernel build a short read succeeds and leaves the
    // rest of the buffer as it was.
    state->Header.fill(std::byte{0});
    if (!NkReadFile(state->hFile, 0, kD88HeaderBytes, state->Header.data()))
        return ERR_READ_FILE;
    std::uint64_t fileSize = 0;
    if (!NkGetFileSize(state->hFile, &fileSize))
        return ERR_GET_FILE_SIZE;
    if (LoadLE<std::uint32_t>(state->Header, kDiskSizeAt) != fileSize)
        return ERR_INVALID_IMAGE;

    const std::uint32_t tracks = CountTracks(state);
    if (tracks == 0)
        return ERR_INVALID_IMAGE;
    NkBuffer records(tracks * kRecordHeader);
    if (!records)
        return ERR_NO_MEMORY;
    std::memset(records.data(), 0, records.span().size());
    for (std::uint32_t t = 0; t < tracks; ++t)
        if (!NkReadFile(state->hFile, TrackOffset(state, t), kRecordHeader, records.data() + t * kRecordHeader))
            return ERR_READ_FILE;
    if (int rc = CheckTracks(state, records.span(), tracks, fileSize); rc != 0)
        return rc;

    const std::span<const std::byte> first = records.span();
    const std::uint32_t sectorsPerTrack = LoadLE<std::uint16_t>(first, kSectorsAt);
    state->Info = {tracks * sectorsPerTrack, 2, sectorsPerTrack, LoadLE<std::uint16_t>(first, kDataSizeAt)};
    guard.release();
    return 0;
}

void D88FloppyDisk_Close(D88State* state)
{
    if (state->hFile != nullptr)
        NkCloseFile(state->hFile);
    D88FloppyDisk_Construct(state);
}

void D88FloppyDisk_GetDiskInfo(D88State* state, DiskInfo* info) { *info = state->Info; }

int D88FloppyDisk_Read(D88State* state, std::uint64_t offset, std::uint32_t count, void* buffer)
{
    return DiskTransfer(state, offset, std::span(static_cast<std::byte*>(buffer), count));
}

int D88FloppyDisk_Write(D88State* state, std::uint64_t offset, std::uint32_t count, const void* buffer)
{
    return DiskTransfer(state, offset, std::span(static_cast<const std::byte*>(buffer), count));
}

int D88FloppyDiskSet(Disk* disk, const char* path, std::uint32_t readOnly, DiskChain*)
{
    return DiskSet<D88FloppyDisk_Malloc, D88FloppyDisk_Construct, D88FloppyDisk_Open>(disk, DISK_D88_FLOPPY, path,
                                                                                      readOnly);
}

}  // namespace qim
