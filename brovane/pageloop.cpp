// The page loop: each page's header read and set up, its log lines, its
// body decoded and written, until the page count or the end of the input.

#include "brovane/brovane.h"

#include "common/filter.h"
#include "urf/urf.h"

#include <cstdlib>
#include <cstring>

namespace brovane {

// The page's log lines, after its setup.
static void logPage(int pageNumber, int argc, char **argv)
{
    const cups_page_header2_t &header = job.pageHeader;
    common::message("DEBUG: (brovane) Page %d :\n", pageNumber);
    const char *ppdPath = std::getenv("PPD");
    common::message("DEBUG: (brovane) PPD : %s\n", ppdPath != nullptr ? ppdPath : "(null)");
    if (pageNumber == 1) {
        for (int i = 1; i < argc; i++)
            common::message("DEBUG: (brovane) ARG %d: %s\n", i, argv[i]);
        common::message("DEBUG: (brovane) Language version/level: %s/%d\n",
                        job.ppd->lang_version != nullptr ? job.ppd->lang_version : "(null)",
                        job.ppd->language_level);
    }
    common::message("DEBUG: (brovane) Bits Per Pixel : %d (Page Header), computed : %d\n", page.urfBitsPerPixel,
                    static_cast<int>(header.cupsBitsPerColor));
    if (!rasterInput)
        common::message("DEBUG: (brovane) Colorspace : org(%d), computed(%d)\n", page.urfColorSpace,
                        page.urfColorSpace);
    common::message("DEBUG: (brovane) Cups Colorspace : %d\n",
                    static_cast<int>(common::fieldBits(header.cupsColorSpace)));
    if (rasterInput) {
        common::message("DEBUG: (brovane) Duplex Mode : %d\n", static_cast<int>(common::fieldBits(header.Duplex)));
        common::message("DEBUG: (brovane) Media Type : %.64s\n", header.MediaType);
        common::message("DEBUG: (brovane) Bits per Color: %d\n", static_cast<int>(header.cupsBitsPerColor));
        common::message("DEBUG: (brovane) Bits per Pixel: %d\n", static_cast<int>(header.cupsBitsPerPixel));
        common::message("DEBUG: (brovane) Page size: %d x %d\n", static_cast<int>(header.PageSize[0]),
                        static_cast<int>(header.PageSize[1]));
    } else {
        common::message("DEBUG: (brovane) Duplex Mode : %d\n", page.urfDuplex);
        common::message("DEBUG: (brovane) Quality : %d\n", page.urfQuality);
        common::message("DEBUG: (brovane) Size : %dx%d pixels\n", static_cast<int>(page.urfWidth),
                        static_cast<int>(page.urfHeight));
        common::message("DEBUG: (brovane) Dots per Inches : %d\n", static_cast<int>(page.urfResolution));
    }
    common::message("DEBUG: (brovane) Color device: %d\n", job.colorDevice);
    common::message("DEBUG: (brovane) Device resolution: %d x %d\n", static_cast<int>(job.deviceResolution[0]),
                    static_cast<int>(job.deviceResolution[1]));
    common::message("DEBUG: (brovane) Scaling: %d\n", page.scale);
    if (page.rowScale != page.scale)
        common::message("DEBUG: (brovane) Scaling down the page: %d\n", page.rowScale);
    common::message("DEBUG: (brovane) Compression: %d\n", static_cast<int>(header.cupsCompression));
    common::message("DEBUG: (brovane) B/W only Printer: %d\n", job.monochrome);
}

// Reads the next URF page header and sets the page up. False at the end of
// the job: the input ended where a header should begin, or the page can't
// be converted (its body can't be followed, so nothing after it can be read).
static bool readUrfPage(int pageNumber)
{
    common::message("DEBUG: (brovane) Reading page header %d\n", static_cast<int>(urf::kPageHeaderSize));
    int32_t got = urf::readExact(job.inputFd, urf::headerBytes, urf::kPageHeaderSize);
    if (got == 0) {
        common::message("DEBUG: (brovane) End of file reached @ page %d\n", pageNumber);
        return false;
    }
    common::message("DEBUG: (brovane) .. Bytes read %d\n", got);
    if (got < 0)
        common::die("Unable to read page header");

    if (const char *reason = setupPage()) {
        common::message("ERROR: (brovane) Page %d (%u bits a pixel, colour space %u, %ux%u pixels) can't be "
                        "converted: %s; the rest of the job is not read\n",
                        pageNumber, page.urfBitsPerPixel, page.urfColorSpace, page.urfWidth, page.urfHeight, reason);
        return false;
    }
    return true;
}

void startInput(const char *user, const char *title)
{
    if (rasterInput) {
        openRasterInput();
        job.pageCount = 0;
    } else {
        common::message("DEBUG: (brovane) Reading header file %d\n", static_cast<int>(urf::kFileHeaderSize));
        job.pageCount = urf::readFileHeader(job.inputFd);
    }
    if (psOutput)
        writeDocumentHeader(user, title);
    if (job.pageCount == 0) {
        job.pageCount = urf::kUnstatedPageCount;
        common::message("DEBUG: (brovane) Page count of zero, resetting to %d\n",
                        static_cast<int>(urf::kUnstatedPageCount));
    }
}

// The page loop. Ends at the page count, at the end of the input where a
// page header should begin, or at a page that can't be converted (its body
// can't be followed, so nothing after it can be read).
uint32_t convertPages(int argc, char **argv)
{
    int pageNumber = 1;
    uint32_t pageIndex = 0;
    for (; pageIndex < job.pageCount; pageIndex++, pageNumber++) {
        if (!(rasterInput ? readRasterPage(pageNumber) : readUrfPage(pageNumber)))
            return pageIndex;
        logPage(pageNumber, argc, argv);
        common::message("DEBUG: (brovane) Decoding raster image for page %d\n", pageNumber);
        if (job.pageCount < 1000)
            common::message("INFO: Rendering page %d of %d\n", pageNumber, static_cast<int>(job.pageCount));
        else
            common::message("INFO: Rendering page %d\n", pageNumber);
        if (psOutput)
            writePageComment(pageNumber, job.pageCount);

        int32_t result;
        if (rowsAsRead)
            result = decodePage(job.inputFd, static_cast<int32_t>(job.pageHeader.cupsWidth),
                                static_cast<int32_t>(job.pageHeader.cupsHeight),
                                static_cast<int32_t>(job.pageHeader.cupsBitsPerPixel));
        else
            result = decodePage(job.inputFd, static_cast<int32_t>(page.urfWidth), static_cast<int32_t>(page.urfHeight),
                                page.urfBitsPerPixel);
        common::message("DEBUG: (brovane) Result of raster decode %d\n", result);
        if (psOutput)
            writePageEnd();
    }
    return pageIndex;
}

} // namespace brovane
