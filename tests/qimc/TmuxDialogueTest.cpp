// SPDX-License-Identifier: MIT
// The interactive dialogue on a real terminal: qimc runs in a tmux pane, the
// answers are typed with send-keys and the screen is read with capture-pane.
#include "QimcFixture.h"
#include "RawImage.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <utility>

namespace qimtest {
namespace {

std::string Quote(const std::string& s) { return "'" + ReplaceAll(s, "'", "'\\''") + "'"; }

std::string Capture(const std::string& command)
{
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r"); p != nullptr) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;)
            out.append(buffer, n);
        ::pclose(p);
    }
    return out;
}

// One tmux server of its own (its socket in the test directory), stopped on destruction.
class TmuxSession {
public:
    TmuxSession(const std::string& socket, const std::string& command) : tmux_("tmux -S " + Quote(socket) + " ")
    {
        started_ = std::system((tmux_ + "new-session -d -s qimc -x 120 -y 40 " + Quote(command)).c_str()) == 0;
    }
    ~TmuxSession() { (void)std::system((tmux_ + "kill-server 2>/dev/null").c_str()); }
    TmuxSession(const TmuxSession&) = delete;
    TmuxSession& operator=(const TmuxSession&) = delete;

    [[nodiscard]] bool started() const { return started_; }
    void Type(const std::string& text) const
    {
        (void)std::system((tmux_ + "send-keys -t qimc -l " + Quote(text)).c_str());
        (void)std::system((tmux_ + "send-keys -t qimc Enter").c_str());
    }
    void Key(const std::string& key) const { (void)std::system((tmux_ + "send-keys -t qimc " + key).c_str()); }
    [[nodiscard]] std::string Screen() const
    {
        // -N keeps the blank that ends a prompt.
        std::string screen = Capture(tmux_ + "capture-pane -N -p -t qimc");
        while (!screen.empty() && screen.back() == '\n')
            screen.pop_back();
        return screen + "\n";
    }
    // The screen once it shows text (or after ten seconds).
    std::string WaitFor(const std::string& text) const
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        std::string screen = Screen();
        while (screen.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            screen = Screen();
        }
        return screen;
    }

private:
    std::string tmux_;
    bool started_ = false;
};

class TmuxDialogueTest : public QimcTest {
protected:
    void SetUp() override
    {
        if (std::system("tmux -V >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "tmux is not installed (scripts/setup.sh installs it)";
        WriteRawImage(dir.file("disk.img"), {{2880, 2, 18, 512}});
    }
    // qimc m in the test directory with the stand-in node; the shell then shows its exit status.
    std::string Command() const
    {
        const char* asan = std::getenv("ASAN_OPTIONS");
        return "cd " + Quote(dir.path()) + " && env LD_PRELOAD=" + Quote(QIM_SHIM_PATH) +
               " QIM_DEVICE=" + Quote(node) + " QIM_SHIM_RECORD=" + Quote(dir.file("record")) +
               " ASAN_OPTIONS=" + Quote(std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0") +
               " " + Quote(QIMC_PATH) + " m; echo \"exit $?\"; read x";
    }
};

TEST_F(TmuxDialogueTest, TypedAnswersMountAndPrintTheCommandLine)
{
    TmuxSession tmux(dir.file("tmux.sock"), Command());
    ASSERT_TRUE(tmux.started());
    // Each answer is typed once its prompt shows, so that the echo lands behind it.
    struct Step {
        const char* prompt;
        const char* answer;
    };
    for (const Step& step : {Step{"filename: \n", "disk.img"}, Step{"3. cancel\n: \n", "two"},
                             Step{": two\n: \n", "2"}, Step{"floppydisk\n3. cancel\n: \n", "2"},
                             Step{"image offset: \n", "0"}, Step{"bytes per sector: \n", "512"},
                             Step{"total sectors: \n", "2880"}, Step{"heads: \n", "2"},
                             Step{"sectors per track: \n", "18"}}) {
        ASSERT_NE(tmux.WaitFor(step.prompt).find(step.prompt), std::string::npos) << step.prompt;
        tmux.Type(step.answer);
    }
    EXPECT_EQ(tmux.WaitFor("exit "), "filename: disk.img\n"
                                     "readonly?\n1. readonly\n2. readwrite\n3. cancel\n"
                                     ": two\n"
                                     ": 2\n"
                                     "harddisk?\n1. harddisk\n2. floppydisk\n3. cancel\n"
                                     ": 2\n"
                                     "image offset: 0\n"
                                     "bytes per sector: 512\n"
                                     "total sectors: 2880\n"
                                     "heads: 2\n"
                                     "sectors per track: 18\n"
                                     "command line [# qimc m disk.img f 0 512 2880 2 18 ]\n"
                                     "exit 0\n");
    EXPECT_EQ(SavedRecord(), MountRecordBytes({1, 2880, 2, 18, 512, 0, 1, 0, 0, 0}, real + "/disk.img"));
}

TEST_F(TmuxDialogueTest, EndOfInputOnTheTerminalCancels)
{
    TmuxSession tmux(dir.file("tmux.sock"), Command());
    ASSERT_TRUE(tmux.started());
    for (const auto& [prompt, answer] :
         {std::pair{"filename: \n", "disk.img"}, std::pair{"3. cancel\n: \n", "1"},
          std::pair{"floppydisk\n3. cancel\n: \n", "1"}, std::pair{"pc-98\n3. cancel\n: \n", "1"}}) {
        ASSERT_NE(tmux.WaitFor(prompt).find(prompt), std::string::npos) << prompt;
        tmux.Type(answer);
    }
    ASSERT_NE(tmux.WaitFor("image offset: \n").find("image offset: \n"), std::string::npos);
    tmux.Key("C-d");
    EXPECT_EQ(tmux.WaitFor("exit "), "filename: disk.img\n"
                                     "readonly?\n1. readonly\n2. readwrite\n3. cancel\n"
                                     ": 1\n"
                                     "harddisk?\n1. harddisk\n2. floppydisk\n3. cancel\n"
                                     ": 1\n"
                                     "pc/at?\n1. pc/at\n2. pc-98\n3. cancel\n"
                                     ": 1\n"
                                     "image offset: canceled\n"
                                     "exit 255\n");
    EXPECT_EQ(SavedRecord(), Bytes{});
}

}  // namespace
}  // namespace qimtest
