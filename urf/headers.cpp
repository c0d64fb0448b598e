// URF file and page headers: big-endian fields assembled from bytes (nothing
// in the stream is aligned) and the file-header check at the start of a job.

#include "urf/urf.h"

#include "common/filter.h"

#include <cstring>

namespace urf {

uint8_t headerBytes[kPageHeaderSize]; // last page header read, never cleared

uint32_t readBigEndian32(const uint8_t *bytes)
{
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | static_cast<uint32_t>(bytes[3]);
}

UrfPageHeader parsePageHeader(const uint8_t *bytes)
{
    UrfPageHeader page;
    page.bitsPerPixel = bytes[0];
    page.colorSpace = bytes[1];
    page.duplex = bytes[2];
    page.quality = bytes[3];
    page.width = readBigEndian32(bytes + 12);
    page.height = readBigEndian32(bytes + 16);
    page.resolution = readBigEndian32(bytes + 20);
    return page;
}

bool sidesFor(uint8_t duplex, bool &twoSided, bool &tumble)
{
    // Drivers read the CUPS header's Duplex as yes or no, so the code is
    // translated, never copied: a one-sided job (1) copied as is would print
    // on both sides.
    switch (duplex) {
    case 1:
        twoSided = false;
        tumble = false;
        return true;
    case 2:
        twoSided = true;
        tumble = true;
        return true;
    case 3:
        twoSided = true;
        tumble = false;
        return true;
    default:
        return false;
    }
}

uint32_t readFileHeader(int fd)
{
    // Cleared first: bytes a short stream does not supply read as zero, so
    // fewer than 7 bytes fail the magic test.
    uint8_t bytes[kFileHeaderSize];
    std::memset(bytes, 0, sizeof bytes);
    if (readExact(fd, bytes, kFileHeaderSize) == -1)
        common::die("Unable to read file header");

    UrfFileHeader header;
    std::memcpy(header.magic, bytes, 8);
    header.magic[7] = '\0';
    header.pageCount = readBigEndian32(bytes + 8);
    if (std::strncmp(header.magic, "UNIRAST", 7) != 0)
        common::die("Bad File Header");

    common::message("DEBUG: (%s) %s file, with %d page(s).\n", common::filterName(), header.magic,
                    static_cast<int>(header.pageCount));
    return header.pageCount;
}

} // namespace urf
