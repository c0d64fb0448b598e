// Runs one benchmark case a number of times and prints what each run cost:
// CPU time, wall time and peak memory of the program, from wait4's rusage.
//
// runner [-i input] [-o output | -p] [-e NAME=VALUE]... [-n runs] [-w warm-ups] -- program args...
//   -i  file given to the program as standard input (default /dev/null)
//   -o  file its standard output goes to (default /dev/null)
//   -p  standard output through a pipe into `cat > /dev/null` instead
//   -e  environment variable added for the program
//   -n  measured runs (default 5), -w unmeasured runs first (default 1)
// One line per measured run: "run user_s sys_s wall_s maxrss_kib status".
// The runner stays small (no allocation beyond the argument lists) so that
// the memory a child inherits before exec is far below what it measures.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace runner {

constexpr int kMaxEnv = 16; // -e options kept

// What the command line asked for.
struct Options {
    const char *input;         // standard input of the program
    const char *output;        // standard output of the program
    bool throughPipe;          // output piped into cat instead
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
    double wallSeconds;   // start of the program to the end of its output
    long maxRssKib;       // ru_maxrss: peak resident set
    int status;           // exit status, or 128 + signal
};

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

// Starts `argv` with the given standard input and output descriptors
// (-1: open the named files instead). Returns its process id.
static pid_t start(const Options &options, char **argv, int inFd, int outFd, bool addEnv)
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
    for (int fd = 3; fd < 64; fd++)
        close(fd);
    if (addEnv)
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
    double begin = now();
    pid_t catPid = -1;
    pid_t pid;
    if (options.throughPipe) {
        int pipeFds[2];
        if (pipe(pipeFds) != 0)
            fail("pipe");
        static char catName[] = "cat";
        static char *catArgv[] = {catName, nullptr};
        Options sink = options;
        sink.output = "/dev/null";
        catPid = start(sink, catArgv, pipeFds[0], -1, false);
        pid = start(options, options.program, -1, pipeFds[1], true);
        close(pipeFds[0]);
        close(pipeFds[1]);
    } else {
        pid = start(options, options.program, -1, -1, true);
    }

    int status = 0;
    rusage usage;
    if (wait4(pid, &status, 0, &usage) < 0)
        fail("wait4");
    if (catPid > 0) {
        int catStatus = 0;
        if (waitpid(catPid, &catStatus, 0) < 0)
            fail("waitpid");
    }
    result.wallSeconds = now() - begin;
    result.userSeconds = seconds(usage.ru_utime);
    result.systemSeconds = seconds(usage.ru_stime);
    result.maxRssKib = usage.ru_maxrss;
    result.status = exitStatus(status);
    return result;
}

static void usage()
{
    std::fprintf(stderr, "usage: runner [-i input] [-o output | -p] [-e NAME=VALUE]... [-n runs] [-w warmups] "
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
            options.throughPipe = true;
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
        else if (std::strcmp(arg, "-w") == 0)
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
        std::printf("run %.6f %.6f %.6f %ld %d\n", result.userSeconds, result.systemSeconds, result.wallSeconds,
                    result.maxRssKib, result.status);
        std::fflush(stdout);
    }
    return 0;
}
