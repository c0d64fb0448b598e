// Whether brovane can serve a queue's driver, read from its PPD, and the
// changed PPD that puts brovane in front of the driver, the original kept inside.

#include "brovane-enable/enable.h"

#include "common/filter.h"

#include <cups/ppd.h>
#include <cups/raster.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <strings.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace enable {

// Comment lines of a changed PPD that carry the original, base64, and the
// bytes of the original each one holds (a 76-character line).
constexpr const char *kOriginalPrefix = "*%printfilters-original ";
constexpr size_t kOriginalLineBytes = 57;
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The raster-header values of what brovane writes.
constexpr uint32_t kSpaceW = 0;
constexpr uint32_t kSpaceRgb = 1;
constexpr uint32_t kSpaceK = 3;
constexpr uint32_t kSpaceSw = 18;
constexpr uint32_t kSpaceSrgb = 19;
constexpr uint32_t kSpaceRgbw = 17;
constexpr uint32_t kOrderChunked = 0;

// The page sizes the scheduler calls loaded ("media-ready") when a queue's
// PPD has them (its ReadyPaperSizes for A4 and for Letter countries); a
// receipt or label printer holds none of them but its own roll.
constexpr const char *kOfficeSizes[] = {"A3", "A4", "A5", "A6", "EnvDL", "Letter", "Legal", "Tabloid", "4x6", "Env10"};
// The entries that describe one page size of a PPD.
constexpr const char *kSizeKeywords[] = {"*PageSize", "*PageRegion", "*ImageableArea", "*PaperDimension"};

// One main keyword entry of a PPD: "*Keyword Option/Text: value", the value
// possibly a quoted string over several lines. [begin, end) covers its
// lines, the final newline included.
struct Entry {
    size_t begin;
    size_t end;
    std::string keyword; // with the '*'
    std::string option;  // empty when the entry has none
    std::string value;   // without the quotes
};

// A *cupsFilter or *cupsFilter2 line, split into its words.
struct Filter {
    size_t entry;     // index in the entries
    bool two;         // *cupsFilter2: source, destination, cost, program
    std::string source;
    std::string destination; // *cupsFilter2 only
    std::string cost;
    std::string program;
};

// Splits the PPD text into its main keyword entries (comments, blank lines
// and other lines are skipped). Values that open a quote and never close it
// run to the end of the text.
static std::vector<Entry> scanEntries(const std::string &text)
{
    std::vector<Entry> entries;
    size_t at = 0;
    while (at < text.size()) {
        size_t lineEnd = text.find('\n', at);
        lineEnd = lineEnd == std::string::npos ? text.size() : lineEnd + 1;
        if (text[at] != '*' || (at + 1 < text.size() && text[at + 1] == '%')) {
            at = lineEnd;
            continue;
        }
        Entry entry{at, lineEnd, {}, {}, {}};
        size_t colon = text.find(':', at);
        size_t head = colon == std::string::npos || colon >= lineEnd ? lineEnd : colon;
        size_t space = text.find_first_of(" \t", at);
        size_t keyEnd = space != std::string::npos && space < head ? space : head;
        entry.keyword = text.substr(at, keyEnd - at);
        while (entry.keyword.size() > 0 && (entry.keyword.back() == '\r' || entry.keyword.back() == '\n'))
            entry.keyword.pop_back();
        if (keyEnd < head) {
            size_t optionStart = text.find_first_not_of(" \t", keyEnd);
            size_t optionEnd = text.find_first_of("/:", optionStart);
            if (optionStart < head && optionEnd != std::string::npos && optionEnd <= head)
                entry.option = text.substr(optionStart, optionEnd - optionStart);
        }
        if (head < lineEnd) {
            size_t valueStart = text.find_first_not_of(" \t", head + 1);
            if (valueStart < text.size() && text[valueStart] == '"') {
                // A quoted value ends at the next quote, on this line or a later one.
                size_t close = text.find('"', valueStart + 1);
                size_t valueEnd = close == std::string::npos ? text.size() : close;
                entry.value = text.substr(valueStart + 1, valueEnd - valueStart - 1);
                size_t after = close == std::string::npos ? std::string::npos : text.find('\n', close);
                entry.end = after == std::string::npos ? text.size() : after + 1;
            } else if (valueStart < lineEnd) {
                entry.value = text.substr(valueStart, lineEnd - valueStart);
                while (!entry.value.empty() && (entry.value.back() == '\n' || entry.value.back() == '\r' ||
                                                entry.value.back() == ' ' || entry.value.back() == '\t'))
                    entry.value.pop_back();
            }
        }
        entries.push_back(entry);
        at = entry.end;
    }
    return entries;
}

