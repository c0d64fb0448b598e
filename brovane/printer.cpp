// The printer side of a job: the PPD and the job's options turned into the
// output page header template, and the choice of 1-bit output for grey pages.

#include "brovane/brovane.h"

#include "common/filter.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace brovane {

// The highest resolution a PPD may say phones are offered: the finest printers print 9600 dpi.
constexpr unsigned long kMaxPhoneResolution = 9600;

JobState job; // the job, for the whole run

// True when the PPD has the attribute and its value is "True" in any case.
static bool attributeIsTrue(const char *name)
{
    ppd_attr_t *attribute = ppdFindAttr(job.ppd, name, nullptr);
    return attribute != nullptr && attribute->value != nullptr && strcasecmp(attribute->value, "True") == 0;
}

void loadPrinter(int argc, char **argv)
{
    // A missing PPD is reported before a short command line is.
    const char *ppdPath = std::getenv("PPD");
    job.ppd = ppdPath != nullptr ? ppdOpenFile(ppdPath) : nullptr;
    if (job.ppd == nullptr)
        common::die("Unable to open PPD file\n");

    // Defaults first, then the job's options over them.
    cups_option_t *options = nullptr;
    int optionCount = cupsParseOptions(argc > 5 ? argv[5] : nullptr, 0, &options);
    ppdMarkDefaults(job.ppd);
    cupsMarkOptions(job.ppd, optionCount, options);
    cupsRasterInterpretPPD(&job.pageHeader, job.ppd, optionCount, options, nullptr);
    notePaperAsked(job.ppd, optionCount, options);

    // "ReceiptPrinter" decides; "BWOnly" "True" can only add to it.
    job.monochrome = 0;
    job.colorDevice = job.ppd->color_device;
    if (ppdFindAttr(job.ppd, "ReceiptPrinter", nullptr) != nullptr)
        job.monochrome = attributeIsTrue("ReceiptPrinter") ? 1 : 0;
    if (attributeIsTrue("BWOnly"))
        job.monochrome = 1;

    // Lines brovane-enable writes into a queue's PPD: its driver takes 8-bit grey (in the colour
    // space the PPD's default gives, white 255), and the resolution phones are offered, which may be
    // below the printer's. The raster PostScript build and a PPD without them are not affected.
    uint32_t space = common::fieldBits(job.pageHeader.cupsColorSpace);
    job.greySpace = space == CUPS_CSPACE_SW ? CUPS_CSPACE_SW : CUPS_CSPACE_W;
    job.greyOutput = !psOutput && attributeIsTrue("brovaneGrey");
    job.phoneResolution = 0;
    ppd_attr_t *offered = ppdFindAttr(job.ppd, "brovaneResolution", nullptr);
    if (offered != nullptr && offered->value != nullptr) {
        char *end = nullptr;
        errno = 0;
        unsigned long dpi = std::strtoul(offered->value, &end, 10);
        if (errno == 0 && end != offered->value && *end == '\0' && dpi > 0 && dpi <= kMaxPhoneResolution)
            job.phoneResolution = static_cast<uint32_t>(dpi);
    }

    job.deviceResolution[0] = job.pageHeader.HWResolution[0];
    job.deviceResolution[1] = job.pageHeader.HWResolution[1];
    common::message("DEBUG: (brovane) Emit code ready: %d\n", 0);

    char *code = ppdEmitString(job.ppd, PPD_ORDER_ANY, 0.0f);
    if (code == nullptr) {
        common::message("DEBUG: (brovane) EmitString is null %d\n", 0);
    } else {
        common::message("DEBUG: (brovane) Starting meta gather, %d\n", static_cast<int>(std::strlen(code)));
        gatherMeta(code, job.pageHeader);
        common::message("DEBUG: (brovane) Done with meta gather, %d\n", 0);
        std::free(code);
    }
    // A driver whose PPD leaves copies to the printer (no *cupsManualCopies:
    // True) has it make them from the page header; with manual copies the
    // header asks for one and brovane, the first filter, writes them all.
    uint32_t copies = common::copiesAsked(argc, argv);
    bool manual = job.ppd->manual_copies != 0;
    job.headerCopies = manual ? 1 : copies;
    job.filterCopies = manual && !psOutput ? copies : 1;
    job.jobDuplex = job.pageHeader.Duplex;
    job.jobTumble = job.pageHeader.Tumble;
    cupsFreeOptions(optionCount, options);
}

} // namespace brovane
