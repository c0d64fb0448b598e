// Runs one benchmark case a number of times and prints what each run cost:
// CPU time, wall time and peak memory of the program, from wait4's rusage.
//
// runner [-i input] [-p] [-o output | -P ROWBYTES | -Q] [-e NAME=VALUE]... [-n runs] [-w warm-ups] -- program args...
//   -i  file the program reads as standard input (default /dev/null)
//   -p  standard input through a pipe instead, as a filter further down a
//       chain is fed: a feeder child keeps the pipe filled from the file
//   -o  file its standard output goes to (default /dev/null)
//   -P  standard output into a pipe instead, as the scheduler hands a
//       filter's output to the printer's driver: a pipe of the system's
//       default size, emptied by a drain that reads as libcups' raster reader
//       in the driver does (the 4-byte sync word, the 1796-byte page header,
//       then one read of ROWBYTES, the page's cupsBytesPerLine, a row)
//   -Q  standard output into a pipe enlarged to 1 MiB, emptied 64 KiB a read
//       (what no scheduler sets up; kept to compare with earlier reports)
//   -e  environment variable added for the program
//   -n  measured runs (default 5), -w unmeasured runs first (default 1)
// One line per measured run:
//   "run user_s sys_s wall_s maxrss_kib status feeder_cpu_s waits drain_cpu_s faults"
// where only the program's own times count (wait4 of the program alone), the
// wall time runs from the program's start to its exit, feeder_cpu_s and
// drain_cpu_s are the feeder's and the drain's user + system time (0 without
// -p, -P), waits the program's voluntary context switches (how often it
// slept, on an empty input pipe or a full output pipe above all) and faults
// its page faults (ru_minflt + ru_majflt).
// The runner stays small (no allocation beyond the argument lists) so that
// the memory a child inherits before exec is far below what it measures.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace runner {

constexpr int kMaxEnv = 16;                  // -e options kept
constexpr int kPipeBytes = 1 << 20;          // pipe capacity asked for (Linux's default limit)
constexpr long kPauseNs = 40000;             // feeder's pause while the pipe is over half full
constexpr size_t kCopyBytes = 64u * 1024u;   // feeder's buffer where splice is refused
constexpr size_t kDrainBytes = 64u * 1024u;  // enlarged pipe's drain: read size
constexpr size_t kSyncBytes = 4;             // raster stream's sync word, read alone by libcups
constexpr size_t kHeaderBytes = 1796;        // a page header (cups_page_header2_t), read alone
constexpr size_t kMaxRowBytes = 2u << 20;    // longest row the drain takes (the filters' limit)

// What the command line asked for.
struct Options {
    const char *input;         // standard input of the program
    const char *output;        // standard output of the program
    bool inputPipe;            // input fed through a pipe instead of the file itself
    bool outputPipe;           // output into a pipe emptied by a drain instead of the file
    bool enlargedPipe;         // that pipe enlarged and drained 64 KiB a read (-Q)
    size_t rowBytes;           // otherwise the drain's read size after the header (-P)
    const char *env[kMaxEnv];  // NAME=VALUE added to the environment
    int envCount;              // entries of env in use
    int runs;                  // measured runs
    int warmups;               // unmeasured runs before them
    char **program;            // program and its arguments, null-terminated
};

// One finished run.
struct Result {
    double userSeconds;   // ru_utime of the program
    double systemSeconds; // ru_stime of the program
    double wallSeconds;   // start of the program to its exit
    long maxRssKib;       // ru_maxrss: peak resident set
    int status;           // exit status, or 128 + signal
    double feederSeconds; // user + system time of the feeder (0 without one)
    long waits;           // ru_nvcsw of the program
    double drainSeconds;  // user + system time of the drain (0 without one)
    long faults;          // ru_minflt + ru_majflt of the program
};

// The feeder's and the drain's buffers, used only in those children
// (untouched, so not resident, in the runner and in the measured program).
struct Feeder {
    char buffer[kCopyBytes];
};
struct Drain {
    char buffer[kMaxRowBytes];
};

