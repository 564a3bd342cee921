// SPDX-License-Identifier: MIT
#include "Conformance.h"
#include "CowdImage.h"
#include "D88Image.h"
#include "PC98Images.h"
#include "VMware4Image.h"
#include "VirtualPCImage.h"

namespace qimtest {

namespace {
// One row per format. A new format adds its row here and its builder in tests/support.
const ConformanceRow kConformanceRows[] = {
    {"Raw", qim::DISK_BETA, "img", BuildRawConformance, false},
    {"VMware3", qim::DISK_VMWARE3, "vmdk", BuildVMware3Conformance, true},
    {"VMware3Redo", qim::DISK_VMWARE3_REDO, "vmdk", BuildVMware3RedoConformance, true},
    {"VMware2", qim::DISK_VMWARE2, "dsk", BuildVMware2Conformance, true},
    {"VMware2Redo", qim::DISK_VMWARE2_REDO, "dsk", BuildVMware2RedoConformance, true},
    {"Anex86HardDisk", qim::DISK_ANEX86_HARD, "hdi", BuildAnex86HardDiskConformance, true},
    {"T98HardDisk", qim::DISK_T98_HARD, "thd", BuildT98HardDiskConformance, true},
    {"T98NextHardDisk", qim::DISK_T98NEXT_HARD, "nhd", BuildT98NextHardDiskConformance, true},
    {"Virtual98HardDisk", qim::DISK_VIRTUAL98_HARD, "hdd", BuildVirtual98HardDiskConformance, true},
    {"PC98EHardDisk", qim::DISK_PC98E_HARD, "bin", BuildPC98EHardDiskConformance, true},
    {"UnzHardDisk", qim::DISK_UNZ_HARD, "h0", BuildUnzHardDiskConformance, false},
    // The probe reaches the Anex86 hard-disk driver first, which accepts the same header.
    {"Anex86FloppyDisk", qim::DISK_ANEX86_FLOPPY, "fdi", BuildAnex86FloppyDiskConformance, false},
    {"D88FloppyDisk", qim::DISK_D88_FLOPPY, "d88", BuildD88FloppyDiskConformance, true},
    {"T98NextR0FloppyDisk", qim::DISK_T98NEXT_R0_FLOPPY, "nfd", BuildT98NextR0FloppyDiskConformance, true},
    {"T98NextR1FloppyDisk", qim::DISK_T98NEXT_R1_FLOPPY, "nfd", BuildT98NextR1FloppyDiskConformance, true},
    {"FMTownsDosRomDisk", qim::DISK_FMTOWNS_DOSROM, "rom", BuildFMTownsDosRomDiskConformance, true},
    {"VMwareMonolithic", qim::DISK_VMWARE_MONOLITHIC, "vmdk", BuildVmdkMonolithicConformance, true},
    {"VMwareTwoGbSparse", qim::DISK_VMWARE_TWOGB_SPARSE, "vmdk", BuildVmdkTwoGbConformance, true},
    {"VMware4Redo", qim::DISK_VMWARE4_REDO, "vmdk", BuildVmdkRedoConformance, true},
    {"VirtualPCDynamic", qim::DISK_VIRTUALPC, "vhd", BuildVpcDynamicConformance, true},
    {"VirtualPCFixed", qim::DISK_VIRTUALPC_FIXED, "vhd", BuildVpcFixedConformance, true},
    {"VirtualPCDifferencing", qim::DISK_VIRTUALPC_DIFFERENCE, "vhd", BuildVpcDifferencingConformance, true},
};
}  // namespace

std::span<const ConformanceRow> ConformanceRows() { return kConformanceRows; }

}  // namespace qimtest
