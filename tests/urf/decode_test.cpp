// The encoded-line decoder: each code kind, runs that overrun the line, fill,
// line repeat with scale, raw lines, short input and the buffer limits.

#include "support.h"

#include "common/filter.h"
#include "urf/urf.h"

#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <random>
#include <regex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using testsupport::Bytes;

namespace {

struct Emitted {
    uint32_t rowIndex;
    Bytes line;
    uint32_t rows;
};

struct Decoded {
    int32_t result;
    std::vector<Emitted> lines;
    std::string err;
    Bytes rest; // what the input held after the page
};

// Decodes one page from `fd` with a fresh reader, keeping `lineBytes` of
// each line, then takes what the input holds after the page.
Decoded decodeFrom(int fd, const urf::PageLayout &layout, size_t lineBytes)
{
    std::memset(&urf::reader, 0, sizeof urf::reader);
    Decoded d;
    struct Context {
        Decoded *d;
        size_t bytes;
    } context{&d, lineBytes};
    urf::LineSink sink{[](void *c, uint32_t rowIndex, uint8_t *line, uint32_t rows) {
                           auto *ctx = static_cast<Context *>(c);
                           ctx->d->lines.push_back({rowIndex, Bytes(line, line + ctx->bytes), rows});
                       },
                       &context, nullptr};
    testing::internal::CaptureStderr();
    d.result = urf::decodePage(fd, layout, sink);
    d.err = testing::internal::GetCapturedStderr();
    uint8_t byte;
    while (urf::readExact(fd, &byte, 1) == 1)
        d.rest.push_back(byte);
    return d;
}

size_t wholeLine(const urf::PageLayout &layout)
{
    return static_cast<size_t>(layout.width) * static_cast<size_t>(layout.bitsPerPixel / 8);
}

// Decodes `body` as one page; `lineBytes` is how much of each line to keep.
Decoded decode(const Bytes &body, urf::PageLayout layout, size_t lineBytes = 0)
{
    common::setFilterName("brovane");
    std::string path = testsupport::writeTempFile(body);
    int fd = open(path.c_str(), O_RDONLY);
    Decoded d = decodeFrom(fd, layout, lineBytes == 0 ? wholeLine(layout) : lineBytes);
    close(fd);
    return d;
}

urf::PageLayout layout(int32_t width, int32_t height, int32_t bitsPerPixel, int32_t scale = 1)
{
    return urf::PageLayout{width, height, bitsPerPixel, scale, false, 0};
}

TEST(UrfDecode, RepeatedPixelFillsTheLineExactly)
{
    // Line-repeat 0, code 01: the pixel FF 00 00 twice; nothing more is read.
    Decoded d = decode({0x00, 0x01, 0xFF, 0x00, 0x00, 0x99}, layout(2, 1, 24));
    EXPECT_EQ(d.result, 0);
    ASSERT_EQ(d.lines.size(), 1u);
    EXPECT_EQ(d.lines[0].line, (Bytes{0xFF, 0, 0, 0xFF, 0, 0}));
    EXPECT_EQ(d.lines[0].rows, 1u);
    EXPECT_EQ(d.rest, Bytes{0x99});
    EXPECT_EQ(d.err, "");
}

TEST(UrfDecode, RepeatAndLiteralRunsWithLineRepeat)
{
    Decoded d = decode({0x01, 0x01, 0xAA, 0xBB, 0xCC, 0xFF, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}, layout(4, 2, 24));
    EXPECT_EQ(d.result, 0);
    ASSERT_EQ(d.lines.size(), 1u);
    EXPECT_EQ(d.lines[0].line, (Bytes{0xAA, 0xBB, 0xCC, 0xAA, 0xBB, 0xCC, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}));
    EXPECT_EQ(d.lines[0].rows, 2u);
}

TEST(UrfDecode, FillWhitensTheRestOfTheLine)
{
    Decoded grey = decode({0x00, 0x00, 0x10, 0x80}, layout(4, 1, 8));
    ASSERT_EQ(grey.lines.size(), 1u);
    EXPECT_EQ(grey.lines[0].line, (Bytes{0x10, 0xFF, 0xFF, 0xFF}));

    // A fill needs no pixel data; it may be the line's only code.
    Decoded colour = decode({0x00, 0x80, 0x42}, layout(3, 1, 24));
    ASSERT_EQ(colour.lines.size(), 1u);
    EXPECT_EQ(colour.lines[0].line, Bytes(9, 0xFF));
    EXPECT_EQ(colour.rest, Bytes{0x42});
}

TEST(UrfDecode, LongestRunsOfBothKinds)
{
    // 7F repeats 128 times, 81 is followed by 128 literal pixels.
    Bytes body = {0x00, 0x7F, 0x05, 0x81};
    for (int i = 0; i < 128; i++)
        body.push_back(static_cast<uint8_t>(i));
    Decoded d = decode(body, layout(256, 1, 8));
    EXPECT_EQ(d.result, 0);
    ASSERT_EQ(d.lines.size(), 1u);
    for (int i = 0; i < 128; i++) {
        EXPECT_EQ(d.lines[0].line[i], 0x05);
        EXPECT_EQ(d.lines[0].line[128 + i], i);
    }
    EXPECT_TRUE(d.rest.empty());
}

TEST(UrfDecode, RunsLongerThanTheLineStopAtItsEnd)
{
    // Width 2: a repeat of 5 fills the line and its surplus is dropped, so the
    // next byte (01) is the next line's repeat byte.
    Decoded repeat = decode({0x00, 0x04, 0x33, 0x01, 0x01, 0x44}, layout(2, 3, 8));
    EXPECT_EQ(repeat.result, 0);
    ASSERT_EQ(repeat.lines.size(), 2u);
    EXPECT_EQ(repeat.lines[0].line, (Bytes{0x33, 0x33}));
    EXPECT_EQ(repeat.lines[1].line, (Bytes{0x44, 0x44}));
    EXPECT_EQ(repeat.lines[1].rowIndex, 1u);
    EXPECT_EQ(repeat.lines[1].rows, 2u);

    // A literal run of 4 on a line of 2: its last two pixels (00, 01) are read
    // as the next line's repeat byte and first code.
    Decoded literal = decode({0x00, 0xFD, 0x10, 0x20, 0x00, 0x01, 0x77}, layout(2, 2, 8));
    EXPECT_EQ(literal.result, 0);
    ASSERT_EQ(literal.lines.size(), 2u);
    EXPECT_EQ(literal.lines[0].line, (Bytes{0x10, 0x20}));
    EXPECT_EQ(literal.lines[1].line, (Bytes{0x77, 0x77}));
}

TEST(UrfDecode, ScaleMultipliesRowsAndEndsThePage)
{
    // Line-repeat 2 at scale 2 stands for 6 rows.
    Decoded d = decode({0x02, 0x80}, layout(1, 3, 24, 2));
    EXPECT_EQ(d.result, 0);
    ASSERT_EQ(d.lines.size(), 1u);
    EXPECT_EQ(d.lines[0].rows, 6u);

    // Height 3, line-repeat 4: 5 rows handed on and the page is complete.
    Decoded over = decode({0x04, 0x80, 0x00}, layout(1, 3, 8));
    EXPECT_EQ(over.result, 0);
    ASSERT_EQ(over.lines.size(), 1u);
    EXPECT_EQ(over.lines[0].rows, 5u);
    EXPECT_EQ(over.rest, Bytes{0x00});

    // Height 0 still takes one line from the input.
    Decoded empty = decode({0x00, 0x80, 0x00}, layout(4, 0, 8));
    EXPECT_EQ(empty.result, 0);
    EXPECT_EQ(empty.lines.size(), 1u);
    EXPECT_EQ(empty.rest, Bytes{0x00});
}

TEST(UrfDecode, RawLinesAreReadWhole)
{
    urf::PageLayout raw = layout(2, 2, 24, 2);
    raw.rawLines = true;
    raw.rawRowBytes = 6;
    Bytes body = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0x55};
    Decoded d = decode(body, raw);
    EXPECT_EQ(d.result, 0);
    ASSERT_EQ(d.lines.size(), 2u);
    EXPECT_EQ(d.lines[0].line, (Bytes{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(d.lines[1].line, (Bytes{7, 8, 9, 10, 11, 12}));
    EXPECT_EQ(d.lines[1].rowIndex, 2u);
    EXPECT_EQ(d.lines[0].rows, 2u);
    EXPECT_EQ(d.rest, Bytes{0x55});

    // An 8-bit raw page still reads 3 x width bytes a line; the buffer holds them.
    urf::PageLayout grey = layout(4, 1, 8);
    grey.rawLines = true;
    grey.rawRowBytes = 12;
    Decoded g = decode(Bytes(12, 0x20), grey, 12);
    EXPECT_EQ(g.result, 0);
    EXPECT_EQ(g.lines.at(0).line, Bytes(12, 0x20));
}

TEST(UrfDecode, ShortInputMessages)
{
    // No line-repeat byte: the offset is what the refill took (0 bytes).
    Decoded none = decode({}, layout(4, 1, 8));
    EXPECT_EQ(none.result, 1);
    EXPECT_EQ(none.err, "ERROR: (brovane) l000000 : line_repeat EOF at 0\n");

    Decoded code = decode({0x00}, layout(4, 1, 8));
    EXPECT_EQ(code.result, 1);
    EXPECT_EQ(code.err, "ERROR: (brovane) p000000l000000 : packbit_code EOF at 1\n");

    // Second line (row 2 after a repeat of 2), pixel 1: the repeated pixel is short.
    Decoded pixel = decode({0x01, 0x80, 0x00, 0x00, 0xAA, 0xBB, 0xCC, 0x01, 0xDD}, layout(2, 4, 24));
    EXPECT_EQ(pixel.result, 1);
    EXPECT_EQ(pixel.lines.size(), 1u);
    EXPECT_EQ(pixel.err, "ERROR: (brovane) p000001l000002 : pixel repeat EOF at 9\n");

    // A literal run broken one byte into pixel 7 of the line starting at row 12.
    Bytes body = {0x0B, 0x80, 0x00, 0xF9};
    for (int i = 0; i < 7 * 3; i++)
        body.push_back(static_cast<uint8_t>(i));
    body.push_back(0xEE);
    Decoded literal = decode(body, layout(8, 20, 24));
    EXPECT_EQ(literal.result, 1);
    EXPECT_EQ(literal.err, "ERROR: (brovane) p000007l000012 : literal_pixel EOF at 0, read 1, wanted 3\n");
}

TEST(UrfDecode, OffsetOnAPipeIsMinusOneUnsigned)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "\x00", 1), 1);
    close(fds[1]);
    std::memset(&urf::reader, 0, sizeof urf::reader);
    common::setFilterName("calmeric");
    testing::internal::CaptureStderr();
    int32_t result = urf::decodePage(fds[0], layout(4, 1, 8), urf::LineSink{[](void *, uint32_t, uint8_t *, uint32_t) {}, nullptr, nullptr});
    std::string err = testing::internal::GetCapturedStderr();
    close(fds[0]);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(err, "ERROR: (calmeric) p000000l000000 : packbit_code EOF at " +
                       std::to_string(static_cast<unsigned long>(-1L)) + "\n");
}

