// SPDX-License-Identifier: MIT
#include "Nk.h"

#include <gtest/gtest.h>
#include <string>

using namespace qim;

namespace {

struct Split {
    std::string dir, base, ext;
};
Split SplitOf(const char* path)
{
    char dir[64], base[64], ext[64];
    NkSplitPath(path, dir, base, ext);
    return {dir, base, ext};
}

TEST(NkUtil, SplitPath)
{
    const Split a = SplitOf("/a/b.c/d");
    EXPECT_EQ(a.dir, "/a/b.c/");
    EXPECT_EQ(a.base, "d");
    EXPECT_EQ(a.ext, "");
    const Split b = SplitOf("x.tar.gz");
    EXPECT_EQ(b.dir, "");
    EXPECT_EQ(b.base, "x.tar");
    EXPECT_EQ(b.ext, "gz");
    const Split c = SplitOf(".profile");
    EXPECT_EQ(c.base, "");
    EXPECT_EQ(c.ext, "profile");
    char ext[8] = "junk";
    NkSplitPath("/dir/file.vhd", nullptr, nullptr, ext);
    EXPECT_STREQ(ext, "vhd");
}

TEST(NkUtil, AllZeroAndByteOrder)
{
    unsigned char buf[513] = {};
    EXPECT_EQ(NkIsAllZero(buf, 0), 1);
    buf[0] = 1;
    EXPECT_EQ(NkIsAllZero(buf, 0), 1);
    EXPECT_EQ(NkIsAllZero(buf, 1), 0);
    buf[0] = 0;
    EXPECT_EQ(NkIsAllZero(buf, 513), 1);
    buf[512] = 1;
    EXPECT_EQ(NkIsAllZero(buf, 513), 0);
    EXPECT_EQ(NkIsAllZero(buf, 512), 1);

    EXPECT_EQ(NkReverseEndian2(0x00FF), 0xFF00);
    EXPECT_EQ(NkReverseEndian2(0x1234), 0x3412);
    EXPECT_EQ(NkReverseEndian(1), 0x01000000u);
    EXPECT_EQ(NkReverseEndian(0x12345678u), 0x78563412u);
}

}  // namespace
