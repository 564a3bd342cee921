// The examples of the README and of the manual pages, each block run as
// written by bash in a directory holding the images it names, with qim on a
// temporary node. The runner changes only what ties an example to this
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
#include <iostream>
#include <fstream>
#include <optional>
#include <sstream>
#include <sys/stat.h>

using namespace qimtest;
using namespace qimtest::e2e;

namespace {

struct Example {
    std::string where;  // the file and the line the block starts on
    std::string text;
};

// Blocks that are not run, and why: each is the build, the CI run or a
// machine-wide install, which other tests cover.
struct NotRun {
    const char* contains;
    const char* why;
};
constexpr std::array kNotRun = {
    NotRun{"bash scripts/test.sh", "the whole CI run, of which this test is a part"},
    NotRun{"bash scripts/demo.sh", "configures and builds build/ of the source tree itself"},
    NotRun{"cmake -S . -B build", "builds the tree (then installs it into /usr/local or as a package: "
                                  "install.files and install.deb test both)"},
    NotRun{"systemctl", "starts the machine's own service (install.deb verifies the installed unit)"},
};

std::string ReadText(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The README's code blocks, but not those marked ```text (synopses, layout).
void ReadmeBlocks(const std::string& path, std::vector<Example>* out)
{
    std::istringstream in(ReadText(path));
    std::optional<Example> block;
    bool text = false;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (line.rfind("```", 0) == 0) {
            if (block && !text)
                out->push_back(*block);
            if (block) {
                block.reset();
            } else {
                block = Example{"README.md:" + std::to_string(number), ""};
                text = line != "```";
            }
        } else if (block) {
            block->text += line + "\n";
        }
    }
}

// The .nf/.fi blocks of a manual page, unescaped.
void ManBlocks(const std::string& path, std::vector<Example>* out)
{
    std::istringstream in(ReadText(path));
    std::optional<Example> block;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (line == ".nf") {
            block = Example{path.substr(path.rfind('/') + 1) + ":" + std::to_string(number), ""};
        } else if (line == ".fi" && block) {
            out->push_back(*block);
            block.reset();
        } else if (block && line.rfind(".", 0) != 0) {
            for (std::size_t at = 0; (at = line.find('\\', at)) != std::string::npos; ++at)
                line.erase(at, 1);  // \- and \e
            block->text += line + "\n";
        }
    }
}

void ReplaceAll(std::string* text, const std::string& from, const std::string& to)
{
    for (std::size_t at = 0; (at = text->find(from, at)) != std::string::npos; at += to.size())
        text->replace(at, from.size(), to);
}

std::string Quoted(std::string text)
{
    ReplaceAll(&text, "'", "'\\''");
    return "'" + text + "'";
}