static Feeder feeder;
static Drain drain;

static double seconds(const timeval &t)
{
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

static double now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

[[noreturn]] static void fail(const char *what)
{
    std::fprintf(stderr, "runner: %s: %s\n", what, std::strerror(errno));
    std::exit(2);
}

// In the child: descriptor `fd` opened on `path` (flags as for open), or exit.
static void redirect(int fd, const char *path, int flags)
{
    int opened = open(path, flags, 0644);
    if (opened < 0 || dup2(opened, fd) < 0)
        _exit(126);
    close(opened);
}

// In the feeder child: writes all of `in` to `out`, whole buffers at a time.
// Returns false on a write error (the program closed the pipe early).
static bool copyAll(int in, int out)
{
    // Invariant: 0 < got <= kCopyBytes bytes of feeder.buffer are valid;
    // `done` < got counts those already written.
    for (;;) {
        ssize_t got = read(in, feeder.buffer, kCopyBytes);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got == 0;
        for (ssize_t done = 0; done < got;) {
            ssize_t put = write(out, feeder.buffer + done, static_cast<size_t>(got - done));
            if (put < 0 && errno == EINTR)
                continue;
            if (put <= 0)
                return false;
            done += put;
        }
    }
}

// Starts the feeder: a child that keeps the pipe topped up from the input
// file and exits at its end (or is ended when the program exits first).
// Returns its process id.
//
// The feeder must neither starve the program nor cost it anything: a program
// that finds the pipe empty sleeps and reads less at a time, and a writer
// that blocks on a full pipe is woken by every read that makes room, which
// the reader pays for. So the pipe is made large (kPipeBytes), and the
// feeder never waits in it: it sleeps a short pause at a time and, once half
// the pipe has been read, moves as much of the file's page cache as there is
// room for into it with one non-blocking splice (no copy). The pause is
// short enough that the fastest reader (a few GB/s) has not emptied half a
// MiB when it ends; longer pauses, tried adapted to the reader's pace, let
// the pipe run dry more often under load. The program's reads then find data
// and wake nobody; its waits (ru_nvcsw) show how often it found the pipe
// empty. Files that splice refuses go through read and write.
static pid_t startFeeder(const Options &options, int pipeIn, int pipeOut)
{
    pid_t pid = fork();
    if (pid < 0)
        fail("fork");
    if (pid != 0)
        return pid;
    close(pipeIn);
    // A program that stops reading early ends the feeder with EPIPE, not a signal.
    signal(SIGPIPE, SIG_IGN);
    int in = open(options.input, O_RDONLY);
    if (in < 0)
        _exit(126);
    int capacity = fcntl(pipeOut, F_SETPIPE_SZ, kPipeBytes);
    if (capacity <= 0)
        capacity = fcntl(pipeOut, F_GETPIPE_SZ);
    if (capacity <= 0)
        _exit(1);
    // Invariant: 0 <= queued <= capacity bytes sit in the pipe (one page at
    // most a slot); each splice asks for at most the room left, so it never
    // blocks. A full pipe (EAGAIN) is waited out like a half-full one.
    const timespec pause = {0, kPauseNs};
    for (;;) {
        int queued = 0;
        if (ioctl(pipeOut, FIONREAD, &queued) != 0)
            _exit(1);
        int room = capacity - queued;
        if (room < capacity / 2) {
            nanosleep(&pause, nullptr);
            continue;
        }
        ssize_t moved = splice(in, nullptr, pipeOut, nullptr, static_cast<size_t>(room), SPLICE_F_NONBLOCK);
        if (moved > 0)
            continue;
        if (moved == 0)
            _exit(0);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN) {
            nanosleep(&pause, nullptr);
            continue;
        }
        if (errno == EINVAL || errno == ENOSYS)
            break;
        _exit(1);
    }
    _exit(copyAll(in, pipeOut) ? 0 : 1);
}

