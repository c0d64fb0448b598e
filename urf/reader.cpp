// The buffered reader over the job's input descriptor: 8192-byte refills,
// read-up-to-n, read-exactly-n, and the stop-flag poll at every exact read.

#include "urf/urf.h"

#include "common/filter.h"

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

// One system read into the empty buffer. Returns what read() returned, with
// a failure (EINTR from SIGTERM included) leaving the buffer empty.
static int32_t refill(int fd)
{
    reader.position = 0;
    ssize_t got = ::read(fd, reader.buffer, kReaderBufferSize);
    if (got < 0) {
        reader.available = 0;
        return -1;
    }
    reader.available = static_cast<int32_t>(got);
    return reader.available;
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
    std::memcpy(dst, reader.buffer + reader.position, m);
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
    *bytes = reader.buffer + reader.position;
    reader.position += m;
    reader.available -= static_cast<int32_t>(m);
    return static_cast<int32_t>(m);
}

int32_t readExact(int fd, uint8_t *dst, uint32_t n)
{
    common::exitIfStopped();
    if (n == 0)
        return 0;

    // Fast path: the whole request already sits in the buffer.
    if (static_cast<uint32_t>(reader.available) >= n) {
        std::memcpy(dst, reader.buffer + reader.position, n);
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
