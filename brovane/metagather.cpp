// The meta gather: header values that a PPD's option code carries as
// "/cupsXxx <number>" pairs, found by substring search.

#include "brovane/brovane.h"

#include <cctype>
#include <cfloat>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace brovane {

// Where the number of `key` starts in `code`: one character past the key
// (normally a blank, skipped unseen). Null when the key is absent; an empty
// string when the key ends the text. The key's last whole occurrence counts
// (the key and then no letter or digit): the code is applied in order, so a
// later option's value replaces an earlier one's, as in the page header the
// PPD's interpreter made (a label printer's Label Top after its Resolution's
// row step). A key that never stands whole counts where it first stands as
// part of a longer one ("/cupsInteger1" in "/cupsInteger10 7").
static const char *numberAfter(const char *code, const char *key)
{
    size_t length = std::strlen(key);
    const char *first = std::strstr(code, key), *whole = nullptr;
    for (const char *at = first; at != nullptr; at = std::strstr(at + 1, key))
        if (!std::isalnum(static_cast<unsigned char>(at[length])))
            whole = at;
    const char *found = whole != nullptr ? whole : first;
    if (found == nullptr)
        return nullptr;
    const char *end = found + length;
    return *end == '\0' ? end : end + 1;
}

// Decimal integer, 0 when no digits. Out-of-range values saturate to the
// 32-bit range, the same on every platform (long is 32 bits on armhf).
static int32_t parseInteger(const char *text)
{
    long long value = std::strtoll(text, nullptr, 10);
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

// Decimal real in single precision, 0 when no digits; values beyond the
// single-precision range saturate, and a NaN reads as 0.
static float parseReal(const char *text)
{
    double value = std::strtod(text, nullptr);
    if (!(value == value))
        return 0.0f;
    if (value > FLT_MAX)
        return FLT_MAX;
    if (value < -FLT_MAX)
        return -FLT_MAX;
    return static_cast<float>(value);
}

// Stores the integer of `key` into `field` when the key occurs.
template <typename Field> static void gatherInteger(const char *code, const char *key, Field &field)
{
    if (const char *number = numberAfter(code, key))
        field = static_cast<Field>(parseInteger(number));
}

void gatherMeta(const char *code, cups_page_header2_t &header)
{
    gatherInteger(code, "/cupsMediaType", header.cupsMediaType);
    gatherInteger(code, "/cupsBitsPerColor", header.cupsBitsPerColor);
    gatherInteger(code, "/cupsBitsPerPixel", header.cupsBitsPerPixel);
    // A colour space outside the enumeration (0 to 63) would not be one;
    // such a value leaves the PPD's own.
    if (const char *number = numberAfter(code, "/cupsColorSpace")) {
        int32_t space = parseInteger(number);
        if (space >= 0 && space <= 63)
            header.cupsColorSpace = static_cast<cups_cspace_t>(space);
    }
    gatherInteger(code, "/cupsRowCount", header.cupsRowCount);
    gatherInteger(code, "/cupsRowFeed", header.cupsRowFeed);
    gatherInteger(code, "/cupsRowStep", header.cupsRowStep);
    gatherInteger(code, "/cupsCompression", header.cupsCompression);

    // One loop: the integer key of i, then the real key of i. "/cupsInteger1"
    // also matches "/cupsInteger10" when no key of its own comes first.
    char key[32];
    for (int i = 0; i < 16; i++) {
        std::snprintf(key, sizeof key, "/cupsInteger%d", i);
        gatherInteger(code, key, header.cupsInteger[i]);
        std::snprintf(key, sizeof key, "/cupsReal%d", i);
        if (const char *number = numberAfter(code, key))
            header.cupsReal[i] = parseReal(number);
    }
}

} // namespace brovane