// Starts the drain: a child that empties the program's output pipe with
// blocking reads and drops the bytes, as the next program of a chain reads
// them, until the program closes its end. Returns its process id.
//
// By default the drain reads as a driver's libcups raster reader does on an
// uncompressed stream (strace of rastertolabel and of cupsRasterReadPixels
// on brovane's output): the sync word, the page header, then exactly one row
// a read(), each read waiting until the row is all there. The pipe keeps the
// size the system gives (64 KiB on Linux).
//
// With -Q the pipe is enlarged to 1 MiB before the program starts and the
// drain reads 64 KiB at a time, the least a writer can pay on a quiet
// machine: what earlier reports measured as "into a pipe".
static pid_t startDrain(int pipeIn, const Options &options)
{
    pid_t pid = fork();
    if (pid < 0)
        fail("fork");
    if (pid != 0)
        return pid;
    // Nothing else of the runner's, the output pipe's write end included:
    // the drain sees the end of the output when the program exits, and the
    // input pipe's read end stays with the program alone.
    for (int fd = 3; fd < 64; fd++)
        if (fd != pipeIn)
            close(fd);
    size_t sizes[2] = {kSyncBytes, kHeaderBytes};
    size_t next = 0;
    // Invariant: `want` is the read size of this step, at most kMaxRowBytes;
    // a short read is completed before the next step, as libcups does.
    for (;;) {
        size_t want = options.enlargedPipe ? kDrainBytes : next < 2 ? sizes[next] : options.rowBytes;
        for (size_t have = 0; have < want;) {
            ssize_t got = read(pipeIn, drain.buffer + have, want - have);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                _exit(got == 0 ? 0 : 1);
            have += static_cast<size_t>(got);
            if (options.enlargedPipe)
                break;
        }
        next++;
    }
}

// Starts `argv` with standard input from `inFd` (-1: open the input file
// instead) and standard output into `outFd` (-1: the output file). Returns
// its process id.
static pid_t start(const Options &options, char **argv, int inFd, int outFd)
{
    pid_t pid = fork();
    if (pid < 0)
        fail("fork");
    if (pid != 0)
        return pid;
    if (inFd >= 0)
        dup2(inFd, 0);
    else
        redirect(0, options.input, O_RDONLY);
    if (outFd >= 0)
        dup2(outFd, 1);
    else
        redirect(1, options.output, O_WRONLY | O_CREAT | O_TRUNC);
    // The filters' log lines are not part of what is measured.
    redirect(2, "/dev/null", O_WRONLY);
    // The pipes' other ends are closed here: the program sees end of input when the feeder exits.
    for (int fd = 3; fd < 64; fd++)
        close(fd);
    for (int k = 0; k < options.envCount; k++)
        putenv(const_cast<char *>(options.env[k]));
    execvp(argv[0], argv);
    _exit(127);
}

