// The buffered reader over the job's input descriptor: 8192-byte refills,
// from read() or from the mapped file, read-up-to-n, read-exactly-n, and the stop-flag poll.

#include "urf/urf.h"

#include "common/filter.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/mman.h>
#include <sys/stat.h>
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

// ---- The mapped file

// Puts the descriptor where the 8192-byte reads would have left it. Only
// lseek, so it may run from any exit path; errno is kept for die's message.
static void syncDescriptor()
{
    MappedInput &m = reader.mapped;
    if (!m.active)
        return;
    int saved = errno;
    lseek(m.fd, static_cast<off_t>(m.fileOffset), SEEK_SET);
    errno = saved;
}

// A SIGBUS in the window means the file was cut short after it was mapped:
// the pages past its new end are gone. The rest of the window is replaced by
// zero pages, so the interrupted copy completes, and `cut` tells the next
// refill to look at the file again, which then meets its end as a read would.
// Any other SIGBUS takes the default action when the instruction is retried.
static void onBusError(int, siginfo_t *info, void *)
{
    int saved = errno;
    MappedInput &m = reader.mapped;
    uintptr_t at = reinterpret_cast<uintptr_t>(info->si_addr);
    uintptr_t start = reinterpret_cast<uintptr_t>(m.window);
    // A fault again where zeros were already mapped would repeat for ever
    // (an emulator may not honour the new mapping): that one takes the default.
    bool again = m.zeroedFrom != 0 && at >= m.zeroedFrom;
    if (m.window != nullptr && at >= start && at - start < m.windowBytes && !again) {
        uintptr_t from = at - (at - start) % m.pageBytes;
        size_t bytes = m.windowBytes - (from - start);
        void *zeros = mmap(reinterpret_cast<void *>(from), bytes, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED,
                           -1, 0);
        if (zeros != MAP_FAILED) {
            m.zeroedFrom = from;
            m.cut = 1;
            errno = saved;
            return;
        }
    }
    signal(SIGBUS, SIG_DFL);
    errno = saved;
}

static void dropWindow()
{
    MappedInput &m = reader.mapped;
    if (m.window != nullptr)
        munmap(m.window, m.windowBytes);
    m.window = nullptr;
    m.windowBytes = 0;
    m.zeroedFrom = 0;
}

// The mapping set up for a regular file, or false and nothing changed.
static bool mapRegularFile(int fd)
{
    MappedInput &m = reader.mapped;
    struct stat info;
    // The offset a regular file is handed over at (a shell may have read
    // part of it); off_t's limits are those of the reads it replaces. A file
    // of size 0 is read: files of the kernel's own (/proc) say 0 and still
    // have bytes to read.
    off_t start = lseek(fd, 0, SEEK_CUR);
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || start < 0 || info.st_size <= 0)
        return false;
    long page = sysconf(_SC_PAGESIZE);
    if (page <= 0 || kWindowBytes % static_cast<size_t>(page) != 0)
        return false;

    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = onBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGBUS, &action, nullptr) != 0)
        return false;

    m.active = true;
    m.fd = fd;
    m.fileOffset = static_cast<uint64_t>(start);
    m.fileSize = static_cast<uint64_t>(info.st_size);
    m.pageBytes = static_cast<size_t>(page);
    m.window = nullptr;
    m.windowBytes = 0;
    m.cut = 0;
    m.zeroedFrom = 0;
    common::setBeforeExit(syncDescriptor);
    return true;
}

// mapRegularFile's calls fail on pipes and terminals, which is no error of
// the job's: errno is kept, since a later die reports it.
bool mapInput(int fd)
{
    int saved = errno;
    bool mapped = mapRegularFile(fd);
    errno = saved;
    return mapped;
}

void releaseInput()
{
    syncDescriptor();
    dropWindow();
    reader.mapped.active = false;
    common::setBeforeExit(nullptr);
}

bool rewindInput(int fd, off_t offset)
{
    bool wasMapped = reader.mapped.active && fd == reader.mapped.fd;
    if (wasMapped)
        releaseInput();
    if (lseek(fd, offset, SEEK_SET) != offset)
        return false;
    reader.available = 0;
    reader.position = 0;
    if (wasMapped)
        mapInput(fd);
    return true;
}

unsigned long inputOffset(int fd)
{
    if (reader.mapped.active && fd == reader.mapped.fd)
        return static_cast<unsigned long>(reader.mapped.fileOffset);
    return static_cast<unsigned long>(lseek(fd, 0, SEEK_CUR));
}

// The next block of the mapped file, as read(fd, buffer, 8192) at fileOffset
// would return it: 8192 bytes, fewer at the end, 0 past it. At the apparent
// end, and after a cut, the size is looked up again: a file that grew is read
// on, one that shrank ends where it now ends. When the file can't be looked
// up or the window mapped (address space short on a 32-bit board), the
// reader goes back to reading from the same offset: -2 asks refill for that.
static int32_t refillMapped()
{
    MappedInput &m = reader.mapped;
    if (m.cut || m.fileOffset >= m.fileSize) {
        struct stat info;
        if (fstat(m.fd, &info) != 0)
            return -2;
        m.fileSize = static_cast<uint64_t>(info.st_size);
        if (m.cut) {
            // The block that met the cut was, for a read, a short one that
            // ended at the file's new end; the window's pages past it are gone.
            dropWindow();
            m.cut = 0;
            if (m.fileOffset > m.fileSize)
                m.fileOffset = m.fileSize;
        }
    }
    if (m.fileOffset >= m.fileSize)
        return 0;
    uint64_t left = m.fileSize - m.fileOffset;
    uint32_t n = left < kReaderBufferSize ? static_cast<uint32_t>(left) : static_cast<uint32_t>(kReaderBufferSize);

    // A new window when the block is not inside the current one: it starts
    // at the page holding fileOffset and ends kWindowBytes on or at the end
    // of the file. Since kWindowBytes >= 8192 + a page, the block fits. Its
    // pages are mapped as the decoder first touches them, sixteen a fault
    // (measured no slower than populating the window in the mmap call).
    if (m.window == nullptr || m.fileOffset < m.windowStart || m.fileOffset + n > m.windowStart + m.windowBytes) {
        dropWindow();
        uint64_t from = m.fileOffset - m.fileOffset % m.pageBytes;
        uint64_t bytes = m.fileSize - from < kWindowBytes ? m.fileSize - from : kWindowBytes;
        void *mapping = mmap(nullptr, static_cast<size_t>(bytes), PROT_READ, MAP_PRIVATE, m.fd,
                             static_cast<off_t>(from));
        if (mapping == MAP_FAILED)
            return -2;
        m.window = static_cast<uint8_t *>(mapping);
        m.windowStart = from;
        m.windowBytes = static_cast<size_t>(bytes);
    }
    reader.block = m.window + (m.fileOffset - m.windowStart);
    m.fileOffset += n;
    return static_cast<int32_t>(n);
}

// ---- Refills and reads

// One block into the empty reader: a system read into the buffer, or the
// next piece of the mapped file. Returns what read() returned (or would
// have), with a failure (EINTR from SIGTERM included) leaving the block empty.
static int32_t refill(int fd)
{
    reader.position = 0;
    if (reader.mapped.active && fd == reader.mapped.fd) {
        int saved = errno;
        int32_t got = refillMapped();
        if (got >= 0) {
            reader.available = got;
            return got;
        }
        // Read from here on, from where the mapped blocks ended; the failed
        // call's errno is no error of the job's.
        releaseInput();
        errno = saved;
    }
    reader.block = reader.buffer;
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
