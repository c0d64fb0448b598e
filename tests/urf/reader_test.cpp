// The buffered reader: pieces of any size, ends of input, failed reads and
// the stop flag.

#include "support.h"

#include "common/filter.h"
#include "urf/urf.h"

#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

using testsupport::Bytes;

namespace {

void resetReader()
{
    std::memset(&urf::reader, 0, sizeof urf::reader);
}

Bytes pattern(size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return b;
}

// Reads `data` back in requests of the given sizes, from a pipe whose writer
// hands over `piece` bytes at a time.
Bytes readThroughPipe(const Bytes &data, size_t piece, const std::vector<uint32_t> &requests)
{
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    std::thread writer([&] {
        for (size_t sent = 0; sent < data.size(); sent += piece) {
            size_t n = std::min(piece, data.size() - sent);
            EXPECT_EQ(write(fds[1], data.data() + sent, n), static_cast<ssize_t>(n));
            if (piece < 16)
                usleep(50);
        }
        close(fds[1]);
    });
    resetReader();
    Bytes got;
    size_t r = 0;
    for (;;) {
        uint32_t n = requests[r++ % requests.size()];
        Bytes chunk(n);
        int32_t m = urf::readExact(fds[0], chunk.data(), n);
        EXPECT_GE(m, 0);
        if (m <= 0)
            break;
        got.insert(got.end(), chunk.begin(), chunk.begin() + m);
        if (static_cast<uint32_t>(m) < n)
            break;
    }
    writer.join();
    close(fds[0]);
    return got;
}

TEST(UrfReader, PiecesOfAnySizeGiveTheSameBytes)
{
    Bytes data = pattern(30000);
    std::vector<uint32_t> requests = {1, 3, 12, 32, 8191, 8192, 8193, 5};
    for (size_t piece : {size_t(1), size_t(7), size_t(4096), size_t(30000)})
        EXPECT_EQ(readThroughPipe(data, piece, requests), data) << "piece " << piece;
}

TEST(UrfReader, ShortCountAtEndThenZero)
{
    std::string path = testsupport::writeTempFile(pattern(10));
    int fd = open(path.c_str(), O_RDONLY);
    resetReader();
    uint8_t buf[32];
    EXPECT_EQ(urf::readExact(fd, buf, 4), 4);
    EXPECT_EQ(urf::readExact(fd, buf, 32), 6);
    EXPECT_EQ(0, std::memcmp(buf, pattern(10).data() + 4, 6));
    // The reader does not remember the end: every later read asks again.
    EXPECT_EQ(urf::readExact(fd, buf, 1), 0);
    EXPECT_EQ(urf::readExact(fd, buf, 0), 0);
    close(fd);
}

TEST(UrfReader, ReadSomeTakesAtMostOneBlock)
{
    std::string path = testsupport::writeTempFile(pattern(10000));
    int fd = open(path.c_str(), O_RDONLY);
    resetReader();
    Bytes buf(10000);
    EXPECT_EQ(urf::readSome(fd, buf.data(), 10000), 8192);
    EXPECT_EQ(urf::readSome(fd, buf.data(), 10000), 10000 - 8192);
    EXPECT_EQ(urf::readSome(fd, buf.data(), 10000), 0);
    close(fd);
}

TEST(UrfReader, FailedReadIsMinusOne)
{
    resetReader();
    uint8_t buf[4];
    EXPECT_EQ(urf::readExact(-1, buf, 4), -1);
    EXPECT_EQ(urf::readSome(-1, buf, 4), -1);
    EXPECT_EQ(urf::reader.available, 0);
}

TEST(UrfReaderDeathTest, StopFlagEndsTheProcessQuietly)
{
    EXPECT_EXIT(
        {
            resetReader();
            common::stopFlag = 1;
            uint8_t buf[1];
            urf::readExact(0, buf, 1);
            std::fputs("still running", stderr);
            std::exit(3);
        },
        testing::ExitedWithCode(0), "^$");
}

TEST(UrfHeaders, BigEndianFieldsFromBytes)
{
    Bytes h = testsupport::urfPageHeader(24, 1, 2, 4, 512, 256, 300);
    urf::UrfPageHeader page = urf::parsePageHeader(h.data());
    EXPECT_EQ(page.bitsPerPixel, 24);
    EXPECT_EQ(page.colorSpace, 1);
    EXPECT_EQ(page.duplex, 2);
    EXPECT_EQ(page.quality, 4);
    EXPECT_EQ(page.width, 512u);
    EXPECT_EQ(page.height, 256u);
    EXPECT_EQ(page.resolution, 300u);
    const uint8_t big[4] = {0xFF, 0x00, 0x80, 0x01};
    EXPECT_EQ(urf::readBigEndian32(big), 0xFF008001u);
}

} // namespace