TEST(UrfDecode, LayoutsOutsideTheLimitsReadNothing)
{
    const urf::PageLayout refused[] = {
        layout(0, 1, 8),                                        // no pixels
        layout(static_cast<int32_t>(urf::kMaxLinePixels) + 1, 1, 8),
        layout(4, 1, 0),  layout(4, 1, 7), layout(4, 1, 12), layout(4, 1, 72),
        layout(4, INT32_MAX, 24, 4),                            // rows overflow
        layout(4, 1, 24, 0),
    };
    for (const urf::PageLayout &l : refused) {
        Decoded d = decode({0x00, 0x80}, l, 1);
        EXPECT_EQ(d.result, 1) << l.width << "x" << l.height << "@" << l.bitsPerPixel;
        EXPECT_TRUE(d.lines.empty());
        EXPECT_EQ(d.rest, (Bytes{0x00, 0x80}));
        EXPECT_EQ(d.err.rfind("ERROR: (brovane) Page not decoded: ", 0), 0u) << d.err;
    }
}

TEST(UrfDecode, LaterWiderPageGrowsTheLine)
{
    Decoded narrow = decode({0x00, 0x00, 0x01}, layout(1, 1, 8));
    EXPECT_EQ(narrow.result, 0);
    // 3000 pixels of 4 bytes after a page of 1 byte: the buffer must grow.
    Bytes body = {0x00};
    for (int run = 0; run < 3000 / 100; run++) {
        body.push_back(99);
        testsupport::append(body, {static_cast<uint8_t>(run), 1, 2, 3});
    }
    Decoded wide = decode(body, layout(3000, 1, 32));
    EXPECT_EQ(wide.result, 0);
    ASSERT_EQ(wide.lines.size(), 1u);
    EXPECT_EQ(wide.lines[0].line[4 * 2999], 29);
    EXPECT_EQ(wide.lines[0].line[4 * 2999 + 3], 3);
}

