// The buffered reader: pieces of any size, ends of input, failed reads and
// the stop flag.

#include "support.h"

#include "common/filter.h"
#include "urf/urf.h"

#include <cstdlib>
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

// The file opened for a fresh reader, started on it (read in whole chunks)
// or not (read a block at a time).
int openForReader(const std::string &path, bool started)
{
    int fd = open(path.c_str(), O_RDONLY);
    resetReader();
    if (started)
        urf::beginInput(fd);
    return fd;
}

Bytes pattern(size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return b;
}

// Reads `data` back in requests of the given sizes, from a pipe whose writer
// hands over `piece` bytes at a time, with the reader started on the pipe as
// a filter starts it: each read takes what the pipe holds, up to a chunk.
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
    EXPECT_FALSE(urf::beginInput(fds[0])); // a pipe does not seek
    Bytes got;
    size_t r = 0;
    for (;;) {
        uint32_t n = requests[r++ % requests.size()];
        Bytes chunk(n);
        int32_t m = urf::readExact(fds[0], chunk.data(), n);
        EXPECT_GE(m, 0);
        EXPECT_LE(urf::buffered(), urf::kReaderBufferSize);
        EXPECT_EQ(urf::inputOffset(fds[0]), static_cast<unsigned long>(-1));
        if (m <= 0)
            break;
        got.insert(got.end(), chunk.begin(), chunk.begin() + m);
        if (static_cast<uint32_t>(m) < n)
            break;
    }
    urf::releaseInput();
    writer.join();
    close(fds[0]);
    return got;
}

TEST(UrfReader, PiecesOfAnySizeGiveTheSameBytes)
{
    // Byte by byte, a short job; in larger pieces, more than a chunk.
    Bytes small = pattern(30000), large = pattern(urf::kInputChunkBytes + 30000);
    std::vector<uint32_t> requests = {1, 3, 12, 32, 8191, 8192, 8193, 5};
    for (size_t piece : {size_t(1), size_t(7)})
        EXPECT_EQ(readThroughPipe(small, piece, requests), small) << "piece " << piece;
    for (size_t piece : {size_t(4096), size_t(30000), large.size()})
        EXPECT_EQ(readThroughPipe(large, piece, requests), large) << "piece " << piece;
}

// Each runs on a descriptor read a block at a time and on one the reader was
// started on (read in whole chunks).
TEST(UrfReader, ShortCountAtEndThenZero)
{
    std::string path = testsupport::writeTempFile(pattern(10));
    for (bool started : {false, true}) {
        SCOPED_TRACE(started);
        int fd = openForReader(path, started);
        uint8_t buf[32];
        EXPECT_EQ(urf::readExact(fd, buf, 4), 4);
        EXPECT_EQ(urf::readExact(fd, buf, 32), 6);
        EXPECT_EQ(0, std::memcmp(buf, pattern(10).data() + 4, 6));
        EXPECT_EQ(urf::readExact(fd, buf, 1), 0);
        // The reader does not remember the end: every later read asks again.
        int writer = open(path.c_str(), O_WRONLY | O_APPEND);
        ASSERT_EQ(write(writer, "x", 1), 1);
        close(writer);
        EXPECT_EQ(urf::readExact(fd, buf, 1), 1);
        EXPECT_EQ(buf[0], 'x');
        EXPECT_EQ(urf::readExact(fd, buf, 0), 0);
        EXPECT_EQ(urf::inputOffset(fd), 11ul);
        urf::releaseInput();
        close(fd);
        ASSERT_EQ(truncate(path.c_str(), 10), 0);
    }
}