class Examples : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const std::string why = SkipReason(); !why.empty())
            GTEST_SKIP() << why;
        ::mkdir(mnt.c_str(), 0700);
        MakeImages();
    }

    // Every image an example names, from the builders.
    void MakeImages()
    {
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
        WriteFile(dir.file("answers"), {'d', 'i', 's', 'k', '.', 'v', 'm', 'd', 'k', '\n', '2', '\n', '1', '\n'});
    }

    // The block as a bash script that counts the lines that failed in its
    // exit status, and undoes on exit whatever the block left mounted.
    std::string Script(const std::string& text, const std::string& node) const
    {
        const std::string programs = QimcPath().substr(0, QimcPath().rfind('/'));
        const std::string qimDir = QimPath().substr(0, QimPath().rfind('/'));
        const std::string qimgDir = std::string(QIMG_BIN).substr(0, std::string(QIMG_BIN).rfind('/'));
        std::string script = "exec <" + Quoted(dir.file("answers")) + "\ncd " + Quoted(dir.path()) +
                             "\nexport QIM_DEVICE=" + Quoted(node) + " PATH=" + Quoted(qimDir + ":" + programs + ":" +
                                                                                         qimgDir) +
                             ":\"$PATH\"\nfailed=0\n"
                             "check() { if [ \"$1\" -ne 0 ] && ! { [[ $2 == 'qimc m'* ]] && [ \"$1\" -ne 255 ]; }; then\n"
                             "  echo \"FAILED (status $1): $2\" >&2; failed=$((failed + 1)); fi; }\n"
                             "undo() { mountpoint -q " + Quoted(mnt) + " && umount " + Quoted(mnt) + "\n"
                             "  [ -n \"${loop:-}\" ] && losetup -d \"$loop\" 2>/dev/null\n"
                             "  for _ in $(seq 100); do [ -z \"$(jobs -pr)\" ] && break; sleep 0.1; done\n"
                             "  if [ -n \"$(jobs -pr)\" ]; then echo 'FAILED: qim still runs after the block' >&2\n"
                             "    failed=$((failed + 1)); kill -9 $(jobs -pr); wait; umount -l " + Quoted(node) + "; fi; }\n"
                             "trap 'undo; exit $failed' EXIT\n";
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            if (line.find_first_not_of(' ') == std::string::npos || line[line.find_first_not_of(' ')] == '#')
                continue;
            std::string run = line;
            if (run == "...")
                run = ":";
            ReplaceAll(&run, "/dev/qim0", node);
            for (std::size_t at = 0; (at = run.find(" /mnt", at)) != std::string::npos; ++at)
                if (at + 5 == run.size() || run[at + 5] == ' ' || run[at + 5] == ';')
                    run.replace(at + 1, 4, mnt);
            const bool startsQim = run.rfind("qim &", 0) == 0;
            if (startsQim)
                run.replace(0, 5, "qim --node " + Quoted(node) + " &");
            script += run + "\ncheck $? " + Quoted(line.substr(0, line.find("  #"))) + "\n";
            if (startsQim)
                script += "for _ in $(seq 100); do mountpoint -q " + Quoted(node) + " && break; sleep 0.1; done\n";
        }
        return script;
    }

    TempDir dir;
    const std::string mnt = dir.file("mnt");
};

TEST_F(Examples, RunAsWritten)
{
    std::vector<Example> examples;
    ReadmeBlocks(std::string(QIM_SOURCE_DIR) + "/README.md", &examples);
    for (const char* page : {"qim.8", "qimc.8", "qimg.1"})
        ManBlocks(std::string(QIM_BINARY_DIR) + "/man/" + page, &examples);

    int run = 0;
    for (const Example& example : examples) {
        SCOPED_TRACE(example.where + ":\n" + example.text);
        const auto notRun = std::find_if(kNotRun.begin(), kNotRun.end(), [&](const NotRun& n) {
            return example.text.find(n.contains) != std::string::npos;
        });
        if (notRun != kNotRun.end()) {
            std::cout << "not run: " << example.where << ": " << notRun->why << "\n";
            continue;
        }
        // Blocks that do not start qim themselves find it serving, and those
        // that use the node without mounting an image find disk.vmdk's first
        // partition on it.
        const bool startsQim = example.text.find("qim &") != std::string::npos;
        const bool usesNode = example.text.find("/dev/qim0") != std::string::npos;
        std::optional<QimServer> qim;
        std::string node = dir.file("node");
        if (!startsQim && (usesNode || example.text.find("qimc") != std::string::npos)) {
            qim.emplace(dir);
            ASSERT_TRUE(qim->Start()) << qim->Log();
            node = qim->node();
            if (usesNode && example.text.find("qimc m") == std::string::npos) {
                ASSERT_EQ(Qimc(node, {"m", dir.file("disk.vmdk"), "1"}).status, 0x83);
            }
        }
        const RunResult r = RunCommand({"bash", "-c", Script(example.text, node)}, 120);
        EXPECT_EQ(r.status, 0) << r.out << r.err << (qim ? qim->Log() : "");
        EXPECT_FALSE(IsMountPoint(mnt));
        if (qim) {
            EXPECT_EQ(Qimc(node, {"u"}).status, 0);
        }
        std::cout << "ran: " << example.where << "\n";
        ++run;
    }
    EXPECT_GE(run, 8) << "the README's and the pages' examples were not found";
}

}  // namespace