// The words of a filter line's value, or false when it has too few.
static bool splitFilter(const Entry &entry, size_t index, Filter &filter)
{
    std::vector<std::string> words;
    size_t at = 0;
    while ((at = entry.value.find_first_not_of(" \t\r\n", at)) != std::string::npos) {
        size_t end = entry.value.find_first_of(" \t\r\n", at);
        end = end == std::string::npos ? entry.value.size() : end;
        words.push_back(entry.value.substr(at, end - at));
        at = end;
    }
    filter.entry = index;
    filter.two = entry.keyword == "*cupsFilter2";
    size_t need = filter.two ? 4 : 3;
    if (words.size() < need)
        return false;
    filter.source = words[0];
    filter.destination = filter.two ? words[1] : std::string();
    filter.cost = words[need - 2];
    filter.program = words[need - 1];
    return true;
}

// True when the PPD has the attribute with the value "True" in any case, as
// brovane reads "BWOnly" and "ReceiptPrinter".
static bool attributeIsTrue(ppd_file_t *ppd, const char *name)
{
    ppd_attr_t *attribute = ppdFindAttr(ppd, name, nullptr);
    return attribute != nullptr && attribute->value != nullptr && strcasecmp(attribute->value, "True") == 0;
}

static std::string format(const char *pattern, ...) __attribute__((format(printf, 1, 2)));
static std::string format(const char *pattern, ...)
{
    char line[512];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(line, sizeof line, pattern, args);
    va_end(args);
    return line;
}

