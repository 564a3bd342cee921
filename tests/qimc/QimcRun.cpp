// SPDX-License-Identifier: MIT
#include "QimcRun.h"

#include "TempDir.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace qimtest {

namespace {

// A dialogue waiting for input would stop at the end of its scripted input,
// so only a loop that ignores the end of input can take this long.
constexpr auto kTimeout = std::chrono::seconds(30);

std::string ReadText(const std::string& path)
{
    const Bytes bytes = ReadFile(path);
    return std::string(bytes.begin(), bytes.end());
}

std::vector<std::string> MergedEnvironment(const std::map<std::string, std::string>& extra)
{
    std::vector<std::string> merged;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        // The real node must never be reached; every run names its own.
        if (!extra.contains(name) && name != "QIM_DEVICE" && name.rfind("QIM_SHIM_", 0) != 0)
            merged.push_back(entry);
    }
    for (const auto& [name, value] : extra)
        merged.push_back(name + "=" + value);
    return merged;
}

}  // namespace

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to)
{
    if (from.empty())
        return text;
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

QimcResult RunQimc(const QimcRun& run)
{
    TempDir io;
    const std::string in = io.file("in"), out = io.file("out"), err = io.file("err");
    WriteFile(in, Bytes(run.input.begin(), run.input.end()));

    std::vector<std::string> argv = {QIMC_PATH};
    argv.insert(argv.end(), run.args.begin(), run.args.end());
    std::vector<char*> argvp;
    for (auto& a : argv)
        argvp.push_back(a.data());
    argvp.push_back(nullptr);
    std::vector<std::string> env = MergedEnvironment(run.env);
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int fdIn = ::open(in.c_str(), O_RDONLY);
        const int fdOut = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int fdErr = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fdIn < 0 || fdOut < 0 || fdErr < 0 || ::dup2(fdIn, 0) < 0 || ::dup2(fdOut, 1) < 0 ||
            ::dup2(fdErr, 2) < 0 || (!run.cwd.empty() && ::chdir(run.cwd.c_str()) != 0))
            ::_exit(126);
        ::execve(argvp[0], argvp.data(), envp.data());
        ::_exit(127);
    }

    QimcResult result;
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (done < 0 && errno != EINTR)
            throw std::runtime_error("waitpid failed");
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            result.status = -1000;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (result.status != -1000)
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    result.out = ReadText(out);
    result.err = ReadText(err);
    return result;
}

}  // namespace qimtest
