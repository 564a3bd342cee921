#include "Conformance.h"

namespace qimtest {

namespace {
// One row per format. A new format adds its row here and its builder in tests/support.
const ConformanceRow kConformanceRows[] = {
    {"Raw", qim::DISK_BETA, "img", BuildRawConformance, false},
};
}  // namespace

std::span<const ConformanceRow> ConformanceRows() { return kConformanceRows; }

}  // namespace qimtest
