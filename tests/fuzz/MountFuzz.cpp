// SPDX-License-Identifier: MIT
// The mount record as the driver receives it from a caller. The first piece
// is the record's bytes, placed so that they end where the caller's mapped
// memory ends; the decoder alone reads a copy of exactly those bytes. The
// second piece chooses requests to the mounted device (4 bytes of first
// sector, 1 of sector count, 1 of direction each); the others are files, in
// the working directory, so that the record can name them without a path.
#include "FuzzFiles.h"
#include "TestKernel.h"
#include "qimmain.h"

#include <cstring>
#include <filesystem>
#include <unistd.h>
#include <vector>

using namespace qim;
namespace kern = qimtest::kern;

namespace {

// A record the decoder accepts reads the same after encoding it again.
void CheckDecoder(qimfuzz::Piece bytes)
{
    const std::vector<std::byte> copy(reinterpret_cast<const std::byte*>(bytes.data()),
                                      reinterpret_cast<const std::byte*>(bytes.data()) + bytes.size());
    MountRecord record{};
    const char* name = nullptr;
    if (!LoadMountRecord(copy, &record, &name))
        return;
    const std::string path = name;
    std::vector<std::byte> again(MountRecordLength(static_cast<std::uint32_t>(path.size())));
    StoreMountRecord(record, path, again);
    MountRecord second{};
    const char* secondName = nullptr;
    if (!LoadMountRecord(again, &second, &secondName) || path != secondName ||
        MountRecordWords(second) != MountRecordWords(record))
        qimfuzz::Fail("a decoded record does not survive encoding");
}

int Call(unsigned request, unsigned long argument)
{
    inode node{MKDEV(static_cast<unsigned>(qim_major), 0)};
    file f{};
    return kern::Locked([&] { return qim_bdops.ioctl(&node, &f, request, argument); });
}

void Transfer(qimfuzz::Piece steer)
{
    for (std::size_t at = 0; at + 6 <= steer.size() && at < 6 * 8; at += 6) {
        const auto sectors = static_cast<std::uint32_t>(steer[at + 4] % 17);
        const int cmd = (steer[at + 5] & 1) != 0 ? WRITE : READ;
        kern::Segment segment{sectors == 0 ? 1 : sectors, {}, true};
        segment.data.assign(std::size_t{segment.sectors} * 512, steer[at + 5]);
        kern::Submit(MKDEV(static_cast<unsigned>(qim_major), 0), cmd,
                     static_cast<unsigned long>(qimfuzz::TakeLE(steer, at, 4)), {segment});
        kern::RunQueue(static_cast<unsigned>(qim_major));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The corpus may be named relative to the directory libFuzzer started in.
    static const std::string home = std::filesystem::current_path();
    if (::chdir(qimfuzz::FuzzDir().c_str()) != 0)
        qimfuzz::Fail("cannot enter the fuzz directory");
    const std::vector<qimfuzz::Piece> pieces = qimfuzz::SplitInput(data, size);
    CheckDecoder(pieces[0]);
    const auto files = qimfuzz::WriteFiles(std::span(pieces).subspan(std::min<std::size_t>(2, pieces.size())));

    kern::Reset();
    if (kern::Locked(qim_init) != 0)
        qimfuzz::Fail("the driver did not start");
    inode node{MKDEV(static_cast<unsigned>(qim_major), 0)};
    file f{};
    if (kern::Locked([&] { return qim_bdops.open(&node, &f); }) != 0)
        qimfuzz::Fail("the device did not open");
    const qimtest::Bytes record(pieces[0].begin(), pieces[0].end());
    const unsigned long at = record.empty() ? kern::UnmappedUser() : kern::PlaceUser(record);
    const bool mounted = Call(QIM_MOUNT, at) == 0;
    if (mounted && pieces.size() > 1)
        Transfer(pieces[1]);
    if (Call(QIM_UNMOUNT, 0) != 0)
        qimfuzz::Fail("unmount refused");
    kern::Locked([&] { return qim_bdops.release(&node, &f); });
    kern::Locked(qim_cleanup);
    if (kern::LiveAllocations() != 0 || kern::BadFrees() != 0)
        qimfuzz::Fail("driver memory leaked or freed twice");
    // Word 9, read-only, as the driver read it.
    if (!mounted || qimfuzz::TakeLE(pieces[0], 36, 4) != 0)
        qimfuzz::CheckUnchanged(files, mounted ? "by a read-only mount" : "by a mount that failed");
    if (::chdir(home.c_str()) != 0)
        qimfuzz::Fail("cannot go back");
    return 0;
}
