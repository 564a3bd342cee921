// SPDX-License-Identifier: MIT
// The examples of the README, the manual pages and the help texts, each block
// run as written by bash in a directory holding the images it names, with qim
// on a temporary node. The runner changes only what ties an example to this
// machine: /dev/qim0 is the node, /mnt a temporary directory, "qim &" also
// names the node and waits until it is served, "..." (the reader's own work)
// does nothing, and the dialogue of a bare "qimc m" is answered disk.vmdk,
// read-write, partition 1. A line passes when it exits with 0, a "qimc m"
// line with anything but 255 (its status is the partition's system id).
#include "D88Image.h"
#include "E2eSupport.h"
#include "PC98Images.h"
#include "PartitionTable.h"
#include "VMware4Image.h"
#include "VirtualPCImage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <sys/stat.h>

using namespace qimtest;
using namespace qimtest::e2e;

namespace {

struct Example {
    std::string where;  // the file and line the block starts on
    std::string text;
};

// Blocks that are not run: the build, the CI run and machine-wide installs,
// which other tests cover.
constexpr std::array<std::array<const char*, 2>, 5> kNotRun = {{
    {"bash scripts/test.sh", "the whole CI run, of which this test is a part"},
    {"bash scripts/demo.sh", "configures and builds build/ of the source tree itself"},
    {"cmake -S . -B build", "builds the tree, then installs it (install.files and install.deb test that)"},
    {"systemctl", "starts the machine's own service (install.deb verifies the installed unit)"},
    {"enable_uring", "switches the machine's FUSE transport (e2e.OverIoUring switches it and puts it back)"},
}};

// The lines between a line open and a line close, with groff's \- and \e unescaped.
void Blocks(std::istream& in, const std::string& where, const std::string& open, const std::string& close,
            std::vector<Example>* out)
{
    std::optional<Example> block;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (!block && line == open) {
            block = Example{where + ":" + std::to_string(number), ""};
        } else if (block && line == close) {
            out->push_back(*block);
            block.reset();
        } else if (block) {
            for (std::size_t at = 0; (at = line.find('\\', at)) != std::string::npos; ++at)
                line.erase(at, 1);
            block->text += line + "\n";
        }
    }
}

std::string Quoted(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string Dir(const std::string& path) { return path.substr(0, path.rfind('/')); }

class Examples : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const std::string why = SkipReason(); !why.empty())
            GTEST_SKIP() << why;
        ::mkdir(mnt.c_str(), 0700);
        PartitionedImage raw;
        std::string error;
        ASSERT_TRUE(MakePartitionedImage(dir, "parts.img", {{"hello.txt", "hi\n"}}, {}, raw, error)) << error;
        WriteVmdkMonolithic(dir.file("disk.vmdk"), ReadFile(raw.path));
        BuildVpcDynamicConformance(dir.file("disk.vhd"));
        BuildD88FloppyDiskConformance(dir.file("floppy.d88"));
        PcAtLayout layout;
        layout.primary = {{0x83, 2048, 38912}};
        for (const char* name : {"disk.img", "raw.bin"})
            (void)WritePcAtDisk(dir.file(name), 40960, layout);
        const Chs chs{40, 8, 17, 512};
        Bytes disk(chs.bytes(), 0);
        Pc98Table table;
        table.slots[0] = MakePc98Slot(1, 9, "MS-DOS 6.20");
        table.slots[1] = MakePc98Slot(10, 39, "DATA");
        WritePc98Table(disk, table);
        WriteAnex86Image(dir.file("hdd.hdi"), chs, disk);
        const std::string answers = "disk.vmdk\n2\n1\n";
        WriteFile(dir.file("answers"), Bytes(answers.begin(), answers.end()));
    }

    // The block as a bash script whose exit status counts the lines that
    // failed; on exit it undoes what the block left mounted or running.
    std::string Script(const std::string& text, const std::string& node) const
    {
        std::string script = "exec <answers; mnt=" + Quoted(mnt) + " node=" + Quoted(node) +
                             "\nexport QIM_DEVICE=$node PATH=" + Quoted(Dir(QimPath()) + ":" + Dir(QimcPath()) + ":" +
                                                                      Dir(QIMG_BIN)) + R"sh(:$PATH
failed=0
check() { if [ "$1" -ne 0 ] && ! { [[ $2 == 'qimc m'* ]] && [ "$1" -ne 255 ]; }; then
  echo "FAILED (status $1): $2" >&2; failed=$((failed + 1)); fi; }
undo() { mountpoint -q "$mnt" && umount "$mnt"; [ -n "${loop:-}" ] && losetup -d "$loop"
  for _ in $(seq 100); do [ -z "$(jobs -pr)" ] && break; sleep 0.1; done
  if [ -n "$(jobs -pr)" ]; then echo "FAILED: qim still runs after the block" >&2
    failed=$((failed + 1)); kill -9 $(jobs -pr); wait; umount -l "$node"; fi; }
trap 'undo; exit $failed' EXIT
)sh";
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            line.erase(0, line.find_first_not_of(' '));
            if (line.empty() || line[0] == '#')
                continue;
            std::string run = line == "..." ? ":" : line;
            for (std::size_t at = 0; (at = run.find("/dev/qim0", at)) != std::string::npos;)
                run.replace(at, 9, "$node");
            for (std::size_t at = 0; (at = run.find(" /mnt", at)) != std::string::npos; ++at)
                if (at + 5 == run.size() || run[at + 5] == ' ' || run[at + 5] == ';')
                    run.replace(at + 1, 4, "$mnt");
            const bool startsQim = run.rfind("qim &", 0) == 0;
            if (startsQim)
                run.replace(0, 5, "qim --node \"$node\" &");
            script += run + "\ncheck $? " + Quoted(line.substr(0, line.find("  #"))) + "\n";
            if (startsQim)
                script += "for _ in $(seq 100); do mountpoint -q \"$node\" && break; sleep 0.1; done\n";
        }
        return script;
    }

    TempDir dir;
    const std::string mnt = dir.file("mnt");
};