// Decodes `body` from a socket whose every read returns at most `piece`
// bytes (one message each), so the reader never holds more than that: the
// decoder's buffered path rarely has a whole code and its pixels at hand.
Decoded decodeInPieces(const Bytes &body, urf::PageLayout layout, size_t piece)
{
    common::setFilterName("brovane");
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
    std::thread writer([&] {
        for (size_t sent = 0; sent < body.size(); sent += piece) {
            size_t n = std::min(piece, body.size() - sent);
            EXPECT_EQ(send(fds[1], body.data() + sent, n, 0), static_cast<ssize_t>(n));
        }
        close(fds[1]);
    });
    Decoded d = decodeFrom(fds[0], layout, wholeLine(layout));
    writer.join();
    close(fds[0]);
    return d;
}

// Runs of every kind with their pixels, chosen at random; runs overrun lines,
// so lines end in the middle of runs and leftover pixels are read as codes.
Bytes randomRuns(std::mt19937 &random, size_t bytes, uint32_t pixelSize)
{
    Bytes body;
    while (body.size() < bytes) {
        uint32_t kind = random() % 16;
        if (kind == 0) {
            body.push_back(0x80); // fill
        } else if (kind < 8) {
            body.push_back(static_cast<uint8_t>(random() % 128)); // repeated pixel
            for (uint32_t k = 0; k < pixelSize; k++)
                body.push_back(static_cast<uint8_t>(random()));
        } else {
            uint32_t count = 2 + random() % 127; // literal run
            body.push_back(static_cast<uint8_t>(257 - count));
            for (uint32_t k = 0; k < count * pixelSize; k++)
                body.push_back(static_cast<uint8_t>(random()));
        }
    }
    return body;
}

