// SPDX-License-Identifier: MIT
// Keys of a plain disk's descriptor, in matching order.
#include "VMware4DiskDescription.h"

namespace qim {

namespace {
using R = VMware4DiskDescription;
constexpr std::array<DescriptionKey<R>, 9> kKeys = {{
    {"CID", &R::pszCID, nullptr, false},
    {"parentCID", &R::pszParentCID, nullptr, false},
    {"createType", &R::pszCreateType},
    {"ddb.virtualHWVersion", nullptr, &R::dwVirtualHWVersion},
    {"ddb.geometry.cylinders", nullptr, &R::dwGeoCylinders},
    {"ddb.geometry.heads", nullptr, &R::dwGeoHeads},
    {"ddb.geometry.sectors", nullptr, &R::dwGeoSectors},
    {"ddb.adapterType", &R::pszAdapterType},
    {"parentFileNameHint", &R::pszParentFileNameHint, nullptr, true, false},
}};
}  // namespace

void VMware4DiskDescription_Init(VMware4DiskDescription* record) { *record = VMware4DiskDescription{}; }

int VMware4DiskDescription_Parse(VMware4DiskDescription* record, DescriptionText text)
{
    return ParseDescription(record, kKeys, text);
}

}  // namespace qim
