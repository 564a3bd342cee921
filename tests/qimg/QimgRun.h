// SPDX-License-Identifier: MIT
// Runs the real qimg binary and collects its output, and the facts of a
// converted file that the tests compare.
#pragma once

#include "TempDir.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <string>
#include <vector>

namespace qimtest {

struct QimgResult {
    std::string out;
    std::string err;
    int status = -1;  // exit status; -1000 when it did not exit normally
};

// Runs qimg with args; standard error is a file, never a terminal.
[[nodiscard]] QimgResult RunQimg(const std::vector<std::string>& args);
// Runs qimg, sends it the signal once ready(pid) holds (asked every few
// milliseconds) and waits for it to end.
[[nodiscard]] QimgResult RunQimgSignalled(const std::vector<std::string>& args, int signal,
                                          const std::function<bool(int pid)>& ready);
// Runs qimg as the user nobody when this process is root, whom no file mode stops.
[[nodiscard]] QimgResult RunQimgUnprivileged(const std::vector<std::string>& args);
// Runs qimg with standard error on a pseudo-terminal and returns what it wrote there.
[[nodiscard]] QimgResult RunQimgOnTerminal(const std::vector<std::string>& args);

// `qimg info --output=json` of args, parsed; fails the test when it does not parse.
[[nodiscard]] nlohmann::json InfoJson(const std::vector<std::string>& args);

// Bytes the file occupies on its file system (stat's block count, in 512-byte units).
[[nodiscard]] std::uint64_t AllocatedBytes(const std::string& path);

// True when every byte of the range is zero.
[[nodiscard]] bool AllZero(const Bytes& bytes, std::size_t offset, std::size_t length);

// The findings `qimg check` printed, one line each beginning with the given
// prefixes in order, and then its summary line, which is returned.
std::string ExpectFindings(const QimgResult& result, const std::vector<std::string>& prefixes);

// One line on standard error, naming the file, in words (no bare error number).
void ExpectOneErrorLine(const QimgResult& result, const std::string& file, const std::string& words);

}  // namespace qimtest
