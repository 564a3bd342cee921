// SPDX-License-Identifier: MIT
// Which platform layer this test binary is linked with.
#pragma once

namespace qimtest {
#if defined(QIM_BUILD_KERN)
inline constexpr bool kKernelBuild = true;
#else
inline constexpr bool kKernelBuild = false;
#endif
}  // namespace qimtest
