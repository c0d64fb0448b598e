// Differential test: URF from two independent writers (Ghostscript's urf device
// and libcups' URF writer); calmeric's rows must equal libcups' URF reader's.

#include "support.h"

#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <random>
#include <unistd.h>

using testsupport::Bytes;

namespace {

// Runs calmeric on the URF file and compares every page with what libcups
// reads from the same file: the same rows, and headers mapped from its sizes.
void expectSameAsLibcups(const std::string &urfPath, size_t minPages)
{
    std::vector<testsupport::RasterPage> want = testsupport::readRasterFile(urfPath);
    ASSERT_GE(want.size(), minPages) << urfPath;
    std::vector<std::string> args = {"1", "user", "title", "1", "", urfPath};
    testsupport::RunResult r = testsupport::runFilter(testsupport::programPath("calmeric"), args, {});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("Failure"), std::string::npos) << r.err;
    std::vector<testsupport::RasterPage> got = testsupport::readRaster(r.out);
    ASSERT_EQ(got.size(), want.size());
    for (size_t k = 0; k < got.size(); k++) {
        const cups_page_header2_t &g = got[k].header, &w = want[k].header;
        unsigned pixelBytes = w.cupsBitsPerPixel / 8;
        EXPECT_EQ(g.cupsWidth, w.cupsWidth);
        EXPECT_EQ(g.cupsHeight, w.cupsHeight);
        EXPECT_EQ(g.cupsBitsPerPixel, w.cupsBitsPerPixel);
        EXPECT_EQ(g.cupsBitsPerColor, 8u);
        EXPECT_EQ(g.cupsNumColors, pixelBytes);
        EXPECT_EQ(g.cupsColorSpace, pixelBytes == 1 ? CUPS_CSPACE_W : CUPS_CSPACE_RGB);
        EXPECT_EQ(g.cupsBytesPerLine, w.cupsWidth * pixelBytes);
        EXPECT_EQ(g.HWResolution[0], w.HWResolution[0]);
        EXPECT_EQ(g.HWResolution[1], w.HWResolution[0]);
        EXPECT_EQ(g.NumCopies, 1u);
        EXPECT_EQ(got[k].rows.size(), w.cupsHeight) << "page " << k + 1;
        EXPECT_TRUE(got[k].rows == want[k].rows) << "page " << k + 1 << " of " << urfPath;
    }
}

TEST(CalmericDiff, GhostscriptUrf)
{
    if (!testsupport::haveProgram("gs"))
        GTEST_SKIP() << "gs is not installed";
    std::string ps = "%!PS\n<< /PageSize [144 72] >> setpagedevice\n"
                     "0 1 9 { dup 10 div setgray 14 mul 2 14 68 rectfill } for showpage\n"
                     "1 0 0 setrgbcolor 10 10 50 40 rectfill 0 0.5 1 setrgbcolor 90 36 30 0 360 arc fill\n"
                     "0 setgray /Helvetica findfont 20 scalefont setfont 20 50 moveto (URF 2) show showpage\n"
                     "0.2 0.8 0.4 setrgbcolor 0 0 moveto 144 72 lineto 3 setlinewidth stroke showpage\n";
    std::string psPath = testsupport::writeTempFile(Bytes(ps.begin(), ps.end()), ".ps");
    const struct {
        int colorSpace, dpi;
    } runs[] = {{18, 72}, {19, 100}};
    for (auto run : runs) {
        std::string urfPath = testsupport::tempDir() + "/gs" + std::to_string(run.colorSpace) + ".urf";
        std::string command =
            "gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=urf -dcupsColorSpace=" + std::to_string(run.colorSpace) +
            " -dcupsBitsPerColor=8 -r" + std::to_string(run.dpi) + " -sOutputFile=" + urfPath + " " + psPath +
            " >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        expectSameAsLibcups(urfPath, 3);
        unlink(urfPath.c_str());
    }
    unlink(psPath.c_str());
}

// Pixels with flat runs, noise and repeated lines, so that the writer uses
// every kind of code.
Bytes mixedPixels(uint32_t width, uint32_t height, uint32_t pixelBytes, unsigned seed)
{
    std::mt19937 random(seed);
    Bytes pixels(static_cast<size_t>(width) * height * pixelBytes);
    size_t lineBytes = static_cast<size_t>(width) * pixelBytes;
    for (uint32_t y = 0; y < height; y++) {
        uint8_t *line = pixels.data() + y * lineBytes;
        if (y % 4 == 3) {
            std::memcpy(line, line - lineBytes, lineBytes);
            continue;
        }
        for (size_t i = 0; i < lineBytes; i++)
            line[i] = i / pixelBytes % 13 < 6 ? static_cast<uint8_t>(y * 9) : static_cast<uint8_t>(random());
    }
    return pixels;
}

TEST(CalmericDiff, LibcupsUrfWriter)
{
    const struct {
        uint32_t bits;
        cups_cspace_t space;
    } depths[] = {{8, CUPS_CSPACE_SW}, {24, CUPS_CSPACE_SRGB}};
    const uint32_t sizes[][2] = {{37, 20}, {300, 9}, {5, 3}};
    for (auto depth : depths) {
        std::string urfPath = testsupport::writeTempFile({}, ".urf");
        int fd = open(urfPath.c_str(), O_WRONLY | O_TRUNC);
        cups_raster_t *raster = cupsRasterOpen(fd, CUPS_RASTER_WRITE_APPLE);
        ASSERT_NE(raster, nullptr);
        unsigned seed = 1;
        for (auto size : sizes) {
            cups_page_header2_t h;
            std::memset(&h, 0, sizeof h);
            h.cupsWidth = size[0];
            h.cupsHeight = size[1];
            h.cupsBitsPerColor = 8;
            h.cupsBitsPerPixel = depth.bits;
            h.cupsBytesPerLine = size[0] * depth.bits / 8;
            h.cupsColorSpace = depth.space;
            h.cupsNumColors = depth.bits / 8;
            h.HWResolution[0] = h.HWResolution[1] = 150;
            h.cupsInteger[CUPS_RASTER_PWG_TotalPageCount] = 3;
            ASSERT_TRUE(cupsRasterWriteHeader2(raster, &h));
            Bytes pixels = mixedPixels(size[0], size[1], depth.bits / 8, seed++);
            cupsRasterWritePixels(raster, pixels.data(), static_cast<unsigned>(pixels.size()));
        }
        cupsRasterClose(raster);
        close(fd);
        expectSameAsLibcups(urfPath, 3);
        unlink(urfPath.c_str());
    }
}

} // namespace
