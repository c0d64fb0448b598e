// Test helpers: URF encoding, running filters in a child process with
// files or pipes on their standard streams, and raster read back through libcups.

#include "support.h"

#include <cerrno>
#include <cstddef>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testsupport {

static void put32(Bytes &b, uint32_t v)
{
    b.push_back(static_cast<uint8_t>(v >> 24));
    b.push_back(static_cast<uint8_t>(v >> 16));
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

Bytes urfFileHeader(uint32_t pageCount)
{
    Bytes b = {'U', 'N', 'I', 'R', 'A', 'S', 'T', 0};
    put32(b, pageCount);
    return b;
}

Bytes urfPageHeader(uint8_t bitsPerPixel, uint8_t colorSpace, uint8_t duplex, uint8_t quality, uint32_t width,
                    uint32_t height, uint32_t resolution)
{
    Bytes b = {bitsPerPixel, colorSpace, duplex, quality, 0, 0, 0, 0, 0, 0, 0, 0};
    put32(b, width);
    put32(b, height);
    put32(b, resolution);
    b.resize(32, 0);
    return b;
}

void append(Bytes &to, const Bytes &more)
{
    to.insert(to.end(), more.begin(), more.end());
}

Bytes packRow(const Bytes &grey)
{
    Bytes packed((grey.size() + 7) / 8, 0);
    for (size_t i = 0; i < grey.size(); i++)
        if (grey[i] < 128)
            packed[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
    return packed;
}

Bytes greyToRgb(const Bytes &grey)
{
    Bytes rgb;
    rgb.reserve(grey.size() * 3);
    for (uint8_t g : grey)
        rgb.insert(rgb.end(), {g, g, g});
    return rgb;
}

Bytes widen(const Bytes &row, uint32_t pixelSize, uint32_t scale)
{
    Bytes wide;
    wide.reserve(row.size() * scale);
    for (size_t p = 0; p + pixelSize <= row.size(); p += pixelSize)
        for (uint32_t s = 0; s < scale; s++)
            wide.insert(wide.end(), row.begin() + static_cast<std::ptrdiff_t>(p),
                        row.begin() + static_cast<std::ptrdiff_t>(p + pixelSize));
    return wide;
}

Bytes encodeUrfPage(const Bytes &pixels, uint32_t width, uint32_t height, uint32_t pixelSize)
{
    Bytes out;
    size_t lineBytes = static_cast<size_t>(width) * pixelSize;
    auto line = [&](uint32_t y) { return pixels.begin() + static_cast<std::ptrdiff_t>(y * lineBytes); };
    auto samePixel = [&](uint32_t y, uint32_t a, uint32_t b) {
        return std::equal(line(y) + a * pixelSize, line(y) + (a + 1) * pixelSize, line(y) + b * pixelSize);
    };
    uint32_t y = 0;
    while (y < height) {
        // Equal lines that follow are folded into the line-repeat byte.
        uint32_t repeat = 0;
        while (repeat < 255 && y + repeat + 1 < height &&
               std::equal(line(y), line(y) + static_cast<std::ptrdiff_t>(lineBytes), line(y + repeat + 1)))
            repeat++;
        out.push_back(static_cast<uint8_t>(repeat));
        uint32_t x = 0;
        while (x < width) {
            uint32_t run = 1;
            while (run < 128 && x + run < width && samePixel(y, x, x + run))
                run++;
            if (run >= 2) {
                out.push_back(static_cast<uint8_t>(run - 1));
                out.insert(out.end(), line(y) + x * pixelSize, line(y) + (x + 1) * pixelSize);
                x += run;
                continue;
            }
            uint32_t count = 1;
            while (count < 128 && x + count < width && !(x + count + 1 < width && samePixel(y, x + count, x + count + 1)))
                count++;
            out.push_back(static_cast<uint8_t>(257 - count) & 0xFF);
            if (count == 1)
                out.back() = 0; // a single pixel is a repeat of one
            out.insert(out.end(), line(y) + x * pixelSize, line(y) + (x + count) * pixelSize);
            x += count;
        }
        y += repeat + 1;
    }
    return out;
}

std::string tempDir()
{
    static std::string dir;
    if (dir.empty()) {
        const char *base = std::getenv("TMPDIR");
        std::string pattern = std::string(base ? base : "/tmp") + "/filtertest.XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        dir = buf.data();
    }
    return dir;
}

std::string writeTempFile(const Bytes &data, const char *suffix)
{
    static int counter = 0;
    std::string path = tempDir() + "/f" + std::to_string(getpid()) + "_" + std::to_string(counter++) + suffix;
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        std::perror(path.c_str());
        std::abort();
    }
    if (!data.empty())
        std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
    return path;
}

Bytes readFile(const std::string &path)
{
    Bytes data;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return data;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        data.insert(data.end(), buf, buf + n);
    std::fclose(f);
    return data;
}

std::string manualCopiesPpd()
{
    Bytes text = readFile(ppdPath("meta.ppd"));
    const std::string manualLine = "*cupsManualCopies: True\n";
    text.insert(text.end(), manualLine.begin(), manualLine.end());
    return writeTempFile(text, ".ppd");
}

std::vector<std::string> RunResult::errLines() const
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < err.size()) {
        size_t end = err.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(err.substr(start));
            break;
        }
        lines.push_back(err.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// Writes `input` into the pipe; with oneByte, waits until the reader has
// taken each byte before writing the next, so every read gets exactly one.
static void feedPipe(int fd, const Bytes &input, bool oneByte, pid_t child, int sigtermAfter)
{
    size_t sent = 0;
    while (sent < input.size()) {
        if (sigtermAfter >= 0 && sent >= static_cast<size_t>(sigtermAfter)) {
            kill(child, SIGTERM);
            sigtermAfter = -1;
        }
        size_t chunk = oneByte ? 1 : input.size() - sent;
        if (sigtermAfter >= 0 && sent + chunk > static_cast<size_t>(sigtermAfter))
            chunk = static_cast<size_t>(sigtermAfter) - sent;
        ssize_t n = write(fd, input.data() + sent, chunk);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break; // the filter stopped reading
        }
        sent += static_cast<size_t>(n);
        if (oneByte) {
            int pending = 1;
            for (int spins = 0; spins < 200000 && pending > 0; spins++) {
                if (ioctl(fd, FIONREAD, &pending) != 0)
                    break;
                if (pending > 0)
                    usleep(20);
                // Stop waiting once the filter has ended (left unreaped).
                siginfo_t info{};
                if (waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
                    info.si_pid != 0)
                    break;
            }
        }
    }
    if (sigtermAfter >= 0)
        kill(child, SIGTERM);
    close(fd);
}

