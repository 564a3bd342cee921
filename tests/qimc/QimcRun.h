// SPDX-License-Identifier: MIT
// Runs the real qimc binary with arguments, scripted standard input and an
// environment, and collects its whole output and exit status.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace qimtest {

struct QimcResult {
    std::string out;   // standard output
    std::string err;   // standard error
    int status = -1;   // exit status 0..255; -1000 when it had to be killed
};

struct QimcRun {
    std::vector<std::string> args;               // after the program name
    std::string input;                           // standard input, then end of input
    std::string cwd;                             // working directory
    std::map<std::string, std::string> env;      // added to (or replacing) the test's environment
};

[[nodiscard]] QimcResult RunQimc(const QimcRun& run);

// Replaces every occurrence of from in text.
[[nodiscard]] std::string ReplaceAll(std::string text, const std::string& from, const std::string& to);

}  // namespace qimtest
