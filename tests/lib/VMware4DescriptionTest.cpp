// SPDX-License-Identifier: MIT
// The descriptor grammar: what a text must look like to be read, and what the
// record then holds.
#include "VMware4DiskDescription.h"
#include "VMware4RedoDiskDescription.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>

using namespace qim;

namespace {

const std::string kHead = "# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\n";
const std::string kPlainKeys = "createType=\"monolithicSparse\"\nddb.virtualHWVersion = \"3\"\n"
                               "ddb.geometry.cylinders = \"20\"\nddb.geometry.heads = \"16\"\n"
                               "ddb.geometry.sectors = \"63\"\nddb.adapterType = \"ide\"\n";
const std::string kExtent = "RW 2048 SPARSE \"a.vmdk\"\n";

struct Parsed {
    std::array<char, kDescriptionTextBytes + 1> text{};
    VMware4DiskDescription plain{};
    VMware4RedoDiskDescription redo{};
    int Plain(const std::string& t, char after = '\0')
    {
        Load(t, after);
        VMware4DiskDescription_Init(&plain);
        return VMware4DiskDescription_Parse(&plain, text);
    }
    int Redo(const std::string& t)
    {
        Load(t, '\0');
        VMware4RedoDiskDescription_Init(&redo);
        return VMware4RedoDiskDescription_Parse(&redo, text);
    }
    // The text fills the buffer's first bytes; `after` fills the rest, the terminator's byte included.
    void Load(const std::string& t, char after)
    {
        text.fill(after);
        std::copy_n(t.begin(), std::min(t.size(), kDescriptionTextBytes), text.begin());
    }
};

TEST(VMware4Description, Grammar)
{
    const struct {
        const char* what;
        std::string text;
        int valid;
    } cases[] = {
        {"complete", kHead + kPlainKeys + kExtent, 1},
        {"CR-LF ends quoted values with '\\r'", "version=1\r\nCID=1\r\nparentCID=2\r\ncreateType=\"x\"\r\n", 0},
        {"blank before '=' of the version", "version =1\nCID=1\n" + kPlainKeys, 0},
        {"blanks after 'version='", "version=   1\nCID=1\nparentCID=2\n" + kPlainKeys, 1},
        {"version 2", "version=2\nCID=1\nparentCID=2\n" + kPlainKeys, 0},
        {"a key before the version", "CID=1\nversion=1\nparentCID=2\n" + kPlainKeys, 0},
        {"comments and blank lines first", "#\n\n   \n# x\n" + kHead + kPlainKeys, 1},
        {"quoted value and one blank", kHead + "createType=\"x\" \n" + kPlainKeys.substr(30), 1},
        {"quoted value and two blanks", kHead + "createType=\"x\"  \n" + kPlainKeys.substr(30), 0},
        {"blanks around '='", kHead + "createType  =   \"x\"\n" + kPlainKeys.substr(30), 1},
        {"tab-indented key is missing", kHead + "\tcreateType=\"x\"\n" + kPlainKeys.substr(30), 0},
        {"unknown keys are ignored", kHead + "ddb.uuid = \"1\"\nfoo=\"\n" + kPlainKeys, 1},
        {"a known key as prefix", kHead + "CIDs=3\n" + kPlainKeys, 0},
        {"a key twice, same value", kHead + kPlainKeys + "ddb.adapterType = \"ide\"\n", 0},
        {"extent access RO", kHead + kPlainKeys + "RO 2048 SPARSE \"a\"\n", 0},
        {"extent type FLAT", kHead + kPlainKeys + "RW 2048 FLAT \"a\"\n", 0},
        {"no blank after SPARSE", kHead + kPlainKeys + "RW 2048 SPARSE\"a\"\n", 0},
        {"no closing quote", kHead + kPlainKeys + "RW 2048 SPARSE \"a\n", 0},
        {"no size", kHead + kPlainKeys + "RW\n", 0},
        {"'=' inside a quoted name", kHead + kPlainKeys + "RW 1 SPARSE \"a=b\"\n", 1},
        {"empty text", "", 0},
        {"comments only", "# Disk DescriptorFile\n#version=1\n", 0},
        {"more than 32 lines", kHead + std::string(40, '\n') + kPlainKeys + "#\n#\n#\n", 1},
    };
    for (const auto& c : cases) {
        Parsed p;
        EXPECT_EQ(p.Plain(c.text), c.valid) << c.what;
    }
}

TEST(VMware4Description, Values)
{
    Parsed p;
    ASSERT_EQ(p.Plain("version=1\nCID = abc \nparentCID=ffffffff\n" + kPlainKeys +
                      "RW 100 SPARSE \"  two words.vmdk\" trailing\nRW  7x   SPARSE   \"b\"\n"),
              1);
    EXPECT_STREQ(p.plain.pszCID, "abc") << "one trailing blank dropped";
    EXPECT_STREQ(p.plain.pszCreateType, "monolithicSparse");
    EXPECT_EQ(p.plain.dwVirtualHWVersion, 3u);
    EXPECT_EQ(p.plain.dwGeoHeads, 16u);
    EXPECT_EQ(p.plain.dwGeoSectors, 63u);
    EXPECT_STREQ(p.plain.pszAdapterType, "ide");
    ASSERT_EQ(p.plain.dwExtentCount, 2u);
    EXPECT_EQ(p.plain.adwExtentSectors[0], 100u);
    EXPECT_STREQ(p.plain.apszExtentFile[0], "two words.vmdk");
    EXPECT_EQ(p.plain.adwExtentSectors[1], 7u);
    EXPECT_STREQ(p.plain.apszExtentFile[1], "b");
    EXPECT_EQ(p.plain.pszParentFileNameHint, nullptr);

    ASSERT_EQ(p.Plain(kHead + kPlainKeys + "parentFileNameHint=\"base.vmdk\"\n"), 1);
    EXPECT_STREQ(p.plain.pszParentFileNameHint, "base.vmdk") << "the drivers refuse a plain disk with a parent";
}

// A text that fills all 1,024 bytes ends there, whatever the buffer holds after it.
TEST(VMware4Description, FullTextWithoutTerminator)
{
    std::string text = kHead + kPlainKeys;
    const std::string last = "RW 9 SPARSE \"last.vmdk\"";
    text += "#" + std::string(kDescriptionTextBytes - text.size() - last.size() - 2, 'x') + "\n" + last;
    ASSERT_EQ(text.size(), kDescriptionTextBytes);
    Parsed p;
    ASSERT_EQ(p.Plain(text, 'Q'), 1);
    ASSERT_EQ(p.plain.dwExtentCount, 1u);
    EXPECT_STREQ(p.plain.apszExtentFile[0], "last.vmdk");
    ASSERT_EQ(p.Plain(text.substr(0, text.size() - 1) + "\"", 'Q'), 1);
}

TEST(VMware4Description, RedoKeys)
{
    const std::string redo = kHead + "createType=\"twoGbMaxExtentSparse\"\nparentFileNameHint=\"/p/base.vmdk\"\n" +
                             "ddb.adapterType = 7\n" + kExtent;
    Parsed p;
    ASSERT_EQ(p.Redo(redo), 1) << "ddb entries are not the redo parser's business";
    EXPECT_STREQ(p.redo.pszParentFileNameHint, "/p/base.vmdk");
    EXPECT_EQ(p.redo.dwExtentCount, 1u);
    EXPECT_EQ(p.Redo(kHead + "createType=\"twoGbMaxExtentSparse\"\n" + kExtent), 0) << "no parent";
    EXPECT_EQ(p.Plain(redo), 0) << "no geometry";
}

}  // namespace