RunResult runFilter(const std::string &program, const std::vector<std::string> &args, const Bytes &input,
                    const RunOptions &options)
{
    std::string outPath = writeTempFile({}, ".out");
    std::string errPath = writeTempFile({}, ".err");
    std::string inPath = options.stdinPipe ? std::string() : writeTempFile(input, ".in");
    int pipeFds[2] = {-1, -1};
    if (options.stdinPipe && pipe(pipeFds) != 0)
        std::abort();

    // The emulator prefix (empty in native builds) runs cross-built filters.
    std::vector<std::string> argvStrings;
    if (const char *emulator = std::getenv("FILTER_EMULATOR"); emulator != nullptr && *emulator)
        argvStrings.push_back(emulator);
    argvStrings.push_back(program);
    argvStrings.insert(argvStrings.end(), args.begin(), args.end());

    std::signal(SIGPIPE, SIG_IGN);
    pid_t child = fork();
    if (child == 0) {
        // A filter outlives no test that ctest kills, and no test can fill
        // the disk: output past 1 GiB ends the filter (SIGXFSZ).
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        struct rlimit fileSize = {1ul << 30, 1ul << 30};
        setrlimit(RLIMIT_FSIZE, &fileSize);
        int in = options.stdinPipe ? pipeFds[0] : open(inPath.c_str(), O_RDONLY);
        int out = open(outPath.c_str(), O_WRONLY | O_TRUNC);
        int err = open(errPath.c_str(), O_WRONLY | O_TRUNC);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (options.stdinPipe) {
            close(pipeFds[1]);
        }
        std::signal(SIGPIPE, SIG_DFL);
        clearenv();
        setenv("PATH", "/usr/bin:/bin", 1);
        for (const auto &kv : options.env)
            setenv(kv.first.c_str(), kv.second.c_str(), 1);
        std::vector<char *> argv;
        for (auto &s : argvStrings)
            argv.push_back(const_cast<char *>(s.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (options.stdinPipe) {
        close(pipeFds[0]);
        feedPipe(pipeFds[1], input, options.oneBytePerRead, child, options.sigtermAfterBytes);
    }
    int status = 0;
    struct rusage usage {};
    while (wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    RunResult result;
    result.peakRssKb = usage.ru_maxrss;
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    Bytes out = readFile(outPath), err = readFile(errPath);
    result.out.assign(out.begin(), out.end());
    result.err.assign(err.begin(), err.end());
    unlink(outPath.c_str());
    unlink(errPath.c_str());
    if (!inPath.empty())
        unlink(inPath.c_str());
    return result;
}

std::vector<RasterPage> readRasterFile(const std::string &path)
{
    std::vector<RasterPage> pages;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return pages;
    cups_raster_t *raster = cupsRasterOpen(fd, CUPS_RASTER_READ);
    if (raster != nullptr) {
        RasterPage page;
        while (cupsRasterReadHeader2(raster, &page.header)) {
            page.rows.clear();
            for (unsigned y = 0; y < page.header.cupsHeight; y++) {
                Bytes row(page.header.cupsBytesPerLine);
                if (cupsRasterReadPixels(raster, row.data(), page.header.cupsBytesPerLine) == 0)
                    break;
                page.rows.push_back(std::move(row));
            }
            pages.push_back(page);
        }
        cupsRasterClose(raster);
    }
    close(fd);
    return pages;
}

std::vector<RasterPage> readRaster(const std::string &bytes)
{
    std::string path = writeTempFile(Bytes(bytes.begin(), bytes.end()), ".ras");
    std::vector<RasterPage> pages = readRasterFile(path);
    unlink(path.c_str());
    return pages;
}

uint32_t rawDuplex(const cups_page_header2_t &header)
{
    uint32_t value;
    std::memcpy(&value, &header.Duplex, sizeof value);
    return value;
}

bool hasLine(const std::vector<std::string> &lines, const std::string &line)
{
    return lineIndex(lines, line) >= 0;
}

int lineIndex(const std::vector<std::string> &lines, const std::string &line)
{
    for (size_t i = 0; i < lines.size(); i++)
        if (lines[i] == line)
            return static_cast<int>(i);
    return -1;
}

std::string programPath(const char *name)
{
    // "brovane" is brovane/brovane; "brovane/brovane-ps" names a variant.
    if (std::strchr(name, '/') != nullptr)
        return std::string(FILTERS_BINARY_DIR) + "/" + name;
    return std::string(FILTERS_BINARY_DIR) + "/" + name + "/" + name;
}

std::string ppdPath(const char *name)
{
    return std::string(FILTERS_SOURCE_DIR) + "/tests/ppd/" + name;
}

bool haveProgram(const char *name)
{
    std::string command = std::string("command -v ") + name + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

} // namespace testsupport
