// The paper a page prints on and the part of it the printer prints: the PPD's size that is the
// page's own, and the page's pixels cut to that size's imageable area, laid out as drivers expect.

#include "brovane/brovane.h"

#include "common/filter.h"
#include "urf/urf.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace brovane {

// A page is on a paper when each side is within this of the paper's, in points: phones render a
// paper at whole pixels of their resolution, and PPDs round some sizes to whole points.
constexpr double kPaperSlack = 2.0;
// Float noise of a PPD value (libcups keeps them in single precision) times a resolution, in pixels:
// a half pixel that is a half in the PPD's decimals must round as a half.
constexpr double kHalfPixelNoise = 1e-3;
// The largest paper side taken as a paper, in points: a 108-inch roll is 7,776. Larger values (or
// none that are numbers) are no paper at all, and keep every product below far inside 64 bits.
constexpr double kMaxPaperPoints = 1e6;

// The paper the job asked for, as the options and the PPD's defaults marked it, kept for the job.
struct PaperState {
    ppd_size_t asked;   // the marked size (a copy: libcups rewrites its custom size in place)
    bool haveAsked;     // the PPD marks a size at all
    bool askedByJob;    // the job's options named it (not only the PPD's default)
    char refusal[192];  // why the last page has no paper, for its ERROR line
};
static PaperState paper; // zeroed at start

// The imageable area of a size, clamped to its sheet: l b r t in points.
struct Area {
    double left, bottom, right, top;
};

static bool isPaper(const ppd_size_t &size)
{
    return size.width > 0.0f && size.length > 0.0f && size.width < kMaxPaperPoints &&
           size.length < kMaxPaperPoints;
}

// The size's imageable area within its sheet. A PPD may give any numbers: an edge outside the sheet,
// or one that is not a number, stands at the sheet's edge.
static Area areaOf(const ppd_size_t &size)
{
    auto within = [](float value, double low, double high, double otherwise) {
        if (!(value == value))
            return otherwise;
        return value < low ? low : value > high ? high : static_cast<double>(value);
    };
    double width = size.width, length = size.length;
    return Area{within(size.left, 0.0, width, 0.0), within(size.bottom, 0.0, length, 0.0),
                within(size.right, 0.0, width, width), within(size.top, 0.0, length, length)};
}

// A borderless size: the printer prints the whole sheet.
static bool isSheet(const ppd_size_t &size)
{
    Area area = areaOf(size);
    return area.left <= 0.0 && area.bottom <= 0.0 && area.right >= size.width && area.top >= size.length;
}

static bool fits(const ppd_size_t &size, double width, double length)
{
    return isPaper(size) && std::fabs(size.width - width) <= kPaperSlack &&
           std::fabs(size.length - length) <= kPaperSlack;
}

void notePaperAsked(ppd_file_t *ppd, int optionCount, cups_option_t *options)
{
    ppd_size_t *marked = ppdPageSize(ppd, nullptr);
    paper.haveAsked = marked != nullptr && isPaper(*marked);
    if (paper.haveAsked)
        paper.asked = *marked;
    paper.askedByJob = cupsGetOption("PageSize", optionCount, options) != nullptr ||
                       cupsGetOption("PageRegion", optionCount, options) != nullptr ||
                       cupsGetOption("media", optionCount, options) != nullptr;
}

// The PPD's size that is a page of width x length points: the bordered one unless the job asked a
// borderless size, then the nearest; the PPD's custom size where none is and the page is in its
// range; null where the printer has no such paper.
static const ppd_size_t *sizeFor(ppd_file_t *ppd, double width, double length)
{
    bool borderless = paper.askedByJob && paper.haveAsked && isSheet(paper.asked);
    const ppd_size_t *best = nullptr;
    double bestScore = 0.0;
    for (int i = 0; i < ppd->num_sizes; i++) {
        const ppd_size_t &size = ppd->sizes[i];
        if (std::strcmp(size.name, "Custom") == 0 || !fits(size, width, length))
            continue;
        double score = std::fabs(size.width - width) + std::fabs(size.length - length) +
                       (isSheet(size) == borderless ? 0.0 : 4.0 * kPaperSlack);
        if (best == nullptr || score < bestScore) {
            best = &size;
            bestScore = score;
        }
    }
    if (best != nullptr || !ppd->variable_sizes)
        return best;
    if (width < ppd->custom_min[0] - kPaperSlack || width > ppd->custom_max[0] + kPaperSlack ||
        length < ppd->custom_min[1] - kPaperSlack || length > ppd->custom_max[1] + kPaperSlack)
        return nullptr;
    char name[64];
    std::snprintf(name, sizeof name, "Custom.%.2fx%.2f", width, length);
    const ppd_size_t *custom = ppdPageSize(ppd, name);
    return custom != nullptr && isPaper(*custom) ? custom : nullptr;
}

// The nearest whole number to a pixel count worked out from PPD values, halves down, as the layout
// drivers are written for has it.
static double nearestPixel(double pixels)
{
    return std::ceil(pixels - 0.5 - kHalfPixelNoise);
}

// The nearest whole point, halves up, as that layout's header gives its edges.
static unsigned nearestPoint(double points)
{
    return static_cast<unsigned>(std::floor(points + 0.5));
}

