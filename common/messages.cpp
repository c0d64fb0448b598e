// Scheduler message lines on standard error, the fatal-error exit and the
// quiet exit on a stop. Every line carries the filter's own name after its prefix.

#include "common/filter.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace common {

static const char *programTag = "filter"; // name shown in "(...)" of each line
static void (*exitHandler)(int) = nullptr;  // replaces exit() in die when set
static void (*beforeExit)() = nullptr;      // runs before every end of the process
static void (*flushBeforeExit)() = nullptr; // writes held-back output, before beforeExit

void setFilterName(const char *name)
{
    programTag = name;
}

const char *filterName()
{
    return programTag;
}

void setExitHandler(void (*handler)(int status))
{
    exitHandler = handler;
}

void setBeforeExit(void (*hook)())
{
    beforeExit = hook;
}

void runBeforeExit()
{
    if (beforeExit != nullptr)
        beforeExit();
}

void setFlushBeforeExit(void (*hook)())
{
    flushBeforeExit = hook;
}

void runFlushBeforeExit()
{
    if (flushBeforeExit != nullptr)
        flushBeforeExit();
}

void message(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

void die(const char *text)
{
    // errno is taken before anything else can change it.
    int error = errno;
    std::fprintf(stderr, "CRIT: (%s) die(%s) [%s]\n", programTag, text, std::strerror(error));
    runFlushBeforeExit();
    runBeforeExit();
    if (exitHandler != nullptr)
        exitHandler(1);
    std::exit(1);
}

void stopNow()
{
    // Rows made before the stop are written (the output hook), as they
    // would have been had each gone out when made; then _Exit, not exit:
    // nothing stdio holds is flushed, so nothing more of the job reaches the
    // output after the stop. Runs in ordinary code at a poll of the flag,
    // never in the handler, so the hooks may write and seek.
    runFlushBeforeExit();
    runBeforeExit();
    if (exitHandler != nullptr)
        exitHandler(0);
    _Exit(0);
}

} // namespace common
