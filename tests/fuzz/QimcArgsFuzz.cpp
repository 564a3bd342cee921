// SPDX-License-Identifier: MIT
// qimc's argument form, "qimc m FILE WORDS...", run as the program runs it,
// against a node that does not exist so that every mount ends at the send.
// The first piece is the words (split at blanks); the other pieces are files
// in a directory of their own, the first of them FILE. qimc only reads images:
// every file must stay as it was.
#include "FuzzFiles.h"

#include <cstdlib>
#include <string>
#include <vector>

int QimcMain(int argc, char** argv);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const bool ready = ::setenv("QIM_DEVICE", (qimfuzz::FuzzDir() + "/no node").c_str(), 1) == 0;
    if (!ready)
        qimfuzz::Fail("cannot name the node");
    const std::vector<qimfuzz::Piece> pieces = qimfuzz::SplitInput(data, size);
    const auto files = qimfuzz::WriteFiles(std::span(pieces).subspan(1));

    std::vector<std::string> words = {"qimc", "m", files.empty() ? "missing" : files[0].path};
    const std::string text(pieces[0].begin(), pieces[0].end());
    for (std::size_t at = 0; words.size() < 20;) {
        at = text.find_first_not_of(" \t\n", at);
        if (at == std::string::npos)
            break;
        const std::size_t end = std::min(text.find_first_of(" \t\n", at), text.size());
        words.push_back(text.substr(at, end - at));
        at = end;
    }
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    (void)QimcMain(static_cast<int>(words.size()), argv.data());
    qimfuzz::CheckUnchanged(files, "by qimc");
    return 0;
}
