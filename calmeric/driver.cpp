// calmeric's driver: start-up, the URF file header, the page loop with the
// header mapping and its log lines, and the end of the job.

#include "calmeric/calmeric.h"

#include "common/filter.h"
#include "common/rowbatch.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace calmeric {

constexpr uint32_t kCountedInfoLimit = 1000; // page counts from here on are left out of INFO lines
constexpr float kBytesPerBit = 0.125f;       // eight bits a byte, in the line-length formula
constexpr float kInt32Bound = 2147483648.0f; // 2^31, the first line length a signed 32-bit value can't hold

JobState job; // the job, for the whole run

void mapHeader(const urf::UrfPageHeader &urfPage, cups_page_header2_t &header)
{
    uint32_t pixelBytes = urfPage.bitsPerPixel / 8u;
    header.cupsBitsPerPixel = urfPage.bitsPerPixel;
    header.cupsBitsPerColor = 8;
    header.cupsNumColors = pixelBytes;
    header.cupsColorSpace = pixelBytes == 1 ? CUPS_CSPACE_W : CUPS_CSPACE_RGB;
    header.cupsWidth = urfPage.width;
    header.cupsHeight = urfPage.height;

    // Line length in single precision, as the format has always been sized:
    // exact while bitsPerPixel x width stays within 2^24, as it does for every
    // page the decoder accepts. Header values far beyond that (pages refused
    // later) saturate rather than overflow the conversion to an integer.
    float bytes = ceilf(static_cast<float>(urfPage.bitsPerPixel) * static_cast<float>(urfPage.width) * kBytesPerBit);
    header.cupsBytesPerLine =
        bytes < kInt32Bound ? static_cast<unsigned>(static_cast<int32_t>(bytes)) : static_cast<unsigned>(INT32_MAX);

    header.HWResolution[0] = urfPage.resolution;
    header.HWResolution[1] = urfPage.resolution;
    // Without a PPD or options, a page that names no sides is one-sided.
    bool twoSided = false, tumble = false;
    urf::sidesFor(urfPage.duplex, twoSided, tumble);
    header.Duplex = twoSided ? CUPS_TRUE : CUPS_FALSE;
    header.Tumble = tumble ? CUPS_TRUE : CUPS_FALSE;
}

// The page's log lines; the arguments on the first page only.
static void logPage(int argc, char **argv)
{
    const cups_page_header2_t &header = job.pageHeader;
    common::message("DEBUG: (calmeric) Page %d :\n", static_cast<int>(job.pageNumber));
    if (job.pageNumber == 1)
        for (int i = 1; i < argc; i++)
            common::message("DEBUG: (calmeric) ARG %d: %s\n", i, argv[i]);
    common::message("DEBUG: (calmeric) Bits Per Pixel : %d\n", static_cast<int>(header.cupsBitsPerPixel));
    common::message("DEBUG: (calmeric) Bits Per Color : %d\n", static_cast<int>(header.cupsBitsPerColor));
    common::message("DEBUG: (calmeric) Colorspace : %d\n", static_cast<int>(common::fieldBits(header.cupsColorSpace)));
    common::message("DEBUG: (calmeric) Duplex Mode : %d\n", job.urfPage.duplex);
    common::message("DEBUG: (calmeric) Quality : %d\n", job.urfPage.quality);
    common::message("DEBUG: (calmeric) Size : %dx%d pixels\n", static_cast<int>(job.urfPage.width),
                    static_cast<int>(job.urfPage.height));
    common::message("DEBUG: (calmeric) Dots per Inches : %d\n", static_cast<int>(job.urfPage.resolution));
}

// A header size as the decoder's signed field; sizes past 2^31 - 1 saturate
// (and are refused), they never wrap to negative.
static int32_t signedSize(uint32_t value)
{
    return value > static_cast<uint32_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(value);
}

void startInput()
{
    job.pageCount = urf::readFileHeader(job.inputFd);
    if (job.pageCount == 0) {
        job.pageCount = urf::kUnstatedPageCount;
        common::message("DEBUG: (calmeric) Page count of zero, resetting to %d\n",
                        static_cast<int>(urf::kUnstatedPageCount));
    }
}

