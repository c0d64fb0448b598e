// The least a filter in a chain can spend on its input and its output: every
// byte of the job read into one reused buffer, or the output's bytes written on.
//
// floors read BLOCK          < job   every byte of standard input read BLOCK bytes at a time
// floors write BYTES BLOCK   > out   BYTES bytes written BLOCK bytes at a time
// floors map WINDOW          < file  every byte of the file mapped WINDOW bytes at a time and
//                                    copied into one reused buffer (to show what mapping costs)
//
// Sizes take a K or M suffix (KiB, MiB). Nothing is decoded or looked at: a
// filter cannot do less than bring every byte of its job in once and hand
// every byte of its output on once, so bench/runner times these the same way
// as the filters and the report divides by their sum. No libcups here, and
// nothing else linked in: the start of a small C++ program is all they add.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace floors {

// "256K" -> 262144; 0 for anything that is not a positive size.
static size_t parseSize(const char *text)
{
    char *end = nullptr;
    unsigned long long value = std::strtoull(text, &end, 10);
    if (end == text)
        return 0;
    if (*end == 'K' || *end == 'k') {
        value <<= 10;
        end++;
    } else if (*end == 'M' || *end == 'm') {
        value <<= 20;
        end++;
    }
    return *end == '\0' ? static_cast<size_t>(value) : 0;
}

// One buffer for the whole run, from mmap so that its pages are the only
// memory it adds and are touched (faulted in) once, as a filter's would be.
static uint8_t *buffer(size_t bytes)
{
    void *memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return memory == MAP_FAILED ? nullptr : static_cast<uint8_t *>(memory);
}

// The input floor: the kernel copies every byte into the buffer, from the
// page cache (a file) or out of the pipe; the program itself touches none.
static int readAll(size_t block)
{
    uint8_t *into = buffer(block);
    if (into == nullptr)
        return 1;
    for (;;) {
        ssize_t got = read(0, into, block);
        if (got > 0)
            continue;
        if (got < 0 && errno == EINTR)
            continue;
        return got == 0 ? 0 : 1;
    }
}

// The output floor: the same byte count the filter writes, from one buffer.
// What the bytes are does not change what writing them costs (a copy into
// the pipe, nothing at all for /dev/null), so the buffer is written over and
// over; it is filled once so that its pages are real, not the zero page.
static int writeAll(uint64_t bytes, size_t block)
{
    uint8_t *from = buffer(block);
    if (from == nullptr)
        return 1;
    std::memset(from, 0x5a, block);
    while (bytes > 0) {
        size_t chunk = bytes < block ? static_cast<size_t>(bytes) : block;
        ssize_t put = write(1, from, chunk);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return 1;
        bytes -= static_cast<uint64_t>(put);
    }
    return 0;
}

// The same bytes brought in by mapping the file a window at a time and
// copying each window into one reused buffer: the way a reader that maps its
// input gets its bytes. Every page of the window is faulted in on first
// touch; on a machine where page faults are dear that costs far more than
// read()'s copy (see docs/benchmarks.md).
static int mapAll(size_t window)
{
    struct stat info;
    if (fstat(0, &info) != 0 || !S_ISREG(info.st_mode))
        return 1;
    uint8_t *into = buffer(window);
    if (into == nullptr)
        return 1;
    size_t size = static_cast<size_t>(info.st_size);
    uint64_t sum = 0;
    for (size_t at = 0; at < size; at += window) {
        size_t n = size - at < window ? size - at : window;
        void *mapped = mmap(nullptr, n, PROT_READ, MAP_PRIVATE, 0, static_cast<off_t>(at));
        if (mapped == MAP_FAILED)
            return 1;
        std::memcpy(into, mapped, n);
        sum += into[n - 1];
        munmap(mapped, n);
    }
    // The sum keeps the copies from being optimised away.
    return sum == 1 ? 3 : 0;
}

static int usage()
{
    std::fprintf(stderr, "usage: floors read BLOCK < job | floors write BYTES BLOCK > out | floors map WINDOW < file\n"
                         "  (sizes in bytes, or with a K or M suffix)\n");
    return 2;
}

} // namespace floors

int main(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], "read") == 0) {
        size_t block = floors::parseSize(argv[2]);
        return block == 0 ? floors::usage() : floors::readAll(block);
    }
    if (argc == 3 && std::strcmp(argv[1], "map") == 0) {
        size_t window = floors::parseSize(argv[2]);
        // Windows are mapped at their offset in the file, so a whole number of pages.
        if (window == 0 || window % static_cast<size_t>(sysconf(_SC_PAGESIZE)) != 0)
            return floors::usage();
        return floors::mapAll(window);
    }
    if (argc == 4 && std::strcmp(argv[1], "write") == 0) {
        char *end = nullptr;
        uint64_t bytes = std::strtoull(argv[2], &end, 10);
        size_t block = floors::parseSize(argv[3]);
        if (end == argv[2] || *end != '\0' || block == 0)
            return floors::usage();
        return floors::writeAll(bytes, block);
    }
    return floors::usage();
}
