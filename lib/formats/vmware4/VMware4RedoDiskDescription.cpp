// SPDX-License-Identifier: MIT
// Keys of a redo disk's descriptor, in matching order; "ddb." entries and any
// other keys are not its business.
#include "VMware4RedoDiskDescription.h"

namespace qim {

namespace {
using R = VMware4RedoDiskDescription;
constexpr std::array<DescriptionKey<R>, 4> kKeys = {{
    {"CID", &R::pszCID, nullptr, false},
    {"parentCID", &R::pszParentCID, nullptr, false},
    {"createType", &R::pszCreateType},
    {"parentFileNameHint", &R::pszParentFileNameHint},
}};
}  // namespace

void VMware4RedoDiskDescription_Init(VMware4RedoDiskDescription* record) { *record = VMware4RedoDiskDescription{}; }

int VMware4RedoDiskDescription_Parse(VMware4RedoDiskDescription* record, DescriptionText text)
{
    return ParseDescription(record, kKeys, text);
}

}  // namespace qim