// A refusal is one message line: the library's words inside a reason (the
// raster interpreter's run over several lines) have their line breaks and
// other control characters turned into spaces, runs of them into one.
static Plan refuse(const std::string &reason)
{
    std::string line;
    for (char c : reason) {
        bool control = static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
        if (!control)
            line += c;
        else if (!line.empty() && line.back() != ' ')
            line += ' ';
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return Plan{Verdict::refuse, line, {}, {}, 0, false};
}

// The kind of driver the queue has, from its filter lines: which one takes
// CUPS raster, or the verdict when none can. The scheduler reads only the
// *cupsFilter2 lines of a PPD that has any, so only those count then.
static bool findDriver(const std::vector<Entry> &entries, Filter &driver, Plan &verdict)
{
    std::vector<Filter> filters;
    bool anyTwo = false;
    for (size_t i = 0; i < entries.size(); i++) {
        Filter filter;
        if ((entries[i].keyword == "*cupsFilter" || entries[i].keyword == "*cupsFilter2") &&
            splitFilter(entries[i], i, filter)) {
            filters.push_back(filter);
            anyTwo = anyTwo || filter.two;
        }
    }
    bool found = false;
    for (const Filter &filter : filters) {
        if (filter.two != anyTwo)
            continue;
        if (filter.source == kRasterType || filter.source == kEarlierRasterType) {
            verdict = Plan{Verdict::already, "already takes URF jobs through brovane, then " + filter.program,
                           {}, {}, 0, false};
            return false;
        }
        if (filter.source == "image/urf" || filter.source == "image/pwg-raster") {
            if (filter.program == "-")
                verdict = refuse("a driverless queue: the printer takes " + filter.source + " itself");
            else
                verdict = Plan{Verdict::already, "already takes " + filter.source + " jobs, through " +
                                                     filter.program, {}, {}, 0, false};
            return false;
        }
        if (filter.source == "application/vnd.cups-raster" && !found) {
            driver = filter;
            found = true;
        }
    }
    if (found)
        return true;
    for (const Filter &filter : filters) {
        if (filter.two == anyTwo && (filter.source.find("postscript") != std::string::npos ||
                                     filter.source.find("pdf") != std::string::npos)) {
            verdict = refuse("a PostScript or PDF queue: its driver " + filter.program + " takes " +
                             filter.source + ", not CUPS raster");
            return false;
        }
    }
    if (filters.empty())
        verdict = refuse("a PostScript printer: its PPD names no driver, the scheduler sends it PostScript");
    else
        verdict = refuse("its driver " + filters[0].program + " takes " + filters[0].source +
                         ", not CUPS raster");
    return false;
}

// The resolution a Resolution choice's name stands for, read as the
// scheduler reads it ("600dpi", "600x300dpi"); false for other names.
static bool nameResolution(const std::string &name, unsigned &x, unsigned &y)
{
    int used = 0;
    if (std::sscanf(name.c_str(), "%ux%udpi%n", &x, &y, &used) == 2 && static_cast<size_t>(used) == name.size())
        return true;
    used = 0;
    if (std::sscanf(name.c_str(), "%udpi%n", &x, &used) == 1 && static_cast<size_t>(used) == name.size()) {
        y = x;
        return true;
    }
    return false;
}

// The header the driver gets with the defaults and then `options` marked.
static bool headerWith(ppd_file_t *ppd, const char *options, cups_page_header2_t &header)
{
    cups_option_t *parsed = nullptr;
    int count = cupsParseOptions(options, 0, &parsed);
    ppdMarkDefaults(ppd);
    cupsMarkOptions(ppd, count, parsed);
    std::memset(&header, 0, sizeof header);
    bool ok = cupsRasterInterpretPPD(&header, ppd, count, parsed, nullptr) == 0;
    cupsFreeOptions(count, parsed);
    ppdMarkDefaults(ppd);
    return ok;
}

// Whether brovane enlarges a page of `offered` dpi to x by y dpi by whole numbers, both ways.
static bool wholeMultiple(unsigned x, unsigned y, unsigned offered)
{
    return offered != 0 && x != 0 && y != 0 && x % offered == 0 && y % offered == 0;
}

// A print quality or colour mode, as the scheduler passes it to the filters,
// or a media type (the scheduler's media-type is a MediaType choice), that
// makes the driver print at a resolution brovane can't enlarge the one the
// queue offers phones to by whole numbers: the reason to refuse, or an empty
// string.
static std::string qualityMismatch(ppd_file_t *ppd, unsigned offered)
{
    static const char *const qualities[] = {"Draft", "Normal", "High"}; // print-quality 3, 4, 5
    static const char *const modes[] = {"monochrome", "color"};
    std::vector<std::string> tried;
    for (int q = 0; q < 3; q++)
        for (const char *mode : modes)
            tried.push_back(format("print-quality=%d cupsPrintQuality=%s print-color-mode=%s", q + 3, qualities[q],
                                   mode));
    if (ppd_option_t *media = ppdFindOption(ppd, "MediaType"))
        for (int i = 0; i < media->num_choices; i++)
            tried.push_back(std::string("MediaType=") + media->choices[i].choice);
    for (const std::string &options : tried) {
        cups_page_header2_t header;
        if (headerWith(ppd, options.c_str(), header) &&
            !wholeMultiple(header.HWResolution[0], header.HWResolution[1], offered))
            return format("with %s it prints at %ux%u dpi, which is not a whole multiple of the %u dpi phones "
                          "would be offered: a phone renders every page at the one resolution the queue advertises",
                          options.c_str(), header.HWResolution[0], header.HWResolution[1], offered);
    }
    return std::string();
}

// One choice of the PPD's Resolution option.
struct ResolutionChoice {
    size_t entry;          // its *Resolution entry
    std::string name;      // e.g. "601x600dpi"
    unsigned named, namedY; // what the name stands for, 0 when nothing
    unsigned printsX, printsY; // the resolution it prints at, 0 when its code gives no header
    bool isDefault;
};

static std::vector<ResolutionChoice> resolutionChoices(ppd_file_t *ppd, const std::vector<Entry> &entries)
{
    std::vector<ResolutionChoice> choices;
    ppd_choice_t *marked = ppdFindMarkedChoice(ppd, "Resolution");
    std::string defaultName = marked != nullptr ? marked->choice : "";
    for (size_t i = 0; i < entries.size(); i++) {
        if (entries[i].keyword != "*Resolution" || entries[i].option.empty())
            continue;
        ResolutionChoice choice{i, entries[i].option, 0, 0, 0, 0, entries[i].option == defaultName};
        nameResolution(choice.name, choice.named, choice.namedY);
        cups_page_header2_t header;
        std::string options = "Resolution=" + choice.name;
        if (headerWith(ppd, options.c_str(), header)) {
            choice.printsX = header.HWResolution[0];
            choice.printsY = header.HWResolution[1];
        }
        choices.push_back(choice);
    }
    return choices;
}

// Where the scheduler keeps its filters: the driver named by a filter line
// is run from there to ask it its printable area. Only a plain program name
// is looked for, in that folder: a PPD is not trusted to name a program
// elsewhere for brovane-enable (often run as root) to start. Empty for none.
static std::string driverPath(const std::string &program)
{
    if (program.empty() || program.find('/') != std::string::npos || program == "." || program == "..")
        return std::string();
    const char *serverBin = std::getenv("CUPS_SERVERBIN");
    return std::string(serverBin != nullptr && *serverBin != '\0' ? serverBin : "/usr/lib/cups") + "/filter/" +
           program;
}

// How long the driver's runs may take to say its printable area, all sizes
// together: it says it within a few hundredths of a second of reading the
// page header (94 sizes take about 5 s), so a driver that hangs costs one
// minute, not ten seconds a size.
constexpr long kProbeMilliseconds = 60000;

static long monotonicMilliseconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The area (left, bottom, right, top in points from the sheet's lower left
// corner) the driver prints in on the page size `name`, with the PPD's
// defaults. gutenprint's PPDs write every size its library can print full
// bleed as borderless, while its filter prints with the bleed off (the
// default of its Borderless option) and shrinks such a page into its
// margins. The filter logs the area it uses when it starts a page:
//   DEBUG: Gutenprint:   limits w 288.000 l 10.000 r 278.000  h 432.000 t 9.000 b 417.000
// (top and bottom counted from the top edge). So the driver is given one
// page of one pixel of that size and stopped once it has said it. False
// when it says nothing of the kind (another driver, or one that can't run)
// before `deadline` (monotonicMilliseconds).
static bool driverArea(const std::string &driver, const char *ppdPath, const char *name, float width, float length,
                       cups_page_header2_t header, long deadline, float area[4])
{
    const char *dir = std::getenv("TMPDIR");
    std::string raster = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/brovane-enable-XXXXXX";
    int fd = mkstemp(&raster[0]);
    if (fd < 0)
        return false;
    header.PageSize[0] = static_cast<unsigned>(width + 0.5f);
    header.PageSize[1] = static_cast<unsigned>(length + 0.5f);
    header.cupsPageSize[0] = width;
    header.cupsPageSize[1] = length;
    header.ImagingBoundingBox[0] = header.ImagingBoundingBox[1] = 0;
    header.ImagingBoundingBox[2] = header.PageSize[0];
    header.ImagingBoundingBox[3] = header.PageSize[1];
    header.Margins[0] = header.Margins[1] = 0;
    header.cupsImagingBBox[0] = header.cupsImagingBBox[1] = 0.0f;
    header.cupsImagingBBox[2] = width;
    header.cupsImagingBBox[3] = length;
    header.cupsWidth = 1;
    header.cupsHeight = 1;
    header.cupsBytesPerLine = (header.cupsBitsPerPixel + 7) / 8;
    std::snprintf(header.cupsPageSizeName, sizeof header.cupsPageSizeName, "%s", name);
    cups_raster_t *out = cupsRasterOpen(fd, CUPS_RASTER_WRITE);
    std::vector<unsigned char> row(header.cupsBytesPerLine > 0 ? header.cupsBytesPerLine : 1, 0xFF);
    bool written = out != nullptr && cupsRasterWriteHeader2(out, &header) &&
                   cupsRasterWritePixels(out, row.data(), header.cupsBytesPerLine) == header.cupsBytesPerLine;
    if (out != nullptr)
        cupsRasterClose(out);
    close(fd);
    int pipeFds[2];
    if (!written || pipe2(pipeFds, O_CLOEXEC) != 0) {
        unlink(raster.c_str());
        return false;
    }

    // The driver as the scheduler starts it: job, user, title, copies,
    // options, file, with PPD naming the PPD; its output is thrown away.
    std::string ppdVariable = std::string("PPD=") + ppdPath;
    std::vector<char *> env;
    for (char **variable = environ; *variable != nullptr; variable++)
        if (std::strncmp(*variable, "PPD=", 4) != 0)
            env.push_back(*variable);
    env.push_back(&ppdVariable[0]);
    env.push_back(nullptr);
    std::string pageSize = std::string("PageSize=") + name;
    const char *argv[] = {driver.c_str(), "1", "brovane-enable", "printable area", "1", pageSize.c_str(),
                          raster.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    pid_t pid;
    bool started = posix_spawn(&pid, driver.c_str(), &actions, nullptr, const_cast<char *const *>(argv),
                               env.data()) == 0;
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);

    bool found = false;
    float said[6];
    std::string log;
    while (started && !found) {
        long left = deadline - monotonicMilliseconds();
        if (left <= 0)
            break;
        pollfd wait{pipeFds[0], POLLIN, 0};
        int ready = poll(&wait, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        char block[4096];
        ssize_t got = read(pipeFds[0], block, sizeof block);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        log.append(block, static_cast<size_t>(got));
        size_t lineEnd;
        while (!found && (lineEnd = log.find('\n')) != std::string::npos) {
            std::string line = log.substr(0, lineEnd);
            log.erase(0, lineEnd + 1);
            size_t at = line.find("limits w ");
            found = at != std::string::npos && line.compare(0, 19, "DEBUG: Gutenprint: ") == 0 &&
                    std::sscanf(line.c_str() + at, "limits w %f l %f r %f h %f t %f b %f", &said[0], &said[1],
                                &said[2], &said[3], &said[4], &said[5]) == 6;
        }
        if (log.size() > 65536)
            log.clear(); // no line is that long: nothing of use in it
    }
    close(pipeFds[0]);
    if (started) {
        // Done with it once it has said its area (or failed to in time):
        // the page itself is of no use.
        kill(pid, SIGKILL);
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    unlink(raster.c_str());
    // A size it does not print as asked (another sheet) says nothing of this one.
    if (!found || std::fabs(said[0] - width) > 1.0f || std::fabs(said[3] - length) > 1.0f)
        return false;
    auto clamp = [](float value, float high) { return value < 0.0f ? 0.0f : value > high ? high : value; };
    area[0] = clamp(said[1], width);
    area[1] = clamp(length - said[5], length);
    area[2] = clamp(said[2], width);
    area[3] = clamp(length - said[4], length);
    return area[2] > area[0] && area[3] > area[1];
}

// One *ImageableArea entry made the driver's own.
struct AreaFix {
    size_t entry;
    std::string line;
};

// The driver's printable area for every size its PPD calls borderless, where
// the PPD is gutenprint's (it names its library's driver, *StpDriverName)
// and the driver is installed to say it. `borderless` counts the sizes the
// driver does print to the edges with the queue's defaults.
static std::vector<AreaFix> driverAreas(ppd_file_t *ppd, const char *ppdPath, const std::string &text,
                                        const std::vector<Entry> &entries, const std::string &program,
                                        const cups_page_header2_t &header, unsigned &borderless)
{
    std::vector<AreaFix> fixes;
    borderless = 0;
    std::string driver = driverPath(program);
    if (ppdFindAttr(ppd, "StpDriverName", nullptr) == nullptr || driver.empty() || access(driver.c_str(), X_OK) != 0)
        return fixes;
    const float near = 0.5f; // points: the PPD writes three decimals
    long deadline = monotonicMilliseconds() + kProbeMilliseconds;
    for (int i = 0; i < ppd->num_sizes; i++) {
        const ppd_size_t &size = ppd->sizes[i];
        bool wholeSheet = std::fabs(size.left) < near && std::fabs(size.bottom) < near &&
                          std::fabs(size.right - size.width) < near && std::fabs(size.top - size.length) < near;
        if (!wholeSheet || size.width <= 0.0f || size.length <= 0.0f ||
            strcasecmp(size.name, "Custom") == 0)
            continue;
        float area[4];
        if (!driverArea(driver, ppdPath, size.name, size.width, size.length, header, deadline, area))
            continue;
        if (area[0] < near && area[1] < near && size.width - area[2] < near && size.length - area[3] < near) {
            borderless++;
            continue;
        }
        for (size_t e = 0; e < entries.size(); e++) {
            size_t colon = text.find(':', entries[e].begin);
            if (entries[e].keyword != "*ImageableArea" || entries[e].option != size.name || colon >= entries[e].end)
                continue;
            // The entry's keyword, size name and text as they were, the area the driver's.
            fixes.push_back(AreaFix{e, text.substr(entries[e].begin, colon + 1 - entries[e].begin) +
                                           format("\t\"%.3f %.3f %.3f %.3f\"\n", area[0], area[1], area[2],
                                                  area[3])});
        }
    }
    return fixes;
}

// Base64 lines of the original PPD, for --undo.
static std::string originalLines(const std::string &original)
{
    std::string out = "*% The PPD as it was before brovane-enable changed it (base64), for brovane-enable --undo:\n";
    for (size_t at = 0; at < original.size(); at += kOriginalLineBytes) {
        out += kOriginalPrefix;
        size_t n = original.size() - at < kOriginalLineBytes ? original.size() - at : kOriginalLineBytes;
        for (size_t k = 0; k < n; k += 3) {
            uint32_t group = static_cast<uint32_t>(static_cast<uint8_t>(original[at + k])) << 16;
            if (k + 1 < n)
                group |= static_cast<uint32_t>(static_cast<uint8_t>(original[at + k + 1])) << 8;
            if (k + 2 < n)
                group |= static_cast<uint8_t>(original[at + k + 2]);
            out += kBase64[(group >> 18) & 63];
            out += kBase64[(group >> 12) & 63];
            out += k + 1 < n ? kBase64[(group >> 6) & 63] : '=';
            out += k + 2 < n ? kBase64[group & 63] : '=';
        }
        out += '\n';
    }
    return out;
}

Plan planFor(const char *path, const std::string &text, bool askDriver)
{
    ppd_file_t *ppd = ppdOpenFile(path);
    if (ppd == nullptr) {
        int line = 0;
        ppd_status_t status = ppdLastError(&line);
        return refuse(format("not a PPD it can read (%s, line %d)", ppdErrorString(status), line));
    }
    std::vector<Entry> entries = scanEntries(text);
    Filter driver;
    Plan verdict{Verdict::refuse, {}, {}, {}, 0, false};
    if (!findDriver(entries, driver, verdict)) {
        ppdClose(ppd);
        return verdict;
    }

    // The raster the driver takes with the queue's default options: brovane
    // writes 1-bit black (chunked K) for printers marked black-and-white,
    // 8-bit grey (chunked, in the PPD's grey space) for grey drivers, which
    // the line added below tells it, and 24-bit chunked RGB for the others,
    // nothing else. Where the PPD asks for 32-bit RGBW (hpcups' colour
    // inkjets), brovane's page header says 24-bit sRGB, which such a driver
    // takes as any RGB page.
    ppdMarkDefaults(ppd);
    cups_page_header2_t header;
    std::memset(&header, 0, sizeof header);
    if (cupsRasterInterpretPPD(&header, ppd, 0, nullptr, nullptr) < 0) {
        ppdClose(ppd);
        return refuse(std::string("its default options give no raster page header: ") + cupsRasterErrorString());
    }
    uint32_t space = common::fieldBits(header.cupsColorSpace);
    uint32_t order = common::fieldBits(header.cupsColorOrder);
    bool black = header.cupsBitsPerColor == 1 && header.cupsBitsPerPixel == 1 && space == kSpaceK &&
                 order == kOrderChunked;
    bool grey = header.cupsBitsPerColor == 8 && header.cupsBitsPerPixel == 8 && order == kOrderChunked &&
                (space == kSpaceW || space == kSpaceSw);
    bool colour = header.cupsBitsPerColor == 8 && order == kOrderChunked &&
                  ((header.cupsBitsPerPixel == 24 && (space == kSpaceRgb || space == kSpaceSrgb)) ||
                   (header.cupsBitsPerPixel == 32 && space == kSpaceRgbw));
    bool marked = attributeIsTrue(ppd, "BWOnly") || attributeIsTrue(ppd, "ReceiptPrinter");
    unsigned xres = header.HWResolution[0], yres = header.HWResolution[1];
    // Phones are offered one resolution, the same both ways; brovane enlarges
    // their pages to the printer's by whole numbers in each direction. The
    // largest that does, unless the Resolution choices name another below.
    unsigned lower = xres < yres ? xres : yres;
    unsigned offered = wholeMultiple(xres, yres, lower) ? lower : 0;
    const char *orders[] = {"chunked", "banded", "planar"};
    Plan plan{Verdict::change, {}, {}, {}, offered, colour};
    if (!black && !grey && !colour)
        plan = refuse(format("its driver %s takes %u-bit raster of colour space %u, %s, %u bits a pixel; "
                             "brovane writes 1-bit black, 8-bit grey or 24-bit RGB (for RGBW drivers too)",
                             driver.program.c_str(), header.cupsBitsPerColor, space,
                             order < 3 ? orders[order] : "unknown order", header.cupsBitsPerPixel));
    else if (!black && marked)
        plan = refuse(format("marked black-and-white (*BWOnly or *ReceiptPrinter), but its driver takes %s",
                             grey ? "8-bit grey" : "24-bit colour"));
    else if (offered == 0)
        plan = refuse(format("its default resolution is %ux%u dpi: neither way is a whole multiple of the other, "
                             "so no one resolution of a phone's page enlarges to it",
                             xres, yres));
    if (plan.verdict == Verdict::refuse) {
        ppdClose(ppd);
        return plan;
    }

    // A receipt or label printer (a default page narrower than 4.5 inches)
    // loses the office sizes the scheduler would call loaded, so phones are
    // offered the roll it holds rather than A4 rendered for a 4-inch head.
    std::vector<std::string> dropped;
    std::string ownMedia;
    ppd_size_t *page = ppdPageSize(ppd, nullptr);
    if (page != nullptr && page->width > 0.0f && page->width < kSmallMediaWidth) {
        ownMedia = page->name;
        for (const char *name : kOfficeSizes) {
            ppd_size_t *office = ppdPageSize(ppd, name);
            if (office != nullptr && strcasecmp(office->name, page->name) != 0)
                dropped.push_back(office->name);
        }
    }

    // The scheduler advertises the first Resolution choice's name (e.g.
    // "601x600dpi" as RS601, "720x360dpi" as RS720), or *DefaultResolution
    // without such an option, or 300 dpi: the queue must advertise a
    // resolution brovane enlarges to the printer's by whole numbers. A
    // choice named for one (the same both ways) that divides the default
    // resolution, and prints at whole multiples of it, goes first: the
    // largest such, the default one where it is; the default stays the default.
    std::vector<ResolutionChoice> choices = resolutionChoices(ppd, entries);
    size_t first = std::string::npos, leading = std::string::npos, defaultAt = std::string::npos;
    unsigned best = 0;
    for (size_t i = 0; i < choices.size(); i++) {
        const ResolutionChoice &choice = choices[i];
        if (leading == std::string::npos)
            leading = choice.entry;
        if (choice.isDefault)
            defaultAt = i;
        bool right = choice.named == choice.namedY && wholeMultiple(xres, yres, choice.named) &&
                     wholeMultiple(choice.printsX, choice.printsY, choice.named);
        if (right && (choice.named > best || (choice.named == best && choice.isDefault))) {
            best = choice.named;
            first = choice.entry;
        }
    }
    if (!choices.empty() && first == std::string::npos) {
        ppdClose(ppd);
        return refuse(format("no choice of its Resolution option is named for a resolution that %s the %ux%u dpi "
                             "it prints at by default (\"%s\"): the scheduler would advertise another resolution "
                             "to phones",
                             xres == yres ? "is or divides" : "divides", xres, yres,
                             defaultAt == std::string::npos ? "" : choices[defaultAt].name.c_str()));
    }
    if (!choices.empty())
        offered = plan.resolution = best;

    // Every print quality, colour mode and media type a phone may ask for
    // must print at whole multiples of the resolution phones render at.
    std::string mismatch = qualityMismatch(ppd, offered);
    if (!mismatch.empty()) {
        ppdClose(ppd);
        return refuse(mismatch);
    }

    // The scheduler offers phones each size with the margins of its
    // *ImageableArea: where the driver prints inside margins of its own, those.
    unsigned borderless = 0;
    std::vector<AreaFix> areaFixes;
    if (askDriver)
        areaFixes = driverAreas(ppd, path, text, entries, driver.program, header, borderless);
    ppdClose(ppd);
    bool reorder = first != std::string::npos && first != leading;
    // A 1-bit black or 8-bit grey driver gets grey pages only: a PPD that
    // calls it a colour device would have the scheduler offer phones colour
    // (SRGB24) too.
    size_t colourDevice = std::string::npos;
    for (size_t i = 0; i < entries.size() && !colour; i++)
        if (entries[i].keyword == "*ColorDevice" && strcasecmp(entries[i].value.c_str(), "False") != 0)
            colourDevice = i;
    // Without a Resolution option, *DefaultResolution says it.
    size_t defaultLine = std::string::npos;
    std::string defaultResolution = format("*DefaultResolution: %udpi\n", offered);
    if (choices.empty()) {
        for (size_t i = 0; i < entries.size(); i++)
            if (entries[i].keyword == "*DefaultResolution" && entries[i].option.empty())
                defaultLine = i;
        unsigned x = 0, y = 0;
        if (defaultLine != std::string::npos && nameResolution(entries[defaultLine].value, x, y) && x == offered &&
            y == offered)
            defaultResolution.clear();
    } else {
        defaultResolution.clear();
    }

    // The new PPD: the original with the resolution named first (or the
    // default resolution said) and a black or grey driver no colour device;
    // after the driver's filter line, a line that sends brovane's raster to
    // the same driver at the same cost, the black-and-white mark or the grey
    // one, and the resolution phones are offered (brovane enlarges their
    // grey pages too where the printer's is higher).
    std::string changed;
    std::string added = "*% brovane-enable: URF jobs go through brovane, then the driver named above.\n";
    if (driver.two)
        added += "*cupsFilter2: \"" + std::string(kRasterType) + " " + driver.destination + " " + driver.cost +
                 " " + driver.program + "\"\n";
    else
        added += "*cupsFilter: \"" + std::string(kRasterType) + " " + driver.cost + " " + driver.program + "\"\n";
    if (black && !marked)
        added += "*BWOnly: True\n";
    if (grey)
        added += "*brovaneGrey: True\n";
    added += format("*brovaneResolution: \"%u\"\n", offered);
    if (defaultLine == std::string::npos)
        added += defaultResolution;
    size_t driverEnd = entries[driver.entry].end;
    for (size_t i = 0; i < entries.size(); i++) {
        size_t from = i == 0 ? 0 : entries[i - 1].end;
        if (reorder && i == leading)
            changed += text.substr(entries[first].begin, entries[first].end - entries[first].begin);
        bool droppedSize = false;
        for (const char *keyword : kSizeKeywords)
            for (const std::string &name : dropped)
                droppedSize = droppedSize || (entries[i].keyword == keyword && entries[i].option == name);
        if ((reorder && i == first) || (i == defaultLine && !defaultResolution.empty()) || i == colourDevice ||
            droppedSize) {
            changed += text.substr(from, entries[i].begin - from);
            if (i == defaultLine)
                changed += defaultResolution;
            if (i == colourDevice)
                changed += "*ColorDevice: False\n";
            continue;
        }
        const AreaFix *fix = nullptr;
        for (const AreaFix &candidate : areaFixes)
            fix = candidate.entry == i ? &candidate : fix;
        if (fix != nullptr) {
            changed += text.substr(from, entries[i].begin - from) + fix->line;
            continue;
        }
        changed += text.substr(from, entries[i].end - from);
        if (entries[i].end == driverEnd) {
            if (changed.back() != '\n')
                changed += '\n';
            changed += added;
        }
    }
    changed += text.substr(entries.back().end);
    if (changed.back() != '\n')
        changed += '\n';
    changed += originalLines(text);

    plan.changed = changed;
    plan.kind = black ? "1-bit black" : grey ? "8-bit grey" : "24-bit colour";
    plan.summary = format("then %s, %s at %u dpi", driver.program.c_str(), plan.kind, offered);
    if (xres != offered || yres != offered)
        plan.summary += format(" enlarged to its %ux%u dpi", xres, yres);
    if (!dropped.empty()) {
        plan.summary += ", phones offered its own media " + ownMedia + " (";
        for (size_t i = 0; i < dropped.size(); i++)
            plan.summary += (i > 0 ? ", " : "") + dropped[i];
        plan.summary += " left out)";
    }
    if (!areaFixes.empty()) {
        plan.summary += format(", margins: the driver's own for %zu sizes", areaFixes.size() + borderless);
        if (borderless > 0)
            plan.summary += format(" (borderless for %u)", borderless);
    }
    return plan;
}

bool isEnabled(const std::string &text)
{
    std::string original;
    return text.find(kRasterType) != std::string::npos && originalOf(text, original);
}

bool originalOf(const std::string &text, std::string &original)
{
    original.clear();
    bool any = false;
    size_t prefix = std::strlen(kOriginalPrefix);
    size_t at = 0;
    while (at < text.size()) {
        size_t lineEnd = text.find('\n', at);
        lineEnd = lineEnd == std::string::npos ? text.size() : lineEnd;
        if (text.compare(at, prefix, kOriginalPrefix) == 0) {
            any = true;
            // Four characters give three bytes, '=' padding the last group.
            size_t k = at + prefix;
            while (k + 4 <= lineEnd) {
                uint32_t group = 0;
                int bytes = 3;
                for (int c = 0; c < 4; c++) {
                    char ch = text[k + c];
                    const char *digit = std::strchr(kBase64, ch);
                    if (ch == '=' && c >= 2) {
                        bytes = bytes < c - 1 ? bytes : c - 1;
                        group <<= 6;
                    } else if (ch != '\0' && digit != nullptr && bytes == 3) {
                        group = (group << 6) | static_cast<uint32_t>(digit - kBase64);
                    } else {
                        return false;
                    }
                }
                for (int b = 0; b < bytes; b++)
                    original += static_cast<char>((group >> (16 - 8 * b)) & 0xFF);
                k += 4;
            }
            if (k != lineEnd && !(k + 1 == lineEnd && text[k] == '\r'))
                return false;
        }
        at = lineEnd + 1;
    }
    return any;
}

} // namespace enable
