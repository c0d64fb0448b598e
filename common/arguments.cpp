// The scheduler's filter command line as brovane and calmeric read it: the
// copies a job asks for, from the fourth argument.

#include "common/filter.h"

#include <cerrno>
#include <cstdlib>

namespace common {

uint32_t copiesAsked(int argc, char **argv)
{
    if (argc <= 4 || argv[4] == nullptr)
        return 1;
    // errno is what a later fatal message reports: left as it was found.
    int found = errno;
    char *end = nullptr;
    errno = 0;
    long copies = std::strtol(argv[4], &end, 10);
    bool valid = errno == 0 && end != argv[4] && *end == '\0' && copies >= 1 && copies <= kMaxCopies;
    errno = found;
    return valid ? static_cast<uint32_t>(copies) : 1;
}

} // namespace common