TEST(UrfReader, ReadSomeTakesAtMostOneBlock)
{
    std::string path = testsupport::writeTempFile(pattern(10000));
    for (bool started : {false, true}) {
        SCOPED_TRACE(started);
        int fd = openForReader(path, started);
        Bytes buf(10000);
        EXPECT_EQ(urf::readSome(fd, buf.data(), 10000), 8192);
        EXPECT_EQ(urf::inputOffset(fd), 8192ul);
        EXPECT_EQ(urf::readSome(fd, buf.data(), 10000), 10000 - 8192);
        EXPECT_EQ(urf::readSome(fd, buf.data(), 10000), 0);
        EXPECT_EQ(urf::inputOffset(fd), 10000ul);
        urf::releaseInput();
        close(fd);
    }
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

// ---- A job in a regular file, read in whole chunks ---------------------------

// One reader's view of a file: every count, every byte, and the offset the
// messages would show after each request.
struct Trace {
    std::vector<int32_t> counts;
    std::vector<unsigned long> offsets;
    Bytes bytes;
    off_t leftAt; // the descriptor's offset once the reader is done with it
};

// Reads the file at `path` from offset `start` in the given requests until
// the input ends, in whole chunks or 8192 bytes a read, then appends `more`
// to the file (a job still being written) and reads on to the new end.
Trace traceReads(const std::string &path, off_t start, bool chunked, const std::vector<uint32_t> &requests,
                 const Bytes &more)
{
    int fd = open(path.c_str(), O_RDWR);
    EXPECT_EQ(lseek(fd, start, SEEK_SET), start);
    resetReader();
    if (chunked) {
        EXPECT_TRUE(urf::beginInput(fd));
    }
    Trace t;
    size_t r = 0;
    for (int round = 0; round < 2; round++) {
        for (;;) {
            uint32_t n = requests[r++ % requests.size()];
            Bytes chunk(n);
            int32_t m = urf::readExact(fd, chunk.data(), n);
            t.counts.push_back(m);
            t.offsets.push_back(urf::inputOffset(fd));
            if (m <= 0)
                break;
            t.bytes.insert(t.bytes.end(), chunk.begin(), chunk.begin() + m);
        }
        if (round == 0) {
            int writer = open(path.c_str(), O_WRONLY | O_APPEND);
            EXPECT_EQ(write(writer, more.data(), more.size()), static_cast<ssize_t>(more.size()));
            close(writer);
        }
    }
    urf::releaseInput();
    t.leftAt = lseek(fd, 0, SEEK_CUR);
    close(fd);
    return t;
}

// Read in whole chunks, the reader hands out what 8192-byte reads give: the
// same counts and bytes for requests of any size across chunks, the same
// offsets in messages, the same end, bytes appended after the end read on,
// and the descriptor left where the reads would have left it; also when the
// file is handed over part read.
TEST(UrfReader, FileReadInChunksGivesWhatReadsGive)
{
    Bytes data = pattern(3 * urf::kInputChunkBytes + 5000);
    std::vector<uint32_t> requests = {1, 3, 12, 32, 8191, 8192, 8193, 5, 300000, 7};
    for (off_t start : {off_t(0), off_t(5), off_t(urf::kInputChunkBytes - 3)}) {
        SCOPED_TRACE(start);
        std::string chunkedPath = testsupport::writeTempFile(data), readPath = testsupport::writeTempFile(data);
        Trace chunked = traceReads(chunkedPath, start, true, requests, pattern(20000));
        Trace plain = traceReads(readPath, start, false, requests, pattern(20000));
        EXPECT_EQ(chunked.counts, plain.counts);
        EXPECT_EQ(chunked.offsets, plain.offsets);
        EXPECT_TRUE(chunked.bytes == plain.bytes);
        EXPECT_EQ(chunked.bytes.size(), data.size() - static_cast<size_t>(start) + 20000);
        EXPECT_EQ(chunked.leftAt, plain.leftAt);
    }
}

// A read that comes back short in the middle of the job (here: the file was
// still being written) ends in a short block, as an 8192-byte read there
// would have, and the blocks after it start where it stopped: no byte lost
// or given twice, every offset that of the blocks handed out.
TEST(UrfReader, ShortReadInTheMiddleEndsItsBlockThere)
{
    Bytes data = pattern(60000);
    std::string path = testsupport::writeTempFile(Bytes(data.begin(), data.begin() + 20000));
    int fd = open(path.c_str(), O_RDONLY);
    resetReader();
    ASSERT_TRUE(urf::beginInput(fd));
    Bytes got(60000);
    std::vector<int32_t> counts;
    std::vector<unsigned long> offsets;
    uint32_t at = 0;
    for (int32_t m; (m = urf::readSome(fd, got.data() + at, 60000 - at)) > 0; at += static_cast<uint32_t>(m)) {
        counts.push_back(m);
        offsets.push_back(urf::inputOffset(fd));
        if (at == 0) {
            // The first read took the 20000 bytes there were; the rest comes now.
            int writer = open(path.c_str(), O_WRONLY | O_APPEND);
            ASSERT_EQ(write(writer, data.data() + 20000, 40000), 40000);
            close(writer);
        }
    }
    EXPECT_EQ(counts, (std::vector<int32_t>{8192, 8192, 3616, 8192, 8192, 8192, 8192, 7232}));
    EXPECT_EQ(offsets, (std::vector<unsigned long>{8192, 16384, 20000, 28192, 36384, 44576, 52768, 60000}));
    EXPECT_TRUE(got == data);
    urf::releaseInput();
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 60000);
    close(fd);
}