TEST_F(Examples, RunAsWritten)
{
    std::vector<Example> examples;
    std::ifstream readme(std::string(QIM_SOURCE_DIR) + "/README.md");
    Blocks(readme, "README.md", "```", "```", &examples);
    for (const char* page : {"qim.8", "qimc.8", "qimg.1"}) {
        std::ifstream in(std::string(QIM_BINARY_DIR) + "/man/" + page);
        Blocks(in, page, ".nf", ".fi", &examples);
    }
    // The help texts' examples are their lines that begin "  qimc m".
    for (const std::string& program : {QimPath(), QimcPath()}) {
        std::istringstream in(RunCommand({program, "--help"}, 10).out);
        for (std::string line; std::getline(in, line);)
            if (line.rfind("  qimc m", 0) == 0)
                examples.push_back({program.substr(program.rfind('/') + 1) + " --help", line + "\n"});
    }

    int run = 0;
    for (const Example& example : examples) {
        SCOPED_TRACE(example.where + ":\n" + example.text);
        const auto notRun = std::find_if(kNotRun.begin(), kNotRun.end(), [&](const auto& n) {
            return example.text.find(n[0]) != std::string::npos;
        });
        if (notRun != kNotRun.end()) {
            std::cout << "not run: " << example.where << ": " << (*notRun)[1] << "\n";
            continue;
        }
        // A block that does not start qim finds it serving, and one that uses
        // the node without mounting an image finds disk.vmdk's partition 1 on it.
        const bool usesNode = example.text.find("/dev/qim0") != std::string::npos;
        std::optional<QimServer> qim;
        std::string node = dir.file("node");
        if (example.text.find("qim &") == std::string::npos &&
            (usesNode || example.text.find("qimc") != std::string::npos)) {
            qim.emplace(dir);
            ASSERT_TRUE(qim->Start()) << qim->Log();
            node = qim->node();
            if (usesNode && example.text.find("qimc m") == std::string::npos) {
                ASSERT_EQ(Qimc(node, {"m", dir.file("disk.vmdk"), "1"}).status, 0x83);
            }
        }
        const RunResult r = RunCommand({"bash", "-c", "cd " + Quoted(dir.path()) + " && " + Script(example.text, node)},
                                       120);
        EXPECT_EQ(r.status, 0) << r.out << r.err << (qim ? qim->Log() : "");
        EXPECT_FALSE(IsMountPoint(mnt));
        if (qim) {
            EXPECT_EQ(Qimc(node, {"u"}).status, 0);
        }
        std::cout << "ran: " << example.where << "\n";
        ++run;
    }
    EXPECT_GE(run, 10) << "the examples were not found";
}

}  // namespace
