// PostScript output: PackBits runs, the hex text of rows, escaped title and
// user, and documents that Ghostscript renders back to the decoded pixels.

#include "support.h"

#include "brovane/brovane.h"

#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <random>

using testsupport::Bytes;

namespace {

Bytes pack(const Bytes &in)
{
    Bytes out(in.size() + (in.size() + 127) / 128 + 1, 0xEE);
    uint32_t n = brovane::packBits(in.data(), static_cast<int32_t>(in.size()), out.data());
    EXPECT_LE(n, in.size() + (in.size() + 127) / 128);
    out.resize(n);
    return out;
}

// What /RunLengthDecode makes of a code.
Bytes unpack(const Bytes &code)
{
    Bytes out;
    for (size_t i = 0; i < code.size();) {
        uint8_t length = code[i++];
        if (length < 128) {
            out.insert(out.end(), code.begin() + static_cast<long>(i), code.begin() + static_cast<long>(i + length + 1));
            i += length + 1u;
        } else {
            out.insert(out.end(), 257u - length, code[i++]);
        }
    }
    return out;
}

TEST(PackBits, RunLimitsAndShortRepeats)
{
    EXPECT_EQ(pack(Bytes(128, 7)), (Bytes{129, 7}));
    EXPECT_EQ(pack(Bytes(129, 7)), (Bytes{129, 7, 0, 7}));
    EXPECT_EQ(pack({5, 5, 6}), (Bytes{2, 5, 5, 6})); // two equal bytes stay literal
    Bytes different(130);
    for (size_t i = 0; i < different.size(); i++)
        different[i] = static_cast<uint8_t>(i);
    Bytes coded = pack(different);
    ASSERT_EQ(coded.size(), 1 + 128 + 1 + 2u);
    EXPECT_EQ(coded[0], 127);
    EXPECT_EQ(coded[129], 1);
    EXPECT_EQ(pack({1, 2, 9, 9, 9}), (Bytes{1, 1, 2, 254, 9}));
    EXPECT_EQ(pack({1, 2, 9, 9}), (Bytes{3, 1, 2, 9, 9}));
    EXPECT_EQ(pack({}), Bytes{});
    EXPECT_EQ(pack({42}), (Bytes{0, 42}));
}

TEST(PackBits, RandomRowsDecodeBack)
{
    std::mt19937 random(7);
    for (int trial = 0; trial < 300; trial++) {
        Bytes row(random() % 700);
        for (auto &b : row)
            b = static_cast<uint8_t>(random() % 3 == 0 ? 0 : random() % (trial % 5 + 1));
        EXPECT_EQ(unpack(pack(row)), row) << "trial " << trial;
    }
}

TEST(PostScriptText, RowHexAndEscapes)
{
    testing::internal::CaptureStdout();
    Bytes row = {0xFF, 0x00, 0xAB};
    ASSERT_TRUE(brovane::writeRowSamples(row.data(), 3));
    brovane::writeRowCopy();
    brovane::writeRowCopy();
    Bytes single = {0x0F}; // a 1-byte row needs 2 code bytes: 5 text bytes
    ASSERT_TRUE(brovane::writeRowSamples(single.data(), 1));
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "02ff00ab\n02ff00ab02ff00ab000f\n");

    EXPECT_EQ(brovane::escapeText("plain title"), "plain title");
    EXPECT_EQ(brovane::escapeText("a) showpage (b"), "a\\) showpage \\(b");
    EXPECT_EQ(brovane::escapeText("x\ny\rz\\"), "x\\012y\\015z\\\\");
    EXPECT_EQ(brovane::escapeText("\x7f\x01"), "\\177\\001");
}

} // namespace
