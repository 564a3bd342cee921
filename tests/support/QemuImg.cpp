// SPDX-License-Identifier: MIT
#include "QemuImg.h"

#include "TempDir.h"
#include "VirtualPCImage.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <sys/wait.h>

namespace qimtest {

bool HaveQemuImg() { return RunCommand("command -v qemu-img >/dev/null 2>&1") == 0; }

int RunCommand(const std::string& commandLine, std::string* output)
{
    FILE* pipe = ::popen(commandLine.c_str(), "r");
    if (pipe == nullptr)
        return -1;
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        text.append(buffer, n);
    const int status = ::pclose(pipe);
    if (output != nullptr)
        *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ShellQuote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

namespace {
void Run(const std::string& commandLine)
{
    std::string output;
    if (RunCommand(commandLine + " 2>&1", &output) != 0)
        throw std::runtime_error(commandLine + ": " + output);
}
}  // namespace

void QemuMakeVmdk(const std::string& raw, const std::string& out)
{
    Run("qemu-img convert -f raw -O vmdk -o hwversion=3,adapter_type=ide,subformat=monolithicSparse " +
        ShellQuote(raw) + " " + ShellQuote(out));
}

void QemuMakeVhd(const std::string& raw, const std::string& out)
{
    Run("qemu-img convert -f raw -O vpc -o subformat=dynamic " + ShellQuote(raw) + " " + ShellQuote(out));
    VpcSetCreator(out, "vpc ");
}

unsigned long long QemuVirtualSize(const std::string& image)
{
    std::string output;
    if (RunCommand("qemu-img info --output=json " + ShellQuote(image), &output) != 0)
        return 0;
    const std::string key = "\"virtual-size\":";
    const std::size_t at = output.find(key);
    return at == std::string::npos ? 0 : std::strtoull(output.c_str() + at + key.size(), nullptr, 10);
}

}  // namespace qimtest
