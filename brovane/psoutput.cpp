// PostScript output: a DSC document with one RunLength-coded, hexadecimal
// colorimage per page, written row by row as the page is decoded.

#include "brovane/brovane.h"

#include "common/filter.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace brovane {

// Two lowercase hexadecimal digits and a NUL for every byte value.
struct HexTable {
    char digits[256][3];
};
static constexpr HexTable makeHexDigits()
{
    HexTable table{};
    const char *hex = "0123456789abcdef";
    for (int i = 0; i < 256; i++) {
        table.digits[i][0] = hex[i >> 4];
        table.digits[i][1] = hex[i & 15];
        table.digits[i][2] = '\0';
    }
    return table;
}
static constexpr HexTable hexDigits = makeHexDigits();

// Per-row buffers, kept for the job and grown for longer rows.
struct PostScriptState {
    uint8_t *runBuffer;     // PackBits code of the current row
    size_t runCapacity;     // bytes allocated for runBuffer
    char *hexLine;          // its hexadecimal text, NUL-terminated
    size_t hexCapacity;     // bytes allocated for hexLine
};
static PostScriptState ps; // zeroed at start

std::string escapeText(const char *text)
{
    std::string out;
    for (const char *c = text; c != nullptr && *c != '\0'; c++) {
        unsigned char byte = static_cast<unsigned char>(*c);
        if (byte == '(' || byte == ')' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (byte < 0x20 || byte == 0x7F) {
            char octal[5];
            std::snprintf(octal, sizeof octal, "\\%03o", byte);
            out += octal;
        } else {
            out += static_cast<char>(byte);
        }
    }
    return out;
}

void writeDocumentHeader(const char *user, const char *title)
{
    // Title and user come from whoever sent the job: escaped, so a newline
    // or a parenthesis in them can't end the comment or start a program line.
    const cups_page_header2_t &header = job.pageHeader;
    std::string safeTitle = escapeText(title);
    std::string safeUser = escapeText(user);
    std::printf("%%!PS-Adobe-3.0\n%%%%BoundingBox: %d %d %d %d\n%%%%cupsRotation: %d\n%%%%Creator: ostrick/Quorvel "
                "Vexo\n%%%%CreationDate: %s\n%%%%Title: (%s)\n%%%%For: (%s)\n%%%%Pages: (atend)\n",
                static_cast<int>(header.ImagingBoundingBox[0]), static_cast<int>(header.ImagingBoundingBox[1]),
                static_cast<int>(header.ImagingBoundingBox[2]), static_cast<int>(header.ImagingBoundingBox[3]),
                static_cast<int>(common::fieldBits(header.Orientation)), "N/A", safeTitle.c_str(), safeUser.c_str());
    std::printf("%%%%EndComments\n%%%%BeginProlog\n%%%%EndProlog\n");
}

void writePageComment(int pageNumber, uint32_t pageCount)
{
    std::printf("%%%%Page: %d %d\n", pageNumber, static_cast<int>(pageCount));
}

void writeImageHeader(int32_t width, int32_t height)
{
    const cups_page_header2_t &header = job.pageHeader;
    std::printf("/picstr %d string def\n/f currentfile %s /RunLengthDecode filter def\n0 0 translate\n%d %d "
                "scale\n%d %d %d\n[%d %d %d %d %d %d]\n{ %s picstr %s pop }\nfalse %d\ncolorimage\n",
                static_cast<int>(header.cupsBytesPerLine), "/ASCIIHexDecode filter",
                static_cast<int>(header.PageSize[0]), static_cast<int>(header.PageSize[1]), width, height,
                static_cast<int>(header.cupsBitsPerColor), width, 0, 0, -height, 0, height, "f", "readstring",
                static_cast<int>(header.cupsNumColors));
}

uint32_t packBits(const uint8_t *source, int32_t n, uint8_t *destination)
{
    if (n <= 0)
        return 0;
    uint32_t length = static_cast<uint32_t>(n);
    uint32_t p = 0;
    uint8_t *out = destination;

    // Invariant: p < length at the top; each step codes 1 to 128 bytes and
    // looks at no byte past p + min(length - p, 128).
    while (p < length) {
        uint32_t limit = length - p < 128 ? length - p : 128;
        const uint8_t *s = source + p;
        if (limit >= 3 && s[0] == s[1] && s[1] == s[2]) {
            // Repeat run of 3 to 128 equal bytes.
            uint32_t k = 3;
            while (k < limit && s[k] == s[0])
                k++;
            *out++ = static_cast<uint8_t>(257 - k);
            *out++ = s[0];
            p += k;
            continue;
        }
        // Literal run up to the next three equal bytes inside the window.
        uint32_t k = 1;
        while (k < limit && !(k + 2 < limit && s[k] == s[k + 1] && s[k + 1] == s[k + 2]))
            k++;
        *out++ = static_cast<uint8_t>(k - 1);
        std::memcpy(out, s, k);
        out += k;
        p += k;
    }
    return static_cast<uint32_t>(out - destination);
}

// Grows the run buffer and hex line for rows of `bytes` bytes. A row is at
// most 2 MiB (the line limits), so these sizes cannot overflow.
static bool reserveRow(uint32_t bytes)
{
    size_t runBytes = static_cast<size_t>(bytes) + (bytes + 127) / 128;
    size_t hexBytes = 2 * runBytes + 1;
    return common::growBuffer(ps.runBuffer, ps.runCapacity, runBytes) &&
           common::growBuffer(ps.hexLine, ps.hexCapacity, hexBytes);
}

bool writeRowSamples(const uint8_t *row, uint32_t bytes)
{
    if (!reserveRow(bytes)) {
        common::message("ERROR: (brovane) Unable to allocate PostScript row buffers for %u bytes\n", bytes);
        return false;
    }
    uint32_t coded = packBits(row, static_cast<int32_t>(bytes), ps.runBuffer);
    char *hex = ps.hexLine;
    for (uint32_t i = 0; i < coded; i++, hex += 2)
        std::memcpy(hex, hexDigits.digits[ps.runBuffer[i]], 2);
    *hex = '\0';
    std::puts(ps.hexLine);
    return true;
}

void writeRowCopy()
{
    if (ps.hexLine != nullptr)
        std::fputs(ps.hexLine, stdout);
}

void writeImageEnd()
{
    std::puts("80\n>");
    std::putchar('\n');
}

void writePageEnd()
{
    std::puts("showpage\n");
}

void writeTrailer()
{
    std::puts("%%EOF");
}

} // namespace brovane