// The header's paper fields for `size`, its imageable area `area`.
static void describePaper(cups_page_header2_t &header, const ppd_size_t &size, const Area &area)
{
    header.PageSize[0] = nearestPoint(size.width);
    header.PageSize[1] = nearestPoint(size.length);
    header.cupsPageSize[0] = size.width;
    header.cupsPageSize[1] = size.length;
    header.ImagingBoundingBox[0] = nearestPoint(area.left);
    header.ImagingBoundingBox[1] = nearestPoint(area.bottom);
    header.ImagingBoundingBox[2] = nearestPoint(area.right);
    header.ImagingBoundingBox[3] = nearestPoint(area.top);
    header.Margins[0] = header.ImagingBoundingBox[0];
    header.Margins[1] = header.ImagingBoundingBox[1];
    header.cupsImagingBBox[0] = static_cast<float>(area.left);
    header.cupsImagingBBox[1] = static_cast<float>(area.bottom);
    header.cupsImagingBBox[2] = static_cast<float>(area.right);
    header.cupsImagingBBox[3] = static_cast<float>(area.top);
    std::snprintf(header.cupsPageSizeName, sizeof header.cupsPageSizeName, "%s", size.name);
}

const char *layOutPage(const urf::UrfPageHeader &urfPage, uint32_t scale, uint32_t rowScale,
                       cups_page_header2_t &header)
{
    // The whole page, as the phone drew it, unless a paper with margins says otherwise.
    page.skipColumns = 0;
    page.skipRows = 0;
    page.cut = false;
    uint64_t pageWidth = static_cast<uint64_t>(urfPage.width) * scale;
    uint64_t pageHeight = static_cast<uint64_t>(urfPage.height) * rowScale;

    // The page's paper: the job's where the page is that size, else the PPD's that is. A page that
    // gives no resolution gives no size either, and goes on the job's paper; a PPD that names no
    // paper at all has none to choose from.
    if (job.ppd == nullptr || job.ppd->num_sizes == 0)
        return nullptr;
    const ppd_size_t *size = paper.haveAsked ? &paper.asked : nullptr;
    if (urfPage.resolution != 0) {
        double width = urfPage.width * 72.0 / urfPage.resolution;
        double length = urfPage.height * 72.0 / urfPage.resolution;
        if (size == nullptr || !fits(*size, width, length))
            size = sizeFor(job.ppd, width, length);
        if (size == nullptr) {
            bool turned = sizeFor(job.ppd, length, width) != nullptr;
            std::snprintf(paper.refusal, sizeof paper.refusal,
                          "it is %.0f x %.0f pt (%.2f x %.2f in) and the printer has no such paper%s", width,
                          length, width / 72.0, length / 72.0, turned ? " (only the other way round)" : "");
            return paper.refusal;
        }
    }
    if (size == nullptr)
        return nullptr;
    bool changed = size != &paper.asked;
    Area area = areaOf(*size);
    bool sheet = isSheet(*size);
    if (sheet && !changed)
        return nullptr; // the header libcups made for the job's own borderless paper
    describePaper(header, *size, area);
    if (sheet)
        return nullptr;

    // Only the imageable area, its top-left corner the page's origin: the page's pixels at its own
    // resolution (the printer's where the page gives none), from the column and row where the area
    // begins, each count the nearest whole pixel.
    double resolutionX = urfPage.resolution != 0 ? static_cast<double>(urfPage.resolution) * scale
                                                 : static_cast<double>(header.HWResolution[0]);
    double resolutionY = urfPage.resolution != 0 ? static_cast<double>(urfPage.resolution) * rowScale
                                                 : static_cast<double>(header.HWResolution[1]);
    double width = nearestPixel((area.right - area.left) * resolutionX / 72.0);
    double height = nearestPixel((area.top - area.bottom) * resolutionY / 72.0);
    if (!(width >= 1.0 && width <= urf::kMaxLinePixels && height >= 1.0 && height <= urf::kMaxPageRows)) {
        std::snprintf(paper.refusal, sizeof paper.refusal,
                      "the imageable area of %.40s (%.1f %.1f %.1f %.1f pt) is not 1 to 262144 pixels wide and "
                      "1 to 16777216 rows high at %.0f x %.0f dpi",
                      size->name, area.left, area.bottom, area.right, area.top, resolutionX, resolutionY);
        return paper.refusal;
    }
    // Where the area begins, at most the page's own width and height (a page that ends before it
    // gives white), which page setup holds below 2^18 columns and 2^24 rows.
    double skipColumns = nearestPixel(area.left * resolutionX / 72.0);
    double skipRows = nearestPixel((size->length - area.top) * resolutionY / 72.0);
    page.skipColumns = static_cast<uint32_t>(skipColumns < pageWidth ? skipColumns : pageWidth);
    page.skipRows = static_cast<uint32_t>(skipRows < pageHeight ? skipRows : pageHeight);
    page.cut = true;
    header.cupsWidth = static_cast<uint32_t>(width);
    header.cupsHeight = static_cast<uint32_t>(height);
    common::message("DEBUG: (brovane) Paper %.40s: %ux%u pixels of the page's %lux%lu, from column %u and "
                    "row %u (imageable area %.2f %.2f %.2f %.2f pt)\n",
                    size->name, header.cupsWidth, header.cupsHeight, static_cast<unsigned long>(pageWidth),
                    static_cast<unsigned long>(pageHeight), page.skipColumns, page.skipRows, area.left,
                    area.bottom, area.right, area.top);
    return nullptr;
}

} // namespace brovane