// A file cut short under the reader: what was read before the cut is used,
// then the input ends where the reads met the file's end. A cut ahead of the
// reader ends the input at the cut, as 8192-byte reads end; a cut inside the
// chunk already read leaves that chunk's bytes (the file's own, never zeros)
// to be handed out, and the input ends after them, as it would have after
// 8192-byte reads made before the cut. Offsets follow the blocks.
TEST(UrfReader, FileCutShortWhileReadEndsTheInput)
{
    Bytes data = pattern(3 * urf::kInputChunkBytes);
    const size_t first = 20000;
    for (size_t cut : {urf::kInputChunkBytes + 50000, size_t(50000)}) {
        SCOPED_TRACE(cut);
        std::string path = testsupport::writeTempFile(data);
        int fd = open(path.c_str(), O_RDWR);
        resetReader();
        ASSERT_TRUE(urf::beginInput(fd));
        Bytes got(first);
        ASSERT_EQ(urf::readExact(fd, got.data(), first), static_cast<int32_t>(first));
        ASSERT_EQ(ftruncate(fd, static_cast<off_t>(cut)), 0);
        Bytes rest(data.size());
        int32_t m = urf::readExact(fd, rest.data(), static_cast<uint32_t>(rest.size()));
        size_t end = cut > urf::kInputChunkBytes ? cut : urf::kInputChunkBytes;
        ASSERT_EQ(m, static_cast<int32_t>(end - first));
        EXPECT_EQ(0, std::memcmp(got.data(), data.data(), first));
        EXPECT_EQ(0, std::memcmp(rest.data(), data.data() + first, end - first));
        EXPECT_EQ(urf::inputOffset(fd), end);
        uint8_t one;
        EXPECT_EQ(urf::readExact(fd, &one, 1), 0);
        urf::releaseInput();
        EXPECT_EQ(lseek(fd, 0, SEEK_CUR), static_cast<off_t>(end));
        close(fd);
    }
}

// Each copy reads the job again: the reader drops what its chunk still
// holds and starts over at the job's offset, with the offsets counted anew;
// a pipe can't go back and is left as it was.
TEST(UrfReader, RewindStartsOverAtTheJob)
{
    Bytes data = pattern(urf::kInputChunkBytes + 9000);
    std::string path = testsupport::writeTempFile(data);
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_EQ(lseek(fd, 7, SEEK_SET), 7);
    resetReader();
    ASSERT_TRUE(urf::beginInput(fd));
    for (int copy = 0; copy < 2; copy++) {
        SCOPED_TRACE(copy);
        Bytes got(data.size());
        EXPECT_EQ(urf::readExact(fd, got.data(), 30000), 30000);
        EXPECT_EQ(urf::inputOffset(fd), 7ul + 4 * 8192);
        EXPECT_EQ(0, std::memcmp(got.data(), data.data() + 7, 30000));
        ASSERT_TRUE(urf::rewindInput(fd, 7));
        EXPECT_EQ(urf::buffered(), 0u);
        EXPECT_EQ(urf::inputOffset(fd), 7ul);
    }
    Bytes all(data.size());
    EXPECT_EQ(urf::readExact(fd, all.data(), static_cast<uint32_t>(all.size())),
              static_cast<int32_t>(data.size() - 7));
    EXPECT_EQ(0, std::memcmp(all.data(), data.data() + 7, data.size() - 7));
    urf::releaseInput();
    close(fd);

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], data.data(), 20000), 20000);
    resetReader();
    urf::beginInput(fds[0]);
    uint8_t first[100];
    EXPECT_EQ(urf::readExact(fds[0], first, 100), 100);
    EXPECT_FALSE(urf::rewindInput(fds[0], 0));
    EXPECT_EQ(urf::readExact(fds[0], first, 100), 100);
    EXPECT_EQ(0, std::memcmp(first, data.data() + 100, 100));
    urf::releaseInput();
    close(fds[0]);
    close(fds[1]);
}

// However the process ends once the reader has read ahead, the descriptor
// is left where the 8192-byte reads would have left it: die runs the hook.
TEST(UrfReaderDeathTest, DieLeavesTheFileWhereTheReadsLeaveIt)
{
    Bytes data = pattern(urf::kInputChunkBytes + 9000);
    std::string path = testsupport::writeTempFile(data);
    int fd = open(path.c_str(), O_RDONLY);
    EXPECT_EXIT(
        {
            resetReader();
            urf::beginInput(fd);
            uint8_t buf[10000];
            urf::readExact(fd, buf, sizeof buf);
            common::die(lseek(fd, 0, SEEK_CUR) == off_t(urf::kInputChunkBytes) ? "whole chunk" : "one block");
        },
        testing::ExitedWithCode(1), "die\\(whole chunk\\)");
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 2 * 8192);
    close(fd);
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
