// The URF raster stream shared by brovane and calmeric: file and page headers,
// the one buffered reader over the input descriptor, and the encoded-line decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

namespace urf {

constexpr size_t kFileHeaderSize = 12;    // "UNIRAST", one byte, big-endian page count
constexpr size_t kPageHeaderSize = 32;    // depth, colour space, duplex, quality, sizes
constexpr size_t kReaderBufferSize = 8192; // bytes of a block, as one read would take them
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

// The reader takes its descriptor's bytes in chunks of kInputChunkBytes,
// one read() each, into one buffer, and hands the decoder 8192-byte blocks
// out of it. Of reads of 8 KiB to 1 MiB into one reused buffer, 256 KiB cost
// the least CPU on a 209 MB job, from a file and out of a pipe (the block
// table of docs/benchmarks.md): fewer, longer reads than that each copy
// past the L2 cache (256 KiB to 1 MiB a core on the boards and servers that
// run the filters) before the decoder gets to the bytes. It makes reads rare
// (some 800 for that job, not 25,000), and costs a ninth of the CPU of taking
// the same file from mapped windows on a virtual machine, whose page faults
// go through the hypervisor. A whole number of blocks, so that a full chunk ends where a
// block read would have ended; at most 1 MiB, so the reader's static buffer
// keeps the process's resident memory small and flat.
constexpr size_t kInputChunkBytes = 256 * 1024;
static_assert(kInputChunkBytes % kReaderBufferSize == 0, "a chunk must hold whole blocks");
static_assert(kInputChunkBytes >= kReaderBufferSize && kInputChunkBytes <= 1024 * 1024,
              "chunk size outside 8 KiB .. 1 MiB");

// The buffered reader: every byte of a job passes through it. The chunk
// holds what the last read() returned; each refill hands out its next
// min(8192, what is left) bytes as the block, exactly what read(fd, buf,
// 8192) at that offset could have returned, and advances `offset` as that
// read would have advanced the descriptor. So the blocks, the offsets in
// messages, the point at which a job ends and where the descriptor is left
// are those of 8192-byte reads.
struct UrfReader {
    // Bytes of the last read(), on a page boundary: the kernel copies a file
    // or a pipe a page at a time, and each page lands in one page of the chunk.
    alignas(4096) uint8_t chunk[kInputChunkBytes];
    uint32_t chunkBytes;             // how many it returned (0 after a failure or the end)
    uint32_t chunkTaken;             // of them, how many the blocks handed out so far hold
    int32_t available;               // bytes of the block not yet taken
    uint32_t position;               // offset in the block of the next byte to take
    const uint8_t *block;            // the current block: a piece of chunk
    bool started;                    // beginInput took `fd`: it is read in whole chunks
    bool seekable;                   // `fd` seeks, so `offset` is kept and given back to it
    int fd;                          // the descriptor beginInput took
    uint64_t offset;                 // where 8192-byte reads would have left `fd`
};
extern UrfReader reader;

// The job's input descriptor: standard input with six arguments, else the
// file the sixth names (fatal through die when it can't be opened).
int openInput(int argc, char **argv);

// Has the reader take `fd` in whole chunks from its current offset on.
// Called once, by a filter whose URF input goes through this reader; a
// descriptor it was not called for is read 8192 bytes a read, so its own
// offset is always right. When `fd` seeks (true then), its offset is brought
// to where the 8192-byte reads would have left it when the process ends
// (die, stopNow, finishRun) and by releaseInput. errno is kept.
bool beginInput(int fd);
// Gives the descriptor its offset back and forgets it (the harnesses run
// many jobs in one process). Bytes of a pipe's chunk not yet handed out
// are dropped: call it when the job's reading is over.
void releaseInput();
// Has the reader start again at `offset` of `fd`, with nothing buffered: a
// filter that reads the job once for each copy. False, and nothing changed,
// when the input can't seek back (a pipe).
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
// `place`, where set, says where to build the encoded line that starts at
// `rowIndex` (`bytes` long; null: in the decoder's own buffer): a sink that
// writes the line as it is has it built where the row is written from. Raw
// lines are always read into the decoder's buffer.
struct LineSink {
    void (*emit)(void *context, uint32_t rowIndex, uint8_t *line, uint32_t rows);
    void *context;
    uint8_t *(*place)(void *context, uint32_t rowIndex, size_t bytes);
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
