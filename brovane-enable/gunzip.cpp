// gziptoany for a server that has the scheduler alone: the scheduler puts a
// program of that name in front of a job's filters when the job came gzip-compressed.

#include "brovane-enable/enable.h"

#include "common/filter.h"

#include <cups/file.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace gunzip {

// Bytes handed on at a time: a few pages of the page cache.
constexpr size_t kBlockBytes = 65536;

// Writes all of data to standard output; false on a write error.
static bool writeAll(const char *data, size_t size)
{
    while (size > 0) {
        ssize_t put = write(STDOUT_FILENO, data, size);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        data += put;
        size -= static_cast<size_t>(put);
    }
    return true;
}

// Whether this program's output goes to the device itself, no filter after
// it: then it makes the copies, as the last filter of a job must.
static bool lastFilter()
{
    const char *final = std::getenv("FINAL_CONTENT_TYPE");
    return final == nullptr || (std::strncmp(final, "printer/", 8) == 0 &&
                                std::strcmp(final, enable::kRasterType) != 0);
}

} // namespace gunzip

int main(int argc, char **argv)
{
    using namespace gunzip;
    common::setFilterName("gziptoany");
    common::installStopHandler();
    if (argc < 6 || argc > 7) {
        std::fprintf(stderr, "Usage: %s job-id user title copies options [file]\n", argv[0]);
        return 1;
    }
    // libcups' file calls read a gzip-compressed file and a plain one alike;
    // only a named file can be read again for the next copy.
    cups_file_t *file = argc == 7 ? cupsFileOpen(argv[6], "r") : cupsFileStdin();
    if (file == nullptr)
        common::die("Unable to open the print file");
    uint32_t copies = argc == 7 && lastFilter() ? common::copiesAsked(argc, argv) : 1;
    static char block[kBlockBytes];
    for (uint32_t copy = 0; copy < copies; copy++) {
        if (copy > 0 && cupsFileRewind(file) != 0)
            common::die("Unable to read the print file again");
        ssize_t got;
        while ((got = cupsFileRead(file, block, sizeof block)) > 0) {
            common::exitIfStopped();
            if (!writeAll(block, static_cast<size_t>(got)))
                common::die("Unable to write the print data");
        }
        if (got < 0 && cupsFileEOF(file) == 0)
            common::die("Unable to read the print file");
    }
    cupsFileClose(file);
    return 0;
}
