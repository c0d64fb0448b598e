// The meta gather: numbers after "/cupsXxx" keys in the PPD's option code,
// last whole occurrence, one skipped character, and the index-prefix matches.

#include "brovane/brovane.h"

#include <cfloat>
#include <cstring>
#include <gtest/gtest.h>

namespace {

cups_page_header2_t gather(const char *code)
{
    cups_page_header2_t header;
    std::memset(&header, 0, sizeof header);
    header.cupsInteger[3] = 99;
    header.cupsColorSpace = CUPS_CSPACE_RGB;
    brovane::gatherMeta(code, header);
    return header;
}

TEST(MetaGather, IndexOneAlsoMatchesIndexTen)
{
    cups_page_header2_t h = gather("<</cupsInteger10 7/cupsReal2 0.5>>setpagedevice");
    EXPECT_EQ(h.cupsInteger[1], 7u);
    EXPECT_EQ(h.cupsInteger[10], 7u);
    EXPECT_FLOAT_EQ(h.cupsReal[2], 0.5f);
    EXPECT_EQ(h.cupsInteger[3], 99u); // absent keys leave the field
    EXPECT_FLOAT_EQ(h.cupsReal[1], 0.0f);

    // A key of its own that comes first wins.
    cups_page_header2_t own = gather("/cupsInteger1 3 /cupsInteger10 7");
    EXPECT_EQ(own.cupsInteger[1], 3u);
    EXPECT_EQ(own.cupsInteger[10], 7u);
}

TEST(MetaGather, NamedFieldsLastOccurrenceAndOddText)
{
    cups_page_header2_t h = gather("/cupsMediaType 42 /cupsRowCount   12 /cupsMediaType 5 /cupsRowFeed x "
                                   "/cupsCompression 3/cupsRowStep");
    // The code is applied in order: a later option's value replaces an earlier one's.
    EXPECT_EQ(h.cupsMediaType, 5u);
    EXPECT_EQ(h.cupsRowCount, 12u);  // white space after the skipped blank
    EXPECT_EQ(h.cupsRowFeed, 0u);    // no digits
    EXPECT_EQ(h.cupsCompression, 3u);
    EXPECT_EQ(h.cupsRowStep, 0u);    // the key ends the text

    // The character after the key is skipped unseen, whatever it is.
    EXPECT_EQ(gather("/cupsBitsPerColor8").cupsBitsPerColor, 0u);
    EXPECT_EQ(gather("/cupsBitsPerColor 16").cupsBitsPerColor, 16u);
}

TEST(MetaGather, HostileNumbersStayInRange)
{
    // Saturated to 32 bits alike on every platform; a colour space outside
    // the enumeration keeps the PPD's.
    cups_page_header2_t h = gather("/cupsInteger0 99999999999 /cupsColorSpace 4000 /cupsReal0 1e40");
    EXPECT_EQ(h.cupsInteger[0], static_cast<unsigned>(INT32_MAX));
    EXPECT_EQ(h.cupsColorSpace, CUPS_CSPACE_RGB);
    EXPECT_EQ(h.cupsReal[0], FLT_MAX);
    EXPECT_EQ(gather("/cupsReal3 nan").cupsReal[3], 0.0f);
    EXPECT_EQ(gather("/cupsColorSpace 19").cupsColorSpace, CUPS_CSPACE_SRGB);
}

} // namespace