static int exitStatus(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

static Result runOnce(const Options &options)
{
    Result result = {};
    // Through a pipe the feeder starts first, so the pipe fills before the program reads.
    pid_t feederPid = -1;
    int pipeIn = -1;
    if (options.inputPipe) {
        int pipeFds[2];
        if (pipe(pipeFds) != 0)
            fail("pipe");
        feederPid = startFeeder(options, pipeFds[0], pipeFds[1]);
        close(pipeFds[1]);
        pipeIn = pipeFds[0];
    }
    // The output pipe gets its size before the program can write to it.
    pid_t drainPid = -1;
    int pipeOut = -1;
    if (options.outputPipe) {
        int pipeFds[2];
        if (pipe(pipeFds) != 0)
            fail("pipe");
        if (options.enlargedPipe && fcntl(pipeFds[1], F_SETPIPE_SZ, kPipeBytes) <= 0)
            fail("pipe size");
        drainPid = startDrain(pipeFds[0], options);
        close(pipeFds[0]);
        pipeOut = pipeFds[1];
    }
    double begin = now();
    pid_t pid = start(options, options.program, pipeIn, pipeOut);
    if (pipeIn >= 0)
        close(pipeIn);
    if (pipeOut >= 0)
        close(pipeOut);

    // The program's own rusage and the end of the wall time, then the feeder
    // and the drain. A program that read to the end of its input saw the
    // feeder exit; one that stopped early leaves it waiting for room that
    // never comes. The drain reads what the program left in the output pipe
    // and exits.
    int status = 0;
    rusage usage;
    if (wait4(pid, &status, 0, &usage) < 0)
        fail("wait4");
    result.wallSeconds = now() - begin;
    if (feederPid > 0) {
        kill(feederPid, SIGKILL);
        int feederStatus = 0;
        rusage feederUsage;
        if (wait4(feederPid, &feederStatus, 0, &feederUsage) < 0)
            fail("wait4");
        result.feederSeconds = seconds(feederUsage.ru_utime) + seconds(feederUsage.ru_stime);
    }
    if (drainPid > 0) {
        int drainStatus = 0;
        rusage drainUsage;
        if (wait4(drainPid, &drainStatus, 0, &drainUsage) < 0)
            fail("wait4");
        result.drainSeconds = seconds(drainUsage.ru_utime) + seconds(drainUsage.ru_stime);
    }
    result.userSeconds = seconds(usage.ru_utime);
    result.systemSeconds = seconds(usage.ru_stime);
    result.maxRssKib = usage.ru_maxrss;
    result.waits = usage.ru_nvcsw;
    result.faults = usage.ru_minflt + usage.ru_majflt;
    result.status = exitStatus(status);
    return result;
}

static void usage()
{
    std::fprintf(stderr, "usage: runner [-i input] [-p] [-o output | -P ROWBYTES | -Q] [-e NAME=VALUE]... [-n runs] "
                         "[-w warmups] "
                         "-- program args...\n");
    std::exit(2);
}

static Options parse(int argc, char **argv)
{
    Options options = {};
    options.input = "/dev/null";
    options.output = "/dev/null";
    options.runs = 5;
    options.warmups = 1;
    int i = 1;
    for (; i < argc; i++) {
        const char *arg = argv[i];
        if (std::strcmp(arg, "--") == 0) {
            i++;
            break;
        }
        if (std::strcmp(arg, "-p") == 0) {
            options.inputPipe = true;
            continue;
        }
        if (std::strcmp(arg, "-Q") == 0) {
            options.outputPipe = true;
            options.enlargedPipe = true;
            continue;
        }
        if (i + 1 >= argc)
            usage();
        const char *value = argv[++i];
        if (std::strcmp(arg, "-i") == 0)
            options.input = value;
        else if (std::strcmp(arg, "-o") == 0)
            options.output = value;
        else if (std::strcmp(arg, "-n") == 0)
            options.runs = std::atoi(value);
        else if (std::strcmp(arg, "-P") == 0) {
            options.outputPipe = true;
            options.rowBytes = std::strtoul(value, nullptr, 10);
            if (options.rowBytes < 1 || options.rowBytes > kMaxRowBytes)
                usage();
        } else if (std::strcmp(arg, "-w") == 0)
            options.warmups = std::atoi(value);
        else if (std::strcmp(arg, "-e") == 0 && options.envCount < kMaxEnv)
            options.env[options.envCount++] = value;
        else
            usage();
    }
    if (i >= argc || options.runs < 1 || options.warmups < 0)
        usage();
    options.program = argv + i;
    return options;
}

} // namespace runner

int main(int argc, char **argv)
{
    runner::Options options = runner::parse(argc, argv);
    for (int w = 0; w < options.warmups; w++)
        runner::runOnce(options);
    for (int r = 0; r < options.runs; r++) {
        runner::Result result = runner::runOnce(options);
        std::printf("run %.6f %.6f %.6f %ld %d %.6f %ld %.6f %ld\n", result.userSeconds, result.systemSeconds,
                    result.wallSeconds, result.maxRssKib, result.status, result.feederSeconds, result.waits,
                    result.drainSeconds, result.faults);
        std::fflush(stdout);
    }
    return 0;
}