// The same page decodes to the same lines, messages (but for the offset,
// which a socket doesn't have), result and leftover input whether the reader
// holds 8 KiB at a time (from a file) or a few bytes (from a socket).
TEST(UrfDecode, BufferedPathMatchesReadsOfAnySize)
{
    std::mt19937 random(20240613);
    std::regex offset(" at [0-9]+");
    for (int trial = 0; trial < 24; trial++) {
        uint32_t pixelSize = trial % 3 == 0 ? 1 : trial % 3 == 1 ? 3 : 8;
        int32_t width = static_cast<int32_t>(1 + random() % 700);
        // Every fourth page is cut short; the others have lines to spare.
        Bytes body = randomRuns(random, trial % 2 == 0 ? 20000 : 3000, pixelSize);
        int32_t height = trial % 4 == 3 ? 100000 : 40;
        urf::PageLayout pageLayout = layout(width, height, static_cast<int32_t>(8 * pixelSize), 1 + trial % 2);
        Decoded whole = decode(body, pageLayout);
        for (size_t piece : {size_t{1}, size_t{2}, size_t{1 + random() % 40}}) {
            Decoded pieces = decodeInPieces(body, pageLayout, piece);
            ASSERT_EQ(pieces.result, whole.result) << "trial " << trial << " piece " << piece;
            ASSERT_EQ(pieces.lines.size(), whole.lines.size()) << "trial " << trial << " piece " << piece;
            for (size_t i = 0; i < whole.lines.size(); i++) {
                ASSERT_EQ(pieces.lines[i].rowIndex, whole.lines[i].rowIndex);
                ASSERT_EQ(pieces.lines[i].rows, whole.lines[i].rows);
                ASSERT_EQ(pieces.lines[i].line, whole.lines[i].line) << "trial " << trial << " line " << i;
            }
            EXPECT_EQ(std::regex_replace(pieces.err, offset, " at N"), std::regex_replace(whole.err, offset, " at N"));
            EXPECT_EQ(pieces.rest, whole.rest);
        }
        if (trial % 4 == 3) {
            EXPECT_EQ(whole.result, 1) << "the page was to run out of input";
        }
    }
}

TEST(UrfDecode, ShortRawPageShowsWhiteNotOldMemory)
{
    // The widest raw line there can be, with 5 bytes of data: the bytes no
    // read reached are white, never what the heap held before.
    urf::PageLayout raw = layout(static_cast<int32_t>(urf::kMaxLinePixels), 1, 24);
    raw.rawLines = true;
    raw.rawRowBytes = urf::kMaxLinePixels * 3;
    Decoded d = decode({1, 2, 3, 4, 5}, raw, raw.rawRowBytes);
    ASSERT_EQ(d.lines.size(), 1u);
    const Bytes &line = d.lines[0].line;
    EXPECT_EQ(Bytes(line.begin(), line.begin() + 5), (Bytes{1, 2, 3, 4, 5}));
    EXPECT_EQ(std::count(line.end() - 1000, line.end(), 0xFF), 1000);
}

} // namespace
