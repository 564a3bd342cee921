// SPDX-License-Identifier: MIT
// The table of format rows; each driver header ends with its own row.
#include "DiskFormats.h"

#include "Anex86FloppyDisk.h"
#include "Anex86HardDisk.h"
#include "BetaDisk.h"
#include "D88FloppyDisk.h"
#include "FMTownsDosRomDisk.h"
#include "PC98EHardDisk.h"
#include "T98HardDisk.h"
#include "T98NextHardDisk.h"
#include "T98NextR0FloppyDisk.h"
#include "T98NextR1FloppyDisk.h"
#include "UnzHardDisk.h"
#include "VMware2HardDisk.h"
#include "VMware3HardDisk.h"
#include "VMware4RedoHardDisk.h"
#include "VMwareMonolithicHardDisk.h"
#include "VMwareTwoGbSparseHardDisk.h"
#include "Virtual98HardDisk.h"
#include "VirtualPCDifferenceHardDisk.h"
#include "VirtualPCFixedHardDisk.h"
#include "VirtualPCHardDisk.h"

#include <algorithm>
#include <array>

namespace qim {

namespace {

constexpr std::array<DiskFormat, kDiskTypeCount> kDiskFormats = {
    kVMwareMonolithicHardDiskFormat,
    kVMwareTwoGbSparseHardDiskFormat,
    kVMware4RedoHardDiskFormat,
    kVMware3HardDiskFormat,
    kVMware3RedoHardDiskFormat,
    kVMware2HardDiskFormat,
    kVMware2RedoHardDiskFormat,
    kVirtualPCHardDiskFormat,
    kVirtualPCFixedHardDiskFormat,
    kVirtualPCDifferenceHardDiskFormat,
    kAnex86HardDiskFormat,
    kT98HardDiskFormat,
    kT98NextHardDiskFormat,
    kVirtual98HardDiskFormat,
    kPC98EHardDiskFormat,
    kUnzHardDiskFormat,
    kAnex86FloppyDiskFormat,
    kD88FloppyDiskFormat,
    kT98NextR0FloppyDiskFormat,
    kT98NextR1FloppyDiskFormat,
    kFMTownsDosRomDiskFormat,
};

constexpr bool InCodeOrder()
{
    for (std::size_t i = 0; i < kDiskFormats.size(); ++i)
        if (kDiskFormats[i].code != i)
            return false;
    return true;
}
static_assert(InCodeOrder(), "format rows must be in code order");

// The extension step takes the codes listing an extension as one slice of
// kDiskCodes: every row between two that list one lists it too.
constexpr bool ExtensionGroupsAreConsecutive()
{
    for (std::size_t i = 0; i < kDiskFormats.size(); ++i) {
        std::string_view words = kDiskFormats[i].extensions;
        while (!words.empty()) {
            const std::string_view word = words.substr(0, words.find(' '));
            bool left = false;
            for (std::size_t j = i + 1; j < kDiskFormats.size(); ++j) {
                const bool lists = DiskListsExtension(kDiskFormats[j].extensions, word);
                if (lists && left)
                    return false;
                left = left || !lists;
            }
            words.remove_prefix(std::min(words.size(), word.size() + 1));
        }
    }
    return true;
}
static_assert(ExtensionGroupsAreConsecutive(), "formats sharing an extension must have consecutive codes");


template <auto Member> constexpr auto Column()
{
    std::array<std::remove_cvref_t<decltype(DiskDriver{}.*Member)>, kDiskTypeCount> column{};
    for (std::size_t i = 0; i < kDiskTypeCount; ++i)
        column[i] = kDiskFormats[i].driver.*Member;
    return column;
}

constexpr std::size_t kProbeCount = [] {
    std::size_t n = 0;
    for (const DiskFormat& format : kDiskFormats)
        n += format.probed ? 1 : 0;
    return n;
}();

constexpr auto kProbeCodes = [] {
    std::array<std::uint32_t, kProbeCount> codes{};
    std::size_t n = 0;
    for (const DiskFormat& format : kDiskFormats)
        if (format.probed)
            codes[n++] = format.code;
    return codes;
}();

}  // namespace

constinit const std::array<DiskSetFunc, kDiskTypeCount> apDiskSetFunc = Column<&DiskDriver::Set>();
constinit const std::array<DiskCloseFunc, kDiskTypeCount> apClose = Column<&DiskDriver::Close>();
constinit const std::array<DiskGetDiskInfoFunc, kDiskTypeCount> apGetDiskInfo = Column<&DiskDriver::GetDiskInfo>();
constinit const std::array<DiskReadFunc, kDiskTypeCount> apRead = Column<&DiskDriver::Read>();
constinit const std::array<DiskWriteFunc, kDiskTypeCount> apWrite = Column<&DiskDriver::Write>();
constinit const std::array<std::uint32_t, kDiskTypeCount> kDiskCodes = [] {
    std::array<std::uint32_t, kDiskTypeCount> codes{};
    for (std::uint32_t i = 0; i < kDiskTypeCount; ++i)
        codes[i] = i;
    return codes;
}();

std::span<const std::uint32_t> DiskProbeCodes() { return kProbeCodes; }

const DiskFormat* DiskFormatOf(std::uint32_t type)
{
    if (type == DISK_BETA)
        return &kBetaDiskFormat;
    return type < kDiskFormats.size() ? &kDiskFormats[type] : nullptr;
}

std::span<const DiskFormat> DiskFormats() { return kDiskFormats; }

}  // namespace qim
