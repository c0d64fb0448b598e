// The URF raster stream shared by brovane and calmeric: file and page headers,
// the one buffered reader over the input descriptor, and the encoded-line decoder.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

namespace urf {

constexpr size_t kFileHeaderSize = 12;    // "UNIRAST", one byte, big-endian page count
constexpr size_t kPageHeaderSize = 32;    // depth, colour space, duplex, quality, sizes
constexpr size_t kReaderBufferSize = 8192; // bytes taken from the descriptor per read
constexpr uint8_t kRawQuality = 167;      // quality byte of a page stored unencoded
constexpr uint32_t kUnstatedPageCount = 9999; // page count used when the header says 0

// Limits on what one page may make a filter allocate or count. The widest
// line is that of a 108-inch (2.74 m) wide-format roll at 2400 dpi (259,200
// pixels), rounded up to 2^18; the deepest pixel is 16-bit CMYK (8 bytes).
// So no line buffer exceeds 2 MiB. A page's rows (after any enlargement) are
// counted in signed 32 bits; 2^24 rows is a 582-foot page at 2400 dpi.
constexpr uint32_t kMaxLinePixels = 1u << 18;
constexpr uint32_t kMaxPixelBytes = 8;
constexpr uint32_t kMaxPageRows = 1u << 24;

// The file header, its magic held as text (eighth byte forced to NUL).
struct UrfFileHeader {
    char magic[8];      // "UNIRAST" in a good stream
    uint32_t pageCount; // pages announced; 0 = not stated
};

// A page header in host order; the reserved bytes are not kept.
struct UrfPageHeader {
    uint8_t bitsPerPixel; // 8 grey, 24 colour, ...
    uint8_t colorSpace;   // 0 grey, anything else colour
    uint8_t duplex;       // sides: 1 one, 2 two (short edge), 3 two (long edge)
    uint8_t quality;      // 167 marks a raw page
    uint32_t width;       // pixels per line
    uint32_t height;      // lines in the page
    uint32_t resolution;  // dots per inch, both directions
};

// The 32-byte store every page header is read into: zero at start and never
// cleared, so a header cut short keeps the previous page's remaining bytes.
extern uint8_t headerBytes[kPageHeaderSize];

uint32_t readBigEndian32(const uint8_t *bytes);
UrfPageHeader parsePageHeader(const uint8_t *bytes);
// The sides a duplex code asks for, as the CUPS page header's Duplex and
// Tumble; false for 0 and codes the format does not define, which ask for
// nothing (the job's own setting stands).
bool sidesFor(uint8_t duplex, bool &twoSided, bool &tumble);

// A regular file's bytes are used where the kernel keeps them: mapped a
// window at a time, so resident memory stays flat however long the job.
// The window is a multiple of every page size Linux uses (4 to 64 KiB).
constexpr size_t kWindowBytes = 256 * 1024;

// The job's file while it is read in place. Each refill hands out the next
// 8192 bytes of the window (fewer at the end of the file), exactly what a
// read() would have returned, and advances fileOffset as that read would
// have advanced the descriptor, so the offsets in messages, the point at
// which the job ends and where it leaves the descriptor are unchanged.
struct MappedInput {
    bool active;               // the reader's descriptor is mapped, not read
    int fd;                    // that descriptor
    uint64_t fileOffset;       // the descriptor's offset had each block been read
    uint64_t fileSize;         // the file's size when last looked up
    size_t pageBytes;          // the system's page size, which window offsets are multiples of
    uint8_t *window;           // the mapped piece of the file, or null
    uint64_t windowStart;      // file offset of window[0], a multiple of the page size
    size_t windowBytes;        // bytes mapped at window (the last piece may be shorter)
    volatile sig_atomic_t cut; // set by the SIGBUS handler: the file shrank under the window
    uintptr_t zeroedFrom;      // where the handler mapped zeros over the window; 0 = nowhere
};

// The buffered reader: every byte of a job passes through it.
struct UrfReader {
    uint8_t buffer[kReaderBufferSize]; // last block returned by read()
    int32_t available;                 // bytes of the block not yet taken
    uint32_t position;                 // offset in the block of the next byte to take
    const uint8_t *block;              // the current block: buffer, or 8192 bytes of the window
    MappedInput mapped;                // the file read in place, when it is one
};
extern UrfReader reader;

// The job's input descriptor: standard input with six arguments, else the
// file the sixth names (fatal through die when it can't be opened).
int openInput(int argc, char **argv);

// Has the reader take `fd`'s bytes in place, from its current offset on,
// when it is a regular file that can be mapped; true then. Pipes, sockets,
// terminals and anything else keep being read into the buffer. Called once,
// by a filter whose URF input goes through this reader. The descriptor's own offset is brought to
// where the reads would have left it when the process ends (die, stopNow,
// finishRun) and by releaseInput.
bool mapInput(int fd);
// Ends the mapping (the harnesses run many jobs in one process).
void releaseInput();
// Has the reader start again at `offset` of `fd`, with nothing buffered,
// mapped again where it was mapped: a filter that reads the job once for
// each copy. False when the input can't seek back (a pipe).
bool rewindInput(int fd, off_t offset);

// The input descriptor's offset as the messages report it: what the 8192-byte
// refills have taken, (unsigned long)-1 where it can't seek (a pipe).
unsigned long inputOffset(int fd);

// Up to n bytes with at most one system read; 0 at end of input, -1 on error.
int32_t readSome(int fd, uint8_t *dst, uint32_t n);
// Polls the stop flag, then exactly n bytes unless the input ends first
// (short count) or a read fails (-1).
int32_t readExact(int fd, uint8_t *dst, uint32_t n);
// Hands out up to `wanted` bytes that already sit in the reader's buffer,
// without copying; refills once when it is empty. Same results as readSome.
int32_t borrow(int fd, const uint8_t **bytes, uint32_t wanted);

// The bytes that already sit in the reader's block, for a caller that takes
// whole codes and runs in place instead of one readExact each: buffered() of
// them start at bufferedBytes(), and take(n), n <= buffered(), consumes n.
// No system read happens, so the reader ends exactly where readExact calls
// for the same bytes would leave it; the caller polls the stop flag where
// those calls would have.
inline uint32_t buffered()
{
    return static_cast<uint32_t>(reader.available);
}
inline const uint8_t *bufferedBytes()
{
    return reader.block + reader.position;
}
inline void take(uint32_t n)
{
    reader.position += n;
    reader.available -= static_cast<int32_t>(n);
}

// Reads and checks the file header (fatal through die on a read error or a
// wrong magic) and logs "%s file, with %d page(s).". Returns the count as stated.
uint32_t readFileHeader(int fd);

// Receives every completed line: `rows` output rows, the first numbered
// `rowIndex` within the page, all showing `line`. The sink may rewrite the
// line in place; the decoder rebuilds every pixel of the next line.
struct LineSink {
    void (*emit)(void *context, uint32_t rowIndex, uint8_t *line, uint32_t rows);
    void *context;
};

// How one page's body is laid out in the stream.
struct PageLayout {
    int32_t width;        // pixels per line, 1 .. kMaxLinePixels
    int32_t height;       // lines in the page
    int32_t bitsPerPixel; // a multiple of 8, pixel size 1 .. kMaxPixelBytes
    int32_t scale;        // output rows per decoded line (times its repeats)
    bool rawLines;        // lines stored unencoded, rawRowBytes each
    uint32_t rawRowBytes; // length of a raw line
};

// Null when a page of this shape can be decoded within the limits above,
// else a short reason for the log.
const char *checkLayout(const PageLayout &layout);

// Decodes one page, handing every line to the sink. 0 when all of the page's
// rows were produced, 1 after an "ERROR:" line (input short or layout refused).
int32_t decodePage(int fd, const PageLayout &layout, LineSink sink);

// The decoder's line buffer as it stands (grown to the largest page so far).
uint8_t *lineBuffer();

} // namespace urf
