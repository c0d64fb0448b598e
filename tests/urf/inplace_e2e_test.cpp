// End-to-end tests of a job in a file read ahead in large chunks: brovane and calmeric
// on a regular file as standard input, where they leave it, and the file cut short under them.

#include "support.h"

#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace testsupport;

namespace {

const std::vector<std::string> kArgs = {"7", "bob", "file input", "1", ""};

// One 24-bit page of `width` x `height` noisy pixels (nearly all literal runs).
Bytes noisyJob(uint32_t width, uint32_t height)
{
    Bytes pixels(static_cast<size_t>(width) * height * 3);
    uint32_t state = 99;
    for (uint8_t &b : pixels) {
        state = state * 1103515245u + 12345u;
        b = static_cast<uint8_t>(state >> 16);
    }
    Bytes job = urfFileHeader(1);
    append(job, urfPageHeader(24, 1, 0, 4, width, height, 300));
    append(job, encodeUrfPage(pixels, width, height, 3));
    return job;
}

// The filter, started with `input` (an open descriptor the test keeps) as
// standard input, standard output and standard error into pipes.
struct Child {
    pid_t pid;
    int out; // read end of the filter's standard output
    int err; // read end of its standard error
};

Child start(const std::string &program, int input, const char *ppd)
{
    int out[2], err[2];
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(err), 0);
    std::string ppdVar = ppd ? "PPD=" + ppdPath(ppd) : "PPD=";
    pid_t pid = fork();
    if (pid == 0) {
        dup2(input, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        // Cross builds run the filter in the emulator the tests run in.
        std::vector<char *> argv;
        if (const char *emulator = std::getenv("FILTER_EMULATOR"))
            argv.push_back(const_cast<char *>(emulator));
        argv.push_back(const_cast<char *>(program.c_str()));
        for (const std::string &a : kArgs)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        char *env[] = {const_cast<char *>(ppdVar.c_str()), nullptr};
        execve(argv[0], argv.data(), env);
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    return Child{pid, out[0], err[0]};
}

std::string drain(int fd)
{
    std::string text;
    char chunk[65536];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<size_t>(n));
    close(fd);
    return text;
}

// Waits for the filter; its standard output is read (and dropped) first.
int finish(const Child &child, std::string *err)
{
    drain(child.out);
    *err = drain(child.err);
    int status = 0;
    waitpid(child.pid, &status, 0);
    return status;
}

// A job in a file that holds more than the job: the filter stops after the
// stated page and leaves the descriptor where its 8192-byte reads leave it,
// counted from where the file was handed over (here 100 bytes in).
TEST(InPlaceInput, RegularFileIsLeftWhereTheReadsLeaveIt)
{
    Bytes file(100, 0x55);
    append(file, noisyJob(40, 30));
    append(file, Bytes(20000, 0xEE)); // not part of the job
    std::string path = writeTempFile(file);
    for (const char *name : {"brovane", "calmeric"}) {
        SCOPED_TRACE(name);
        int input = open(path.c_str(), O_RDONLY);
        ASSERT_EQ(lseek(input, 100, SEEK_SET), 100);
        std::string err;
        int status = finish(start(programPath(name), input, name[0] == 'b' ? "colour-300.ppd" : nullptr), &err);
        ASSERT_TRUE(WIFEXITED(status)) << err;
        EXPECT_EQ(WEXITSTATUS(status), 0) << err;
        EXPECT_EQ(lseek(input, 0, SEEK_CUR), 100 + 8192);
        close(input);
    }
}

// Looking at the input (does it seek?) leaves no trace in the job's
// messages: a fatal header error reports the same errno text through a
// pipe as from a file.
TEST(InPlaceInput, FatalErrorTextIsTheSameForAPipeAndAFile)
{
    Bytes bad = {'N', 'O', 'T', 'U', 'R', 'F', 0, 0, 0, 0, 0, 1};
    for (const char *name : {"brovane", "calmeric"}) {
        SCOPED_TRACE(name);
        RunOptions viaPipe;
        if (name[0] == 'b')
            viaPipe.env.push_back({"PPD", ppdPath("colour-300.ppd")});
        RunOptions fromFile = viaPipe;
        viaPipe.stdinPipe = true;
        std::string crit = std::string("CRIT: (") + name + ") die(Bad File Header) [Success]";
        for (const RunOptions &options : {viaPipe, fromFile}) {
            RunResult run = runFilter(programPath(name), kArgs, bad, options);
            EXPECT_EQ(run.status, 1) << run.err;
            EXPECT_TRUE(hasLine(run.errLines(), crit)) << run.err;
        }
    }
}

// The spool file cut short while the filter is in the middle of it: the
// filter, held at a full output pipe mid-page, goes on after the cut, meets
// the end of its input where the file now ends, reports it as the decoder
// reports a short job, and ends normally.
TEST(InPlaceInput, FileCutShortUnderARunningFilterEndsLikeAShortJob)
{
    const off_t cut = 300000;
    std::string path = writeTempFile(noisyJob(2000, 400)); // 2.4 MB, rows of 6000 bytes
    int input = open(path.c_str(), O_RDWR);
    Child child = start(programPath("brovane"), input, "colour-300.ppd");
    // Nobody reads the output yet: the filter blocks in a write once the
    // pipe is full, a few rows into the page, with the cut still ahead.
    std::string head;
    char c;
    while (head.find("INFO: Rendering page 1") == std::string::npos && read(child.err, &c, 1) == 1)
        head += c;
    usleep(200000);
    ASSERT_EQ(ftruncate(input, cut), 0);
    std::string err;
    int status = finish(child, &err);
    err = head + err;
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status) << "\n" << err;
    EXPECT_EQ(WEXITSTATUS(status), 0) << err;
    EXPECT_TRUE(std::regex_search(err, std::regex("ERROR: \\(brovane\\) (p\\d+)?l\\d+ : .* EOF at ")))
        << err;
    EXPECT_TRUE(std::regex_search(err, std::regex(" EOF at (" + std::to_string(cut) + "|0, )"))) << err;
    EXPECT_NE(err.find("DEBUG: (brovane) Completed processing"), std::string::npos) << err;
    close(input);
}

} // namespace
