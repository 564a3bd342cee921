// SPDX-License-Identifier: MIT
// qemu-img as a peer: images it makes in the forms the drivers accept, and
// its own reading of them.
#pragma once

#include <string>

namespace qimtest {

// True when qemu-img is on the PATH.
[[nodiscard]] bool HaveQemuImg();

// Runs a shell command line; its standard output in *output when given.
// Returns the exit status, or -1 when it did not exit normally.
int RunCommand(const std::string& commandLine, std::string* output = nullptr);

// Single-quoted for the shell.
[[nodiscard]] std::string ShellQuote(const std::string& text);

// A monolithic sparse VMware 4 disk of a raw file's bytes (hwversion 3, IDE adapter).
void QemuMakeVmdk(const std::string& raw, const std::string& out);
// A dynamic Virtual PC disk of a raw file's bytes, whose size must be a whole
// CHS geometry (such as 504 MiB); its creator application is set to "vpc ".
void QemuMakeVhd(const std::string& raw, const std::string& out);

// qemu-img info's "virtual-size" (JSON output), or 0 when it fails.
[[nodiscard]] unsigned long long QemuVirtualSize(const std::string& image);

}  // namespace qimtest