// The page loop. Ends at the page count, at the end of the input where a
// page header should begin, or at a page whose body can't be followed (then
// nothing after it can be found, and the pages before it stay intact).
void convertPages(int argc, char **argv)
{
    for (;;) {
        int32_t got = urf::readExact(job.inputFd, urf::headerBytes, urf::kPageHeaderSize);
        if (got == 0) {
            common::message("DEBUG: (calmeric) End of file reached @ page %d\n", static_cast<int>(job.pageNumber + 1));
            return;
        }
        if (got < 0)
            common::die("Unable to read page header");

        // A raster stream has no page marker: a reader takes cupsHeight rows
        // before it looks for the next header. A page cut short by a failed
        // read is therefore completed with white before another one begins.
        if (uint32_t owed = rowsOwed()) {
            if (!completeShortPage()) {
                common::message("ERROR: (calmeric) Unable to complete page %d; the rest of the job is not read\n",
                                static_cast<int>(job.pageNumber));
                return;
            }
            common::message("DEBUG: (calmeric) Page %d completed with %u white rows\n",
                            static_cast<int>(job.pageNumber), owed);
        }

        // Fields a header cut short did not supply keep their earlier bytes.
        job.urfPage = urf::parsePageHeader(urf::headerBytes);
        mapHeader(job.urfPage, job.pageHeader);
        job.pageNumber++;
        logPage(argc, argv);

        // Checked before the header goes out: a page that can't be decoded
        // leaves no header without rows behind it.
        urf::PageLayout layout =
            pageLayout(signedSize(job.urfPage.width), signedSize(job.urfPage.height), job.urfPage.bitsPerPixel);
        if (const char *reason = pageRefusal(layout, job.pageHeader)) {
            common::message("ERROR: (calmeric) Page %d (%u bits a pixel, %ux%u pixels) can't be converted: %s; "
                            "the rest of the job is not read\n",
                            static_cast<int>(job.pageNumber), static_cast<unsigned>(job.urfPage.bitsPerPixel),
                            job.urfPage.width, job.urfPage.height, reason);
            return;
        }
        cupsRasterWriteHeader2(job.rasterOut, &job.pageHeader);

        common::message("DEBUG: (calmeric) Decoding raster image for page %d\n", static_cast<int>(job.pageNumber));
        if (job.pageCount < kCountedInfoLimit)
            common::message("INFO: Rendering page %d of %d\n", static_cast<int>(job.pageNumber),
                            static_cast<int>(job.pageCount));
        else
            common::message("INFO: Rendering page %d\n", static_cast<int>(job.pageNumber));

        int32_t result = decodePage(job.inputFd, layout.width, layout.height, layout.bitsPerPixel);
        common::message("DEBUG: (calmeric) Result of raster decode: %s\n", result == 0 ? "Success" : "Failure");
        if (job.pageNumber >= job.pageCount)
            return;
    }
}

int run(int argc, char **argv)
{
    common::setFilterName("calmeric");
    setbuf(stderr, nullptr);
    job.startTicks = common::startClock();
    common::installStopHandler();

    const char *program = argc > 0 ? argv[0] : "calmeric";
    common::message("DEBUG: (calmeric) Starting operation %d, arg0=%s\n", argc, program);

    // Opened before the command line is looked at. The open writes the
    // stream's sync word, so it fails only when standard output can't take
    // it (or memory is short): then no page could reach the printer, and
    // going on would report an empty job as a success.
    common::enlargeOutputPipe();
    job.rasterOut = cupsRasterOpen(1, CUPS_RASTER_WRITE);
    if (job.rasterOut == nullptr)
        common::die("Unable to open output raster stream");

    if (argc < 6) {
        std::fprintf(stderr, "Usage: %s <job> <user> <job name> <copies> <option> [file]\nVersion 2.0\n", program);
        return 1;
    }
    // Without a PPD the printer makes the copies asked, from every page
    // header: the scheduler leaves them to it.
    job.pageHeader.NumCopies = common::copiesAsked(argc, argv);
    job.inputFd = urf::openInput(argc, argv);
    urf::beginInput(job.inputFd); // the job read in whole chunks

    startInput();
    convertPages(argc, argv);
    // A stop that came during the last page (its failed read reported) leaves
    // no end of job behind: no closing lines, no flush of the output.
    common::exitIfStopped();

    common::message("INFO:\n");
    common::message("DEBUG: (calmeric) Completed processing %d\n", 0);
    cupsRasterClose(job.rasterOut);
    common::finishRun(job.startTicks);
}

} // namespace calmeric
