// SPDX-License-Identifier: MIT
#include "QimgRun.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <csignal>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace qimtest {

namespace {

std::vector<char*> Argv(const std::vector<std::string>& args, std::vector<std::string>* storage)
{
    *storage = args;
    storage->insert(storage->begin(), QIMG_PATH);
    std::vector<char*> argv;
    for (std::string& s : *storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    return argv;
}

std::string ReadText(const std::string& path)
{
    const Bytes bytes = ReadFile(path);
    return {bytes.begin(), bytes.end()};
}

int ExitStatus(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1000; }

QimgResult Spawn(const char* program, const std::vector<std::string>& prefix, const std::vector<std::string>& args,
                 int signal, const std::function<bool(int pid)>& ready);

}  // namespace

QimgResult RunQimg(const std::vector<std::string>& args) { return RunQimgSignalled(args, 0, nullptr); }

QimgResult RunQimgSignalled(const std::vector<std::string>& args, int signal, const std::function<bool(int pid)>& ready)
{
    return Spawn(QIMG_PATH, {}, args, signal, ready);
}

QimgResult RunQimgUnprivileged(const std::vector<std::string>& args)
{
    if (::geteuid() != 0)
        return RunQimg(args);
    return Spawn("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups"}, args, 0, nullptr);
}

namespace {

QimgResult Spawn(const char* program, const std::vector<std::string>& prefix, const std::vector<std::string>& args,
                 int signal, const std::function<bool(int pid)>& ready)
{
    TempDir io;
    const std::string out = io.file("out"), err = io.file("err");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> storage;
    std::vector<char*> argv = Argv(args, &storage);
    for (auto word = prefix.rbegin(); word != prefix.rend(); ++word)
        argv.insert(argv.begin(), const_cast<char*>(word->c_str()));
    if (!prefix.empty())
        argv.insert(argv.begin(), const_cast<char*>(program));
    pid_t pid = 0;
    QimgResult result;
    if (posix_spawn(&pid, program, &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        bool ended = false;
        for (int tries = 0; ready && !ended && tries < 6000; ++tries) {
            if (ready(pid)) {
                ::kill(pid, signal);
                break;
            }
            ended = ::waitpid(pid, &status, WNOHANG) == pid;
            ::usleep(5000);
        }
        while (!ended && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        result.status = ExitStatus(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    result.out = ReadText(out);
    result.err = ReadText(err);
    return result;
}

}  // namespace

QimgResult RunQimgOnTerminal(const std::vector<std::string>& args)
{
    std::vector<std::string> storage;
    std::vector<char*> argv = Argv(args, &storage);
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        // Only standard error stays on the terminal.
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::execv(QIMG_PATH, argv.data());
        _exit(127);
    }
    QimgResult result;
    if (pid < 0)
        return result;
    std::array<char, 4096> buffer{};
    for (;;) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 30000) <= 0)
            break;
        const ssize_t n = ::read(master, buffer.data(), buffer.size());
        if (n <= 0)
            break;  // EIO once the child has gone
        result.err.append(buffer.data(), static_cast<std::size_t>(n));
    }
    ::close(master);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.status = ExitStatus(status);
    return result;
}

nlohmann::json InfoJson(const std::vector<std::string>& args)
{
    std::vector<std::string> all = {"info", "--output=json"};
    all.insert(all.end(), args.begin(), args.end());
    const QimgResult r = RunQimg(all);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    nlohmann::json parsed = nlohmann::json::parse(r.out, nullptr, false);
    EXPECT_FALSE(parsed.is_discarded()) << r.out;
    EXPECT_TRUE(parsed.is_object()) << r.out;
    return parsed.is_discarded() ? nlohmann::json::object() : parsed;
}

std::uint64_t AllocatedBytes(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return 0;
    return static_cast<std::uint64_t>(st.st_blocks) * 512;
}

bool AllZero(const Bytes& bytes, std::size_t offset, std::size_t length)
{
    return std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                       bytes.begin() + static_cast<std::ptrdiff_t>(offset + length),
                       [](std::uint8_t b) { return b == 0; });
}

void ExpectOneErrorLine(const QimgResult& result, const std::string& file, const std::string& words)
{
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_EQ(result.err.rfind("qimg: " + file + ": ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find(words), std::string::npos) << result.err;
    for (const char* number : {"-201", "-202", "-203", "-204", "-205", "-206", "-207", "-303"})
        EXPECT_EQ(result.err.find(number), std::string::npos) << result.err;
}

std::string ExpectFindings(const QimgResult& result, const std::vector<std::string>& prefixes)
{
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = result.out.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(result.out.substr(at, end - at));
    EXPECT_EQ(lines.size(), prefixes.size() + 1) << result.out;
    for (std::size_t i = 0; i < prefixes.size() && i < lines.size(); ++i)
        EXPECT_EQ(lines[i].rfind(prefixes[i], 0), 0u) << lines[i];
    return lines.empty() ? std::string() : lines.back();
}

}  // namespace qimtest
