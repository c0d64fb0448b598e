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
static void (*exitHandler)(int) = nullptr; // replaces exit() in die when set
static void (*beforeExit)() = nullptr;     // runs before every end of the process

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
    runBeforeExit();
    if (exitHandler != nullptr)
        exitHandler(1);
    std::exit(1);
}

void stopNow()
{
    // _Exit, not exit: nothing buffered is flushed, so nothing more of the
    // job reaches the output after the stop.
    runBeforeExit();
    if (exitHandler != nullptr)
        exitHandler(0);
    _Exit(0);
}

} // namespace common
