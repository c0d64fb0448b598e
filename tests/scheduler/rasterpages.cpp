// Reads a CUPS raster stream back with libcups and prints one line a page, so
// the end-to-end test can check what the scheduler's device received.
//
//   rasterpages FILE
//
// Each page: "page N width W height H bitsPerColor B bitsPerPixel P colorSpace C
// bytesPerLine L xResolution X yResolution Y rows R duplex D tumble T copies N", R the
// rows that could be read.
// Exit status 0, or 1 when the file can't be opened.
#include <cups/raster.h>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: rasterpages FILE\n");
        return 1;
    }
    int fd = open(argv[1], O_RDONLY);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    cups_raster_t *raster = cupsRasterOpen(fd, CUPS_RASTER_READ);
    if (!raster) {
        std::fprintf(stderr, "rasterpages: %s is not a raster stream\n", argv[1]);
        close(fd);
        return 1;
    }
    cups_page_header2_t header;
    std::vector<unsigned char> row;
    int page = 0;
    while (cupsRasterReadHeader2(raster, &header)) {
        page++;
        row.resize(header.cupsBytesPerLine ? header.cupsBytesPerLine : 1);
        unsigned rows = 0;
        while (rows < header.cupsHeight && header.cupsBytesPerLine &&
               cupsRasterReadPixels(raster, row.data(), header.cupsBytesPerLine) == header.cupsBytesPerLine)
            rows++;
        std::printf("page %d width %u height %u bitsPerColor %u bitsPerPixel %u colorSpace %d bytesPerLine %u "
                    "xResolution %u yResolution %u rows %u duplex %u tumble %u copies %u\n",
                    page, header.cupsWidth, header.cupsHeight, header.cupsBitsPerColor, header.cupsBitsPerPixel,
                    static_cast<int>(header.cupsColorSpace), header.cupsBytesPerLine, header.HWResolution[0],
                    header.HWResolution[1], rows, header.Duplex, header.Tumble, header.NumCopies);
    }
    cupsRasterClose(raster);
    close(fd);
    return 0;
}
