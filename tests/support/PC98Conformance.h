// Conformance builders of the PC-98 emulator and FM Towns formats: each
// writes an image at path whose disk holds a pattern.
#pragma once

#include "Conformance.h"

namespace qimtest {

BuiltImage BuildAnex86HardDiskConformance(const std::string& path);
BuiltImage BuildT98HardDiskConformance(const std::string& path);
BuiltImage BuildT98NextHardDiskConformance(const std::string& path);
BuiltImage BuildVirtual98HardDiskConformance(const std::string& path);
BuiltImage BuildPC98EHardDiskConformance(const std::string& path);
BuiltImage BuildUnzHardDiskConformance(const std::string& path);
BuiltImage BuildAnex86FloppyDiskConformance(const std::string& path);
BuiltImage BuildD88FloppyDiskConformance(const std::string& path);
BuiltImage BuildT98NextR0FloppyDiskConformance(const std::string& path);
BuiltImage BuildT98NextR1FloppyDiskConformance(const std::string& path);
BuiltImage BuildFMTownsDosRomDiskConformance(const std::string& path);

}  // namespace qimtest
