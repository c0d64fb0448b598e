// Hostile input through the real filters: every file of tests/crashers with the
// status and line its manifest gives, and streams cut short or stopped anywhere.

#include "support.h"

#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <set>

using testsupport::Bytes;
using testsupport::RunOptions;
using testsupport::RunResult;

namespace {

// What a hostile input may make a filter hold resident: its own buffers are
// a few MiB at most (the limits in docs/decisions.md), libcups's and the C
// library's a few more. Sanitizer builds keep freed memory in quarantine and
// the emulator of cross builds counts its own, so the bound holds only natively.
constexpr long kPeakRssLimitKb = 64 * 1024;

bool rssIsTheFilters()
{
    const char *emulator = std::getenv("FILTER_EMULATOR");
    return !FILTERS_SANITIZED && (emulator == nullptr || *emulator == '\0');
}

// One line of expected.txt.
struct Crasher {
    std::string file;    // in tests/crashers
    std::string program; // for testsupport::programPath
    std::string ppd;     // in tests/ppd; empty for none
    std::string how;     // "file": named on the command line
    int status;          // the exit status it must end with
    std::string line;    // a line that standard error must hold
};

std::string trim(const std::string &text)
{
    size_t first = text.find_first_not_of(' ');
    size_t last = text.find_last_not_of(' ');
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

std::vector<Crasher> loadManifest()
{
    std::vector<Crasher> crashers;
    std::ifstream manifest(std::string(CRASHERS_DIR) + "/expected.txt");
    std::string text;
    while (std::getline(manifest, text)) {
        if (text.empty() || text[0] == '#')
            continue;
        std::vector<std::string> fields;
        for (size_t at = 0;;) {
            size_t bar = fields.size() < 5 ? text.find(" | ", at) : std::string::npos;
            fields.push_back(trim(text.substr(at, bar == std::string::npos ? std::string::npos : bar - at)));
            if (bar == std::string::npos)
                break;
            at = bar + 3;
        }
        if (fields.size() != 6)
            continue; // reported by ManifestListsEveryInput
        crashers.push_back({fields[0], fields[1], fields[2] == "-" ? "" : fields[2], fields[3],
                            std::atoi(fields[4].c_str()), fields[5]});
    }
    return crashers;
}

// How a case shows in failure messages and test listings.
void PrintTo(const Crasher &c, std::ostream *os)
{
    *os << c.file << " through " << c.program;
}

// A readable test name: file and program, letters and digits only.
std::string caseName(const testing::TestParamInfo<Crasher> &info)
{
    std::string name = info.param.file + "_" + info.param.program;
    for (char &c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return name;
}

class CrasherReplay : public testing::TestWithParam<Crasher> {};

TEST_P(CrasherReplay, EndsWithItsStatusAndLine)
{
    const Crasher &c = GetParam();
    std::string path = std::string(CRASHERS_DIR) + "/" + c.file;
    RunOptions options;
    if (!c.ppd.empty())
        options.env.emplace_back("PPD", testsupport::ppdPath(c.ppd.c_str()));
    ASSERT_EQ(c.how, "file");
    RunResult r = testsupport::runFilter(testsupport::programPath(c.program.c_str()),
                                         {"1", "user", "title", "1", "", path}, {}, options);

    EXPECT_EQ(r.signal, 0) << r.err;
    EXPECT_EQ(r.status, c.status) << r.err;
    std::vector<std::string> lines = r.errLines();
    EXPECT_TRUE(testsupport::hasLine(lines, c.line)) << r.err;
    if (rssIsTheFilters()) {
        EXPECT_LT(r.peakRssKb, kPeakRssLimitKb);
    }
    std::printf("%s through %s: peak RSS %ld KB\n", c.file.c_str(), c.program.c_str(), r.peakRssKb);
}

INSTANTIATE_TEST_SUITE_P(Manifest, CrasherReplay, testing::ValuesIn(loadManifest()), caseName);

// Every input of the folder has a manifest line, and every line is whole.
TEST(CrasherManifest, ListsEveryInput)
{
    std::set<std::string> listed;
    for (const Crasher &c : loadManifest())
        listed.insert(c.file);
    std::ifstream manifest(std::string(CRASHERS_DIR) + "/expected.txt");
    std::string text;
    size_t lines = 0;
    while (std::getline(manifest, text))
        lines += !text.empty() && text[0] != '#';
    EXPECT_EQ(lines, loadManifest().size()) << "a line of expected.txt lacks one of its six fields";

    DIR *dir = opendir(CRASHERS_DIR);
    ASSERT_NE(dir, nullptr);
    while (dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        size_t dot = name.rfind('.');
        std::string kind = dot == std::string::npos ? "" : name.substr(dot);
        if (name[0] == '.' || kind == ".txt" || kind == ".py" || kind == ".cpp")
            continue;
        EXPECT_EQ(listed.count(name), 1u) << name << " is not in expected.txt";
    }
    closedir(dir);
}

// ---- Streams cut short or stopped ---------------------------------------------

// A small two-page job, an 8-bit grey page then a 24-bit colour page, and
// where each page's lines begin and end in it.
struct TwoPageJob {
    Bytes input;
    size_t bodyStart[2]; // offset of each page's first line
    size_t bodyEnd[2];   // offset just past each page's last line
};

TwoPageJob twoPageJob()
{
    Bytes grey(5 * 3), colour(4 * 2 * 3);
    for (size_t i = 0; i < grey.size(); i++)
        grey[i] = static_cast<uint8_t>(i % 4 == 0 ? 0x40 : 0xC0 + i);
    for (size_t i = 0; i < colour.size(); i++)
        colour[i] = static_cast<uint8_t>(i < 6 ? 0x11 : 7 * i);
    TwoPageJob job;
    job.input = testsupport::urfFileHeader(2);
    testsupport::append(job.input, testsupport::urfPageHeader(8, 0, 0, 4, 5, 3, 600));
    job.bodyStart[0] = job.input.size();
    testsupport::append(job.input, testsupport::encodeUrfPage(grey, 5, 3, 1));
    job.bodyEnd[0] = job.input.size();
    testsupport::append(job.input, testsupport::urfPageHeader(24, 1, 0, 4, 4, 2, 600));
    job.bodyStart[1] = job.input.size();
    testsupport::append(job.input, testsupport::encodeUrfPage(colour, 4, 2, 3));
    job.bodyEnd[1] = job.input.size();
    return job;
}

// The URF filters, each as the scheduler runs it.
struct UrfFilter {
    const char *program;
    const char *ppd; // null for none
};
const UrfFilter kUrfFilters[] = {{"brovane", "colour-600.ppd"}, {"calmeric", nullptr}};

RunResult runUrf(const UrfFilter &filter, const Bytes &input, RunOptions options = {})
{
    if (filter.ppd != nullptr)
        options.env.emplace_back("PPD", testsupport::ppdPath(filter.ppd));
    return testsupport::runFilter(testsupport::programPath(filter.program), {"1", "user", "title", "1", ""}, input,
                                  options);
}

bool sameHeader(const cups_page_header2_t &a, const cups_page_header2_t &b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// The job cut after every byte: no crash and no hang, a normal end (a file
// header of fewer than the magic's 7 letters is refused), and page 1 exactly
// as in the whole job once its lines are all in.
TEST(HostileStreams, EveryCutOfATwoPageJob)
{
    TwoPageJob job = twoPageJob();
    for (const UrfFilter &filter : kUrfFilters) {
        RunResult whole = runUrf(filter, job.input);
        ASSERT_EQ(whole.status, 0) << whole.err;
        std::vector<testsupport::RasterPage> full = testsupport::readRaster(whole.out);
        ASSERT_EQ(full.size(), 2u);
        std::string name = filter.program;
        for (size_t cut = 0; cut < job.input.size(); cut++) {
            SCOPED_TRACE(name + " cut after " + std::to_string(cut) + " bytes");
            RunResult r = runUrf(filter, Bytes(job.input.begin(), job.input.begin() + static_cast<long>(cut)));
            ASSERT_EQ(r.signal, 0) << r.err;
            if (cut < 7) {
                EXPECT_EQ(r.status, 1);
                EXPECT_NE(r.err.find("CRIT: (" + name + ") die(Bad File Header)"), std::string::npos) << r.err;
                continue;
            }
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_TRUE(testsupport::hasLine(r.errLines(), "DEBUG: (" + name + ") Exiting program 0")) << r.err;
            if (cut >= job.bodyEnd[0]) {
                std::vector<testsupport::RasterPage> pages = testsupport::readRaster(r.out);
                ASSERT_GE(pages.size(), 1u);
                EXPECT_TRUE(sameHeader(pages[0].header, full[0].header));
                EXPECT_EQ(pages[0].rows, full[0].rows);
            }
        }
    }
}

// SIGTERM at every point inside the two pages' lines, the filter waiting in
// a read for the next byte or at work on the last: status 0, no end of job,
// and what was written is the start of the whole job's output, nothing else.
// (A read of a header that the signal interrupts ends the job through die,
// status 1, as a failed header read does.)
TEST(HostileStreams, SigtermInsideThePagesEndsQuietly)
{
    TwoPageJob job = twoPageJob();
    for (const UrfFilter &filter : kUrfFilters) {
        RunResult whole = runUrf(filter, job.input);
        ASSERT_EQ(whole.status, 0) << whole.err;
        for (int page = 0; page < 2; page++) {
            for (size_t at = job.bodyStart[page]; at < job.bodyEnd[page]; at++) {
                SCOPED_TRACE(std::string(filter.program) + " stopped after " + std::to_string(at) + " bytes");
                RunOptions options;
                options.stdinPipe = true;
                options.oneBytePerRead = true;
                options.sigtermAfterBytes = static_cast<int>(at);
                RunResult r = runUrf(filter, job.input, options);
                EXPECT_EQ(r.signal, 0) << r.err;
                EXPECT_EQ(r.status, 0) << r.err;
                EXPECT_FALSE(testsupport::hasLine(r.errLines(), "INFO:")) << r.err;
                EXPECT_EQ(r.err.find("Exiting program"), std::string::npos) << r.err;
                EXPECT_EQ(r.err.find("Page " + std::to_string(page + 2) + " :"), std::string::npos) << r.err;
                EXPECT_LE(r.out.size(), whole.out.size());
                EXPECT_EQ(whole.out.compare(0, r.out.size(), r.out), 0) << "the output is not a prefix of the whole";
            }
        }
    }
}

} // namespace
