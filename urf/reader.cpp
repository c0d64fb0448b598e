// The buffered reader over the job's input descriptor: 8192-byte blocks out of
// large reads, read-up-to-n, read-exactly-n, and the stop-flag poll.

#include "urf/urf.h"

#include "common/filter.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace urf {

UrfReader reader; // the one reader of the process, zeroed at start

int openInput(int argc, char **argv)
{
    if (argc == 6)
        return 0;
    // Opened as a stream, read only through its descriptor and this reader.
    FILE *input = std::fopen(argv[6], "rb");
    if (input == nullptr)
        common::die("Unable to open rast file");
    return fileno(input);
}

// ---- The descriptor the reader was started on

// Puts the descriptor where the 8192-byte reads would have left it, which is
// where the next byte not handed out lies. Only lseek, so it may run from
// any exit path; errno is kept for die's message.
static void syncDescriptor()
{
    if (!reader.started || !reader.seekable)
        return;
    int saved = errno;
    lseek(reader.fd, static_cast<off_t>(reader.offset), SEEK_SET);
    errno = saved;
}

// The chunk forgotten: the next refill reads. The current block, if any, is
// left to be taken.
static void dropChunk()
{
    reader.chunkBytes = 0;
    reader.chunkTaken = 0;
}

// The offset a descriptor is handed over at (a shell may have read part of
// a file) is where the counting starts; a pipe's lookup fails, which is no
// error of the job's, so errno is kept: a later die reports it.
bool beginInput(int fd)
{
    int saved = errno;
    off_t start = lseek(fd, 0, SEEK_CUR);
    errno = saved;
    dropChunk();
    reader.started = true;
    reader.fd = fd;
    reader.seekable = start >= 0;
    reader.offset = start >= 0 ? static_cast<uint64_t>(start) : 0;
    common::setBeforeExit(syncDescriptor);
    return reader.seekable;
}

void releaseInput()
{
    syncDescriptor();
    dropChunk();
    reader.started = false;
    common::setBeforeExit(nullptr);
}

bool rewindInput(int fd, off_t offset)
{
    if (lseek(fd, offset, SEEK_SET) != offset)
        return false;
    reader.available = 0;
    reader.position = 0;
    if (reader.started && fd == reader.fd) {
        dropChunk();
        reader.offset = static_cast<uint64_t>(offset);
    }
    return true;
}

unsigned long inputOffset(int fd)
{
    if (reader.started && reader.seekable && fd == reader.fd)
        return static_cast<unsigned long>(reader.offset);
    return static_cast<unsigned long>(lseek(fd, 0, SEEK_CUR));
}

// ---- Refills and reads

// One block into the empty reader: the next min(8192, what is left) bytes of
// the chunk, after one read() when it is empty. A regular file's read
// returns the whole chunk but at its end, so blocks fall every 8192 bytes
// from where the file was handed over, as 8192-byte reads fall. A read cut
// short in the middle (a signal, a file still being written) ends in a short
// block, as an 8192-byte read there could have ended, and the next read
// starts where it stopped, as that read's successor would. A descriptor not
// started is read a block at a time (the reader serves one descriptor at a
// time: the chunk holds the bytes of whichever it last read). Returns what
// the 8192-byte read would have returned, a failure (EINTR from SIGTERM
// included) leaving the block empty; the end and a failure are met again by
// the next refill, not kept.
static int32_t refill(int fd)
{
    reader.position = 0;
    if (reader.chunkTaken == reader.chunkBytes) {
        bool whole = reader.started && fd == reader.fd;
        ssize_t got = ::read(fd, reader.chunk, whole ? kInputChunkBytes : kReaderBufferSize);
        reader.chunkTaken = 0;
        reader.chunkBytes = got > 0 ? static_cast<uint32_t>(got) : 0;
        if (got <= 0) {
            reader.available = 0;
            return got < 0 ? -1 : 0;
        }
    }
    uint32_t n = reader.chunkBytes - reader.chunkTaken;
    if (n > kReaderBufferSize)
        n = static_cast<uint32_t>(kReaderBufferSize);
    reader.block = reader.chunk + reader.chunkTaken;
    reader.chunkTaken += n;
    reader.available = static_cast<int32_t>(n);
    if (reader.started && fd == reader.fd)
        reader.offset += n;
    return static_cast<int32_t>(n);
}

int32_t readSome(int fd, uint8_t *dst, uint32_t n)
{
    if (reader.available == 0) {
        int32_t got = refill(fd);
        if (got <= 0)
            return got;
    }
    uint32_t m = static_cast<uint32_t>(reader.available);
    if (n < m)
        m = n;
    std::memcpy(dst, reader.block + reader.position, m);
    reader.position += m;
    reader.available -= static_cast<int32_t>(m);
    return static_cast<int32_t>(m);
}

int32_t borrow(int fd, const uint8_t **bytes, uint32_t wanted)
{
    if (reader.available == 0) {
        int32_t got = refill(fd);
        if (got <= 0)
            return got;
    }
    uint32_t m = static_cast<uint32_t>(reader.available);
    if (wanted < m)
        m = wanted;
    *bytes = reader.block + reader.position;
    reader.position += m;
    reader.available -= static_cast<int32_t>(m);
    return static_cast<int32_t>(m);
}

int32_t readExact(int fd, uint8_t *dst, uint32_t n)
{
    common::exitIfStopped();
    if (n == 0)
        return 0;

    // Fast path: the whole request already sits in the block.
    if (static_cast<uint32_t>(reader.available) >= n) {
        std::memcpy(dst, reader.block + reader.position, n);
        reader.position += n;
        reader.available -= static_cast<int32_t>(n);
        return static_cast<int32_t>(n);
    }

    // Refill as often as needed; a short count means the input ended.
    uint32_t got = 0;
    while (got < n) {
        int32_t m = readSome(fd, dst + got, n - got);
        if (m == 0)
            return static_cast<int32_t>(got);
        if (m < 0)
            return -1;
        got += static_cast<uint32_t>(m);
    }
    return static_cast<int32_t>(got);
}

} // namespace urf
