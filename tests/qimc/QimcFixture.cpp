// SPDX-License-Identifier: MIT
#include "QimcFixture.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace qimtest {

QimcTest::QimcTest() : real(std::filesystem::canonical(dir.path()).string()), node(dir.file("qim0")) {}

QimcResult QimcTest::Finish(QimcResult result) const
{
    result.out = ReplaceAll(ReplaceAll(result.out, real, "@TMP@"), dir.path(), "@TMP@");
    result.err = ReplaceAll(ReplaceAll(result.err, real, "@TMP@"), dir.path(), "@TMP@");
    // Standard error stays silent after a success but for a cut partition
    // chain or a partition past the disk's end; after a failure qimc printed,
    // it ends with one line that says why (a cancel needs none).
    const auto endsWith = [&](const std::string& tail) {
        return result.out.size() >= tail.size() && result.out.compare(result.out.size() - tail.size(), tail.size(), tail) == 0;
    };
    const std::string cutNote = "qimc: the extended partition chain is cut";
    const std::string pastEnd = "qimc: warning: partition ";
    const std::string reason =
        result.err.rfind(cutNote, 0) == 0 || result.err.rfind(pastEnd, 0) == 0
            ? result.err.substr(result.err.find('\n') + 1)
            : result.err;
    if (result.status != 255) {
        EXPECT_EQ(reason, "");
    } else if (endsWith("error\n") || endsWith("failed\n") || endsWith("argument\n") || endsWith("filename\n")) {
        EXPECT_EQ(reason.rfind("qimc: ", 0), 0u) << "no reason for " << result.out;
        EXPECT_EQ(std::count(reason.begin(), reason.end(), '\n'), 1) << result.err;
    }
    EXPECT_NE(result.status, -1000) << "qimc did not finish";
    return result;
}

QimcResult QimcTest::Run(const std::vector<std::string>& args, const std::string& input, int result)
{
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::map<std::string, std::string> env = {
        {"LD_PRELOAD", QIM_SHIM_PATH},
        {"QIM_DEVICE", node},
        {"QIM_SHIM_RESULT", std::to_string(result)},
        {"QIM_SHIM_RECORD", dir.file("record")},
        {"QIM_SHIM_LOG", dir.file("log")},
        // The stand-in is preloaded ahead of a sanitizer runtime.
        {"ASAN_OPTIONS", std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0"},
    };
    return Finish(RunQimc({args, input, dir.path(), env}));
}

QimcResult QimcTest::RunWithoutShim(const std::vector<std::string>& args, const std::string& input,
                                    const std::string& nodePath)
{
    return Finish(RunQimc({args, input, dir.path(), {{"QIM_DEVICE", nodePath}}}));
}

std::string QimcTest::NodeLog() const
{
    if (!std::filesystem::exists(dir.file("log")))
        return "";
    const Bytes bytes = ReadFile(dir.file("log"));
    return std::string(bytes.begin(), bytes.end());
}

Bytes QimcTest::SavedRecord() const
{
    return std::filesystem::exists(dir.file("record")) ? ReadFile(dir.file("record")) : Bytes{};
}

void QimcTest::ForgetNode() const
{
    std::filesystem::remove(dir.file("log"));
    std::filesystem::remove(dir.file("record"));
}

}  // namespace qimtest
