// SPDX-License-Identifier: MIT
// Shared fixture of the qimc transcript tests: a fresh directory as the
// working directory, a stand-in node and the mount record it received.
#pragma once

#include "MountRecordBytes.h"
#include "QimcRun.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qimtest {

inline const std::string kBanner = std::string(qim::kQimDescription) + "\nmount:   # qimc m\nunmount: # qimc u\n";
inline constexpr const char* kReadOnlyMenu = "readonly?\n1. readonly\n2. readwrite\n3. cancel\n: ";
inline constexpr const char* kHardDiskMenu = "harddisk?\n1. harddisk\n2. floppydisk\n3. cancel\n: ";
inline constexpr const char* kPCATMenu = "pc/at?\n1. pc/at\n2. pc-98\n3. cancel\n: ";
inline constexpr const char* kGeometryPrompts =
    "image offset: bytes per sector: total sectors: heads: sectors per track: ";

class QimcTest : public ::testing::Test {
protected:
    QimcTest();

    // qimc in the test directory, with the stand-in node answering result.
    QimcResult Run(const std::vector<std::string>& args, const std::string& input = "", int result = 0);
    // qimc with QIM_DEVICE naming node and no stand-in.
    QimcResult RunWithoutShim(const std::vector<std::string>& args, const std::string& input,
                              const std::string& node);

    // What the stand-in saw: one line per event ("open flags=rdonly", "mount -> 0", "close").
    [[nodiscard]] std::string NodeLog() const;
    [[nodiscard]] Bytes SavedRecord() const;
    void ForgetNode() const;

    TempDir dir;
    std::string real;  // dir's path without links: what qimc resolves names to
    std::string node;

private:
    QimcResult Finish(QimcResult result) const;
};

}  // namespace qimtest
