// The format rows. Adding a format is its driver file and one row here.
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

#include <array>

namespace qim {

namespace {

constexpr std::array<DiskFormat, kDiskTypeCount> kDiskFormats = {{
    {DISK_VMWARE_MONOLITHIC, "VMware 4 monolithic sparse",
     MakeDiskDriver<VMwareMonolithicHardDiskSet, VMwareMonolithicHardDisk_Close, VMwareMonolithicHardDisk_GetDiskInfo,
                    VMwareMonolithicHardDisk_Read, VMwareMonolithicHardDisk_Write,
                    VMwareMonolithicHardDisk_Allocation, nullptr, VMwareMonolithicHardDisk_Check>(),
     "vmdk", true, false, false},
    {DISK_VMWARE_TWOGB_SPARSE, "VMware 4 two-gigabyte sparse",
     MakeDiskDriver<VMwareTwoGbSparseHardDiskSet, VMwareTwoGbSparseHardDisk_Close,
                    VMwareTwoGbSparseHardDisk_GetDiskInfo, VMwareTwoGbSparseHardDisk_Read,
                    VMwareTwoGbSparseHardDisk_Write, VMwareTwoGbSparseHardDisk_Allocation, nullptr,
                    VMwareTwoGbSparseHardDisk_Check>(),
     "vmdk", true, false, false},
    {DISK_VMWARE4_REDO, "VMware 4 redo log",
     MakeDiskDriver<VMware4RedoHardDiskSet, VMware4RedoHardDisk_Close, VMware4RedoHardDisk_GetDiskInfo,
                    VMware4RedoHardDisk_Read, VMware4RedoHardDisk_Write, VMware4RedoHardDisk_Allocation,
                    VMware4RedoHardDisk_Parent, VMware4RedoHardDisk_Check>(),
     "vmdk", true, false, false},
    {DISK_VMWARE3, "VMware 3",
     MakeDiskDriver<VMware3HardDiskSet, VMware3HardDisk_Close, VMware3HardDisk_GetDiskInfo, VMware3HardDisk_Read,
                    VMware3HardDisk_Write, VMware3HardDisk_Allocation, nullptr,
                    VMware3HardDisk_Check>(),
     "vmdk", true, false, false},
    {DISK_VMWARE3_REDO, "VMware 3 redo log",
     MakeDiskDriver<VMware3RedoHardDiskSet, VMware3RedoHardDisk_Close, VMware3RedoHardDisk_GetDiskInfo,
                    VMware3RedoHardDisk_Read, VMware3RedoHardDisk_Write, VMware3RedoHardDisk_Allocation,
                    VMware3RedoHardDisk_Parent, VMware3RedoHardDisk_Check>(),
     "vmdk", true, false, false},
    {DISK_VMWARE2, "VMware 2",
     MakeDiskDriver<VMware2HardDiskSet, VMware2HardDisk_Close, VMware2HardDisk_GetDiskInfo, VMware2HardDisk_Read,
                    VMware2HardDisk_Write, VMware2HardDisk_Allocation, nullptr,
                    VMware2HardDisk_Check>(),
     "dsk", true, false, false},
    {DISK_VMWARE2_REDO, "VMware 2 redo log",
     MakeDiskDriver<VMware2RedoHardDiskSet, VMware2RedoHardDisk_Close, VMware2RedoHardDisk_GetDiskInfo,
                    VMware2RedoHardDisk_Read, VMware2RedoHardDisk_Write, VMware2HardDisk_Allocation,
                    VMware2RedoHardDisk_Parent, VMware2RedoHardDisk_Check>(),
     "dsk", true, false, false},
    {DISK_VIRTUALPC, "Virtual PC dynamic",
     MakeDiskDriver<VirtualPCHardDiskSet, VirtualPCHardDisk_Close, VirtualPCHardDisk_GetDiskInfo,
                    VirtualPCHardDisk_Read, VirtualPCHardDisk_Write, VirtualPCHardDisk_Allocation, nullptr,
                    VirtualPCHardDisk_Check>(),
     "vhd", true, false, false},
    {DISK_VIRTUALPC_FIXED, "Virtual PC fixed",
     MakeDiskDriver<VirtualPCFixedHardDiskSet, VirtualPCFixedHardDisk_Close, VirtualPCFixedHardDisk_GetDiskInfo,
                    VirtualPCFixedHardDisk_Read, VirtualPCFixedHardDisk_Write>(),
     "vhd", true, false, false},
    {DISK_VIRTUALPC_DIFFERENCE, "Virtual PC differencing",
     MakeDiskDriver<VirtualPCDifferenceHardDiskSet, VirtualPCDifferenceHardDisk_Close,
                    VirtualPCDifferenceHardDisk_GetDiskInfo, VirtualPCDifferenceHardDisk_Read,
                    VirtualPCDifferenceHardDisk_Write, VirtualPCDifferenceHardDisk_Allocation,
                    VirtualPCDifferenceHardDisk_Parent, VirtualPCDifferenceHardDisk_Check>(),
     "vhd", true, false, false},
    {DISK_ANEX86_HARD, "Anex86 hard disk", HeadedDiskDriver<Anex86HardDiskSet>(), "hdi", true, false, true},
    {DISK_T98_HARD, "T98 hard disk", HeadedDiskDriver<T98HardDiskSet>(), "thd", true, false, true},
    {DISK_T98NEXT_HARD, "T98-Next hard disk", HeadedDiskDriver<T98NextHardDiskSet>(), "nhd", true, false, true},
    {DISK_VIRTUAL98_HARD, "Virtual98 hard disk", HeadedDiskDriver<Virtual98HardDiskSet>(), "hdd", true, false, true},
    {DISK_PC98E_HARD, "PC98E hard disk", HeadedDiskDriver<PC98EHardDiskSet>(), "", true, false, true},
    // Unz images carry nothing to recognise them by: only their extension names them.
    {DISK_UNZ_HARD, "Unz hard disk", HeadedDiskDriver<UnzHardDiskSet>(), "h0 h1 h2 h3 h4", false, false, false},
    {DISK_ANEX86_FLOPPY, "Anex86 floppy", HeadedDiskDriver<Anex86FloppyDiskSet>(), "fdi", true, true, false},
    {DISK_D88_FLOPPY, "D88 floppy",
     MakeDiskDriver<D88FloppyDiskSet, D88FloppyDisk_Close, D88FloppyDisk_GetDiskInfo, D88FloppyDisk_Read,
                    D88FloppyDisk_Write>(),
     "d88", true, true, false},
    {DISK_T98NEXT_R0_FLOPPY, "T98-Next R0 floppy", HeadedDiskDriver<T98NextR0FloppyDiskSet>(), "nfd", true, true,
     false},
    {DISK_T98NEXT_R1_FLOPPY, "T98-Next R1 floppy", HeadedDiskDriver<T98NextR1FloppyDiskSet>(), "nfd", true, true,
     false},
    {DISK_FMTOWNS_DOSROM, "FM Towns DOS ROM", HeadedDiskDriver<FMTownsDosRomDiskSet>(), "rom", true, false, false},
}};

constexpr bool InCodeOrder()
{
    for (std::size_t i = 0; i < kDiskFormats.size(); ++i)
        if (kDiskFormats[i].code != i)
            return false;
    return true;
}
static_assert(InCodeOrder(), "format rows must be in code order");

constexpr DiskFormat kRawFormat = {
    DISK_BETA, "raw",
    MakeDiskDriver<nullptr, BetaDisk_Close, BetaDisk_GetDiskInfo, BetaDisk_Read, BetaDisk_Write>(),
    "", false, false, false};

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
        return &kRawFormat;
    return type < kDiskFormats.size() ? &kDiskFormats[type] : nullptr;
}

std::span<const DiskFormat> DiskFormats() { return kDiskFormats; }

}  // namespace qim
