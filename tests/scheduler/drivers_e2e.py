# Real printer drivers behind brovane: queues of the scheduler's own sample
# raster drivers and of the drivers people own (hpcups, brlaser, escpr,
# gutenprint), made to take URF and PWG raster jobs with brovane-enable,
# printed to by an IPP client over loopback TCP in every form they advertise; the sample drivers'
# device output checked against the drivers run by hand on brovane's output,
# the others' by brovane run by hand as the scheduler ran it and by the
# driver's own commands where PCL and PJL make that easy. Then where the ink
# lands: on each queue a phone's pages of several papers (a frame 0.25 in
# inside the sheet's edge), against Ghostscript's cups device's pages of the
# same sheets sent through the same queue, the drivers' output decoded
# (PCL, brlaser, ESC/P-R, Dymo) or compared byte for byte.
#
# python3 drivers_e2e.py --filter-dir DIR --enable PROGRAM --mime-dir DIR --jobstate JOBSTATE
#                        --rasterpages RASTERPAGES
#
# The filter folder and MIME files are the installed package's (or a
# `cmake --install` prefix's). The driver programs rastertolabel,
# rastertoepson and rastertohp are taken out of Debian's cups package
# (apt-get download, dpkg-deb -x) and nothing else of it is kept or run; the
# PPDs are compiled with ppdc from the sample driver file of cups-common.
# hpcups and rastertogutenprint (with gutenprint's PPD generator) are taken
# out of their packages the same way, which depend on the scheduler's full
# package; their libraries (libhpmud0, libgutenprint9) and the brlaser and
# escpr packages must be installed.
#
# Exit status: 0 passed, 1 failed, 77 skipped (a tool or the drivers are missing).

import argparse
import ctypes
import gzip
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from privatecups import (  # noqa: E402
    TOOLS, find_tools, Failure, Skip, log, check, run, run_test, clean_up, Scheduler, add_queue, wait_job,
    download_packages)
import drivermedia  # noqa: E402

DRIVERS = ("rastertolabel", "rastertoepson", "rastertohp")
SAMPLE_DRV = "/usr/share/cups/drv/sample.drv"
ENABLED = ("zebra", "dymo", "laserjet")  # ZPL label, Dymo label, PCL laser: 1-bit black drivers
REFUSED = ("deskjet", "epson9", "generic")  # banded CMYK, 120x72 dpi, PostScript
# Queues of the drivers people own: (queue, the PPD's origin, its name there,
# the driver program(s) the scheduler needs).
REAL = (
    ("hp-laserjet", "hpcups", "hp-laserjet_1320.ppd", ("hpcups",)),
    ("hp-envy", "hpcups", "hp-envy_5000_series.ppd", ("hpcups",)),
    ("hp-deskjet", "hpcups", "hp-deskjet_3700_series.ppd", ("hpcups",)),  # the PPD asks for RGBW
    ("brother", "brlaser", "brl2340d.ppd", ("rastertobrlaser",)),
    ("epson", "escpr", "escpr:0/cups/model/epson-inkjet-printer-escpr/Epson-ET-2750_Series-epson-escpr-en.ppd",
     ("epson-escpr-wrapper", "epson-escpr")),
    ("canon", "gutenprint", "gutenprint.5.3://bjc-PIXMA-MG5100", ("rastertogutenprint.5.3",)),
    # A grey laser (8-bit grey driver), and printers whose resolution differs across and down.
    ("hp-lj1010", "gutenprint", "gutenprint.5.3://hp-lj_1010", ("rastertogutenprint.5.3",)),
    ("hp-dj1000", "hpcups", "hp-deskjet_1000_j110_series.ppd", ("hpcups",)),  # 600x300 dpi
    ("epson-c88", "gutenprint", "gutenprint.5.3://escp2-c88", ("rastertogutenprint.5.3",)),  # 720x360 dpi
)
REAL_PACKAGES = ("printer-driver-hpcups", "printer-driver-gutenprint")  # taken apart, not installed
REAL_LIBRARIES = ("libhpmud0", "libgutenprint9", "printer-driver-brlaser", "printer-driver-escpr")
QUALITIES = {"draft": 3, "normal": 4, "high": 5}



def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


# ---- Drivers, PPDs and inputs ---------------------------------------------

def unpack_packages(unpack, names):
    """apt-get download of the packages into `unpack`, each taken apart into unpack/root."""
    os.makedirs(unpack)
    debs, why = download_packages(unpack, names)
    if debs is None:
        raise Skip(why)
    for deb in debs.values():
        run(["dpkg-deb", "-x", deb, os.path.join(unpack, "root")])


def fetch_drivers(work):
    """The three sample drivers out of Debian's cups package, in work/drivers."""
    target = os.path.join(work, "drivers")
    os.makedirs(target)
    unpack = os.path.join(work, "cups-package")
    unpack_packages(unpack, ["cups"])
    for name in DRIVERS:
        shutil.copy(os.path.join(unpack, "root", "usr", "lib", "cups", "filter", name), os.path.join(target, name))
        os.chmod(os.path.join(target, name), 0o755)
    # Nothing else of the package stays: it holds other URF converters.
    shutil.rmtree(unpack)
    return target


def fetch_real_drivers(work, filters):
    """The real drivers in the filter folder and their PPDs in work/real-ppd:
    hpcups and gutenprint taken out of their packages, brlaser and escpr as
    installed."""
    missing = [name for name in REAL_LIBRARIES
               if run(["dpkg-query", "-W", "-f=${Status}", name], check_status=False).stdout.decode()
               != "install ok installed"]
    if missing:
        raise Skip("not installed: " + ", ".join(missing))
    unpack = os.path.join(work, "real-packages")
    unpack_packages(unpack, REAL_PACKAGES)
    root = os.path.join(unpack, "root")
    ppds = os.path.join(work, "real-ppd")
    os.makedirs(ppds)
    made = {}
    for queue, origin, name, programs in REAL:
        for program in programs:
            source = os.path.join(root, "usr/lib/cups/filter", program)
            if not os.path.exists(source):
                source = os.path.join("/usr/lib/cups/filter", program)
            shutil.copy(source, os.path.join(filters, program))
            os.chmod(os.path.join(filters, program), 0o755)
        if origin in ("hpcups", "brlaser"):
            drv = {"hpcups": os.path.join(root, "usr/share/cups/drv/hpcups.drv"),
                   "brlaser": "/usr/share/cups/drv/brlaser.drv"}[origin]
            if origin not in made:
                run([TOOLS["ppdc"], "-d", os.path.join(ppds, origin), drv])
                made[origin] = True
            shutil.copy(os.path.join(ppds, origin, name), os.path.join(ppds, queue + ".ppd"))
        else:
            # The packages' PPD generators, as the scheduler's lpinfo runs them.
            generator = {"escpr": "/usr/lib/cups/driver/escpr",
                         "gutenprint": os.path.join(root, "usr/lib/cups/driver/gutenprint.5.3")}[origin]
            with open(os.path.join(ppds, queue + ".ppd"), "wb") as f:
                f.write(run([generator, "cat", name]).stdout)
    return ppds


def whole_sheets(ppd):
    """Whether a PPD's text calls any size's imageable area its whole sheet."""
    text = ppd.decode("latin-1")
    sheets = dict(re.findall(r'^\*PaperDimension ([^/:\s]+)[^:]*:\s*"([\d.]+ [\d.]+)"', text, re.M))
    for name, area in re.findall(r'^\*ImageableArea ([^/:\s]+)[^:]*:\s*"([\d.\s]+)"', text, re.M):
        edges = [float(v) for v in area.split()]
        if name in sheets and edges[:2] == [0, 0] and edges[2:] == [float(v) for v in sheets[name].split()]:
            return True
    return False


def ppd_defaults(path):
    """Default page size in points and default resolution of a PPD."""
    text = read_bytes(path).decode("latin-1")
    size = re.search(r"^\*DefaultPageSize: (\S+)", text, re.M).group(1)
    width, height = re.search(r'^\*PaperDimension %s(?:/[^:]*)?:\s*"([\d.]+) ([\d.]+)"' % re.escape(size), text,
                              re.M).groups()
    resolution = re.search(r"^\*DefaultResolution: (\d+)", text, re.M)
    return float(width), float(height), int(resolution.group(1)) if resolution else None


DOCUMENT = """%!PS
/Helvetica findfont 14 scalefont setfont
1 1 {pages} {{ /n exch def
  0 setgray 8 8 moveto (Label ) show n 3 string cvs show
  0.5 setgray 8 30 n 30 mul 12 rectfill
  0 setgray 2 setlinewidth 4 4 moveto 120 80 lineto stroke
  showpage }} for
"""


# PWG raster types as Ghostscript's pwgraster device makes them: colour
# space and bits per colour.
PWG_TYPES = {"black_1": (3, 1), "sgray_8": (18, 8), "srgb_8": (19, 8)}


def grey_urf(work, name, width_pt, height_pt, resolution, pages, colour=False, sides="one-sided", pwg=None):
    """A URF job as an iPhone sends it: grey (W8) or sRGB (SRGB24) pages, each
    page's header naming the sides; with `pwg` (a PWG_TYPES name) the PWG
    raster an Android phone sends instead."""
    source = os.path.join(work, name + ".ps")
    with open(source, "w") as f:
        f.write(DOCUMENT.format(pages=pages))
    out = os.path.join(work, name + (".pwg" if pwg else ".urf"))
    duplex = {"one-sided": [], "two-sided-long-edge": ["-dDuplex=true"],
              "two-sided-short-edge": ["-dDuplex=true", "-dTumble=true"]}[sides]
    space, bits = PWG_TYPES[pwg] if pwg else (19 if colour else 18, 8)
    run([TOOLS["gs"], "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=" + ("pwgraster" if pwg else "urf"),
         "-dcupsColorSpace=%d" % space, "-dcupsBitsPerColor=%d" % bits, "-r%d" % resolution,
         "-dDEVICEWIDTHPOINTS=%s" % width_pt, "-dDEVICEHEIGHTPOINTS=%s" % height_pt, "-dFIXEDMEDIA"] + duplex +
        ["-sOutputFile=" + out, source])
    return out


# ---- The IPP client ----------------------------------------------------------

# The attributes every request starts with.
HEADER = """  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri printer-uri $uri
"""

GET_ATTRIBUTES = """{
  OPERATION Get-Printer-Attributes
""" + HEADER + """  ATTR keyword requested-attributes document-format-supported,urf-supported,print-quality-supported,sides-supported,media-ready,media-default,pwg-raster-document-resolution-supported,pwg-raster-document-type-supported
  STATUS successful-ok
  DISPLAY document-format-supported
  DISPLAY urf-supported
  DISPLAY print-quality-supported
  DISPLAY sides-supported
  DISPLAY media-ready
  DISPLAY media-default
  DISPLAY pwg-raster-document-resolution-supported
  DISPLAY pwg-raster-document-type-supported
}
"""

PRINT_JOB = """{
  OPERATION Print-Job
""" + HEADER + """  ATTR name requesting-user-name tester
  ATTR name job-name $filename
  ATTR mimeMediaType document-format $format
  FILE $filename
  STATUS successful-ok
  DISPLAY job-id
}
"""

# Print-Job of a gzip-compressed document, as the scheduler offers it.
PRINT_GZIP = PRINT_JOB.replace("document-format $format", "document-format $format\n  ATTR keyword compression gzip")
# Print-Job with copies 3, as a phone asks for them.
PRINT_COPIES = PRINT_JOB.replace("  FILE $filename", "  GROUP job-attributes-tag\n  ATTR integer copies 3\n  FILE $filename")
# Print-Job with what a phone's print dialog sets.
PRINT_FORM = PRINT_JOB.replace("  FILE $filename", """  GROUP job-attributes-tag
  ATTR enum print-quality $quality
  ATTR keyword print-color-mode $mode
  ATTR keyword sides $sides
  ATTR integer copies $copies
  FILE $filename""")

CREATE_AND_SEND = """{
  OPERATION Create-Job
""" + HEADER + """  ATTR name requesting-user-name tester
  STATUS successful-ok
  DISPLAY job-id
}
{
  OPERATION Send-Document
""" + HEADER + """  ATTR integer job-id $job-id
  ATTR name requesting-user-name tester
  ATTR mimeMediaType document-format $format
  ATTR boolean last-document true
  FILE $filename
  STATUS successful-ok
}
"""

CANCEL_JOB = """{
  OPERATION Cancel-Job
""" + HEADER + """  ATTR integer job-id $job
  ATTR name requesting-user-name tester
  STATUS successful-ok
}
"""


class Client:
    def __init__(self, work, port, env):
        self.port = port
        self.env = env
        self.tests = {}
        for name, text in (("attributes", GET_ATTRIBUTES), ("print", PRINT_JOB), ("copies", PRINT_COPIES), ("gzip", PRINT_GZIP),
                           ("form", PRINT_FORM),
                           ("create", CREATE_AND_SEND), ("cancel", CANCEL_JOB)):
            self.tests[name] = os.path.join(work, name + ".test")
            with open(self.tests[name], "w") as f:
                f.write(text)

    def uri(self, queue):
        return "ipp://127.0.0.1:%d/printers/%s" % (self.port, queue)

    def argv(self, test, queue, path=None, extra=()):
        argv = [TOOLS["ipptool"], "-t", "-T", "60"]
        if path:
            argv += ["-f", path]
        return argv + list(extra) + [self.uri(queue), self.tests[test]]

    def attributes(self, queue):
        """document-format-supported, urf-supported, print-quality-supported, sides-supported, media-ready,
        media-default, pwg-raster-document-resolution-supported, pwg-raster-document-type-supported."""
        # Some drivers' PPDs leave the scheduler an empty media-default, which
        # ipptool fails as a bad keyword: the values are read all the same.
        out = run(self.argv("attributes", queue), env=self.env, check_status=False).stdout.decode()
        check("document-format-supported" in out, "no attributes of %s: %s" % (queue, out))
        values = []
        for name in ("document-format-supported", "urf-supported", "print-quality-supported", "sides-supported",
                     "media-ready", "media-default", "pwg-raster-document-resolution-supported",
                     "pwg-raster-document-type-supported"):
            match = re.search(r"%s \([^)]*\) = (\S+)" % name, out)
            values.append(match.group(1).split(",") if match else [])
        return values

    def submit(self, test, queue, path, form=None):
        extra = ["-d", "format=" + ("image/pwg-raster" if path.endswith(".pwg") else "image/urf")]
        for name, value in (form or {}).items():
            extra += ["-d", "%s=%s" % (name, value)]
        out = run(self.argv(test, queue, path, extra), env=self.env).stdout.decode()
        return int(re.search(r"job-id \(integer\) = (\d+)", out).group(1))

    def cancel(self, queue, job):
        run(self.argv("cancel", queue, extra=["-d", "job=%d" % job]), env=self.env)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def check_invites(queue, before, formats, ready, default, width_pt):
    """An enabled queue invites only what prints right: image/urf and
    image/pwg-raster and none of the package's own types among its formats; a
    receipt or label printer (default page under 4.5 inches wide) offers no
    loaded paper but its own."""
    check("image/urf" in formats and "image/pwg-raster" in formats and
          not [f for f in formats if "printfilters" in f], "%s takes %s" % (queue, formats))
    if width_pt < 324:
        check(set(ready) <= set(default), "%s offers media-ready %s, it holds %s" % (queue, ready, default))
    log("  %s: document-format-supported %s -> %s; media-ready %s -> %s (media-default %s)" % (
        queue, ",".join(before[0]), ",".join(formats), ",".join(before[4]) or "none", ",".join(ready) or "none",
        ",".join(default)))


# ---- What the printers received ------------------------------------------------

def by_hand(brovane, driver, ppd, urf, work, name, copies="1"):
    """What the driver writes from brovane's output, both run as the scheduler runs them."""
    env = {"PATH": "/usr/bin:/bin", "PPD": ppd, "LANG": "C"}
    raster = os.path.join(work, name + ".ras")
    out = os.path.join(work, name + ".out")
    with open(urf, "rb") as src, open(raster, "wb") as dst:
        check(subprocess.run([brovane, "1", "tester", name, copies, ""], stdin=src, stdout=dst,
                             stderr=subprocess.DEVNULL, env=env, timeout=120).returncode == 0, "brovane failed")
    with open(raster, "rb") as src, open(out, "wb") as dst:
        check(subprocess.run([driver, "1", "tester", name, copies, ""], stdin=src, stdout=dst,
                             stderr=subprocess.DEVNULL, env=env, timeout=120).returncode == 0, driver + " failed")
    return read_bytes(out)


def true_size(queue, data, ppd, resolution, pages):
    """Checks that the driver's output is the job's pages at the width of the
    default paper's imageable area (the whole label where it has no margins)."""
    dots = imageable_dots(ppd, resolution)[0]
    width_pt = dots * 72 / resolution
    row_bytes = (dots + 7) // 8
    if queue == "zebra":
        # ZPL: one ~DG graphic and one ^XA ... ^XZ format a label; the
        # graphic is the page's width in bytes of 8 dots.
        graphics = re.findall(rb"~DGR:CUPS\.GRF,(\d+),(\d+),", data)
        check(len(graphics) == pages, "%d ZPL graphics for %d pages" % (len(graphics), pages))
        check(all(int(w) == row_bytes for _, w in graphics), "ZPL rows of %s bytes, not %d" % (graphics, row_bytes))
        return "%d labels, rows of %d dots (%.2f in at %d dpi)" % (pages, row_bytes * 8, width_pt / 72, resolution)
    if queue == "dymo":
        # Dymo: ESC D n sets n bytes a line; each page ends with ESC E.
        widths = set(re.findall(rb"\x1bD(.)", data, re.S))
        check(widths == {bytes([row_bytes])}, "Dymo line widths %s, not %d bytes" % (widths, row_bytes))
        count = data.count(b"\x1bE")
        check(count == pages, "%d Dymo label ends for %d pages" % (count, pages))
        return "%d labels, lines of %d bytes (%.2f in at %d dpi)" % (pages, row_bytes, width_pt / 72, resolution)
    # PCL: ESC*t<n>R gives the raster resolution, ESC*r<n>S the raster width
    # in pixels, and each page's raster starts with ESC*r<n>A.
    widths, resolutions, count = pcl_pages(data)
    check(widths == {dots}, "PCL raster widths %s, not %d" % (widths, dots))
    check(resolutions == {resolution}, "PCL resolutions %s, not %d" % (resolutions, resolution))
    check(count == pages, "%d PCL pages, not %d" % (count, pages))
    return "%d pages of %d pixels at %d dpi (%.2f in)" % (pages, dots, resolution, dots / resolution)


def copies_made(queue, data, pages):
    """How the driver's output asks for the copies of a job of `pages` pages:
    the printer told to make them (ZPL ^PQ, PCL ESC&l<n>X), or the pages
    repeated (the Dymo driver leaves copies to the filters before it)."""
    if queue == "zebra":
        counts = set(int(n) for n in re.findall(rb"\^PQ(\d+),", data))
        return counts.pop() if len(counts) == 1 else -1
    if queue == "dymo":
        ends = data.count(b"\x1bE")
        return ends // pages if ends % pages == 0 else -1
    counts = set(int(n) for n in re.findall(rb"\x1b&l(\d+)X", data))
    return counts.pop() if len(counts) == 1 else -1


def pcl_pages(data):
    """Raster widths, raster resolutions and raster starts (one a page) of a
    PCL stream, the bytes of each row (ESC*b<n>W and n bytes) skipped."""
    widths, resolutions, starts = set(), set(), 0
    at = 0
    command = re.compile(rb"\x1b([&*])([a-z])((?:[-+]?[\d.]+[a-z])*[-+]?[\d.]*[A-Z@])")
    while at < len(data):
        match = command.match(data, at) if data[at] == 0x1B else None
        if match is None:
            at += 1
            continue
        at = match.end()
        for value, letter in re.findall(rb"([-+]?[\d.]*)([a-zA-Z@])", match.group(3)):
            letter = letter.upper()
            key = match.group(1) + match.group(2) + letter
            if key == b"*rS":
                widths.add(int(value))
            elif key == b"*tR":
                resolutions.add(int(value))
            elif key == b"*rA":
                starts += 1
            elif key in (b"*bW", b"*bV"):
                at += int(value or 0)
    return widths, resolutions, starts


def logged_arguments(sched, job):
    """argv[4] (copies) and argv[5] (options) of the job's filters, as the scheduler logged them."""
    args = {}
    for _, message in sched.job_log(job):
        match = re.match(r'argv\[(\d)\]="(.*)"$', message)
        if match:
            args.setdefault(int(match.group(1)), match.group(2))
    return args.get(4, "1"), args.get(5, "")


def check_real_job(sched, args, queue, ppd, programs, job, form, urf_file, inches, pages, manual):
    """A job on a real driver's queue: completed through brovane (brovane-pwg
    for PWG raster) then the driver with no error line, and that filter, run
    by hand as the scheduler ran it, writes pages of the imageable area of
    the queue's default paper (the job's) on the sides and in the copies
    asked."""
    state = wait_job(sched, args.jobstate, job, 180)
    check(state == "completed", "job %d on %s (%s) ended %s:\n%s" % (job, queue, form, state, sched.tail()))
    chain, lines = filters_of(sched, job)
    ours = "brovane-pwg" if urf_file.endswith(".pwg") else "brovane"
    check(chain == [ours, programs[0]], "job %d on %s ran %s" % (job, queue, lines))
    entries = sched.job_log(job)
    errors = [m for level, m in entries if level == "E"]
    check(not errors, "job %d on %s (%s) logged errors: %s" % (job, queue, form, errors[:5]))
    # The driver's own count of the sheets' sides it printed, where it reports them.
    driver_pages = [m for _, m in entries if re.match(r"PAGE: \d+ \d+$", m)]
    copies, options = logged_arguments(sched, job)
    raster = os.path.join(os.path.dirname(urf_file), "%s-%d.ras" % (queue, job))
    env = {"PATH": "/usr/bin:/bin", "PPD": ppd, "LANG": "C"}
    with open(urf_file, "rb") as src, open(raster, "wb") as dst:
        check(subprocess.run([os.path.join(args.filter_dir, ours), str(job), "tester", "t", copies, options],
                             stdin=src, stdout=dst, stderr=subprocess.DEVNULL, env=env, timeout=120).returncode == 0,
              "%s by hand on job %d failed" % (ours, job))
    written = []
    for line in run([args.rasterpages, raster]).stdout.decode().splitlines():
        words = line.split()
        written.append({words[i]: int(words[i + 1]) for i in range(0, len(words), 2)})
    os.unlink(raster)
    asked = int(form.get("copies", 1))
    two_sided = form.get("sides", "one-sided") != "one-sided"
    want_pages = pages * (asked if manual else 1)
    check(len(written) == want_pages, "job %d on %s (%s): %d pages written, not %d" % (
        job, queue, form, len(written), want_pages))
    check(not driver_pages or len(driver_pages) == want_pages, "job %d on %s (%s): the driver printed %d pages, "
          "not %d" % (job, queue, form, len(driver_pages), want_pages))
    for page in written:
        area = imageable_dots(ppd, page["xResolution"], down=page["yResolution"])
        check(abs(page["width"] - area[0]) <= 1 and abs(page["height"] - area[1]) <= 1,
              "job %d on %s (%s): pages of %d x %d dots, the imageable area of the job's %.2f x %.2f in paper is "
              "%d x %d" % (job, queue, form, page["width"], page["height"], inches[0], inches[1], area[0], area[1]))
        check(page["duplex"] == int(two_sided) and
              page["tumble"] == int(form.get("sides") == "two-sided-short-edge"),
              "job %d on %s (%s): duplex %d tumble %d" % (job, queue, form, page["duplex"], page["tumble"]))
        check(page["copies"] == (1 if manual else asked), "job %d on %s (%s): NumCopies %d" % (
            job, queue, form, page["copies"]))
    return written[0]


def pcl_checks(queue, data, form, dots, resolution, down=None):
    """What the PCL and PJL of hpcups and brlaser say about a job: the raster
    width (`dots`, the paper's imageable width) and resolution (hpcups: one
    of the printer's across and `down`, which hpcups states for 600x300),
    the resolution (brlaser), the sides, and the copies brlaser has the
    printer make."""
    two_sided = form.get("sides", "one-sided") != "one-sided"
    duplex = re.search(rb"\x1b&l[12]S|@PJL SET DUPLEX=ON", data) is not None
    check(duplex == two_sided, "%s (%s): duplex command %s in the driver's output" % (
        queue, form, "present" if duplex else "missing"))
    if queue.startswith("hp-"):
        widths, resolutions, _ = pcl_pages(data)
        check(widths == {dots} and len(resolutions) == 1 and resolutions <= {resolution, down or resolution},
              "%s (%s): PCL raster widths %s at %s dpi, not %d at %d" % (queue, form, widths, resolutions, dots,
                                                                      resolution))
    else:
        check(re.findall(rb"@PJL SET RESOLUTION = (\d+)", data) == [b"%d" % resolution],
              "%s (%s): PJL resolution %s" % (queue, form, re.findall(rb"@PJL SET RESOLUTION = (\d+)", data)))
        copies = re.findall(rb"\x1b&l(\d+)X", data)
        check(set(copies) == {b"%d" % int(form.get("copies", 1))}, "%s (%s): copies %s" % (queue, form, copies))


def filters_of(sched, job):
    """The programs of the job's chain, from its "filters for job" lines."""
    entries = sched.job_log(job)
    for i, (_, message) in enumerate(entries):
        if re.match(r"\d+ filters for job:$", message):
            count = int(message.split()[0])
            return [m.split(" ")[0] for _, m in entries[i + 1:i + 1 + count]], \
                [m for _, m in entries[i + 1:i + 1 + count]]
    return [], []


class JobDevice:
    """A FIFO that stands for a printer: the bytes of every job, in the
    order the scheduler sent them. It is held open for reading and writing,
    so a job's open always finds a reader and no job's end cuts the stream."""

    def __init__(self, path):
        os.mkfifo(path, 0o666)
        os.chmod(path, 0o666)
        self.fd = os.open(path, os.O_RDWR)
        self.data = bytearray()
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self.loop, daemon=True)
        self.thread.start()

    def loop(self):
        while True:
            chunk = os.read(self.fd, 65536)
            with self.lock:
                self.data += chunk

    def received(self):
        with self.lock:
            return bytes(self.data)

    def settle(self, start, seconds=10):
        """The bytes after `start` once the stream stops growing for half a second."""
        deadline = time.monotonic() + seconds
        size = -1
        while time.monotonic() < deadline and len(self.received()) != size:
            size = len(self.received())
            time.sleep(0.5)
        return self.received()[start:]

    def wait_for(self, size, seconds=10):
        deadline = time.monotonic() + seconds
        while len(self.received()) < size and time.monotonic() < deadline:
            time.sleep(0.05)
        return self.received()


class PeakMemory:
    """Samples the peak resident memory (VmHWM) of every running process of
    the given programs, every 5 ms, until stopped."""

    def __init__(self, names):
        self.names = names
        self.peak = {name: 0 for name in names}
        self.running = True
        self.thread = threading.Thread(target=self.loop, daemon=True)
        self.thread.start()

    def loop(self):
        while self.running:
            for pid in os.listdir("/proc"):
                if not pid.isdigit():
                    continue
                try:
                    with open("/proc/%s/status" % pid) as f:
                        status = f.read()
                except OSError:
                    continue
                name = re.search(r"^Name:\s+(\S+)", status, re.M)
                hwm = re.search(r"^VmHWM:\s+(\d+) kB", status, re.M)
                if name and hwm and name.group(1) in self.peak:
                    self.peak[name.group(1)] = max(self.peak[name.group(1)], int(hwm.group(1)))
            time.sleep(0.005)

    def stop(self):
        self.running = False
        self.thread.join(5)
        return self.peak


# ---- Where the ink lands -----------------------------------------------------
#
# A phone renders the sheet it was offered (one entry of the queue's
# media-col-database) and sends it with that media-col. The same page, rendered
# by Ghostscript's cups device with the queue's PPD and the options the
# scheduler passed, is what the driver was written for: sent through the same
# queue as CUPS raster, it says where the driver puts the ink. The phone's job
# must put it there too, at the same size.

FRAME = """%!PS
% A frame 2.4 pt wide whose outer edge is 0.25 in inside the edge of a
% {w} x {h} pt sheet, and on sheets over 2 in each way a second one 0.75 in
% inside, which printers with margins over 0.25 in print whole. The sheet's
% top-left corner is the page's, whatever height the page device was given.
% Edges on whole pixels at 300, 360 and 600 dpi, filled by pixel centres: so
% the phone's page cut at the nearest whole pixel and the page drawn from a
% margin of a fraction of a pixel cover the same pixels.
0 0 .setfilladjust2
0 currentpagedevice /PageSize get 1 get {h} sub translate
0 setgray
/frame {{ /t exch def /d exch def
  d d t {h} d 2 mul sub rectfill
  {w} d sub t sub d t {h} d 2 mul sub rectfill
  d d {w} d 2 mul sub t rectfill
  d {h} d sub t sub {w} d 2 mul sub t rectfill }} def
18 2.4 frame
{w} 144 gt {h} 144 gt and {{ 54 2.4 frame }} if
showpage
"""


def ppd_papers(path):
    """The PPD's papers {name: (width, height, (left, bottom, right, top))} in
    points, its default paper's name, and its custom size's largest width and
    height (0 where it has none)."""
    text = read_bytes(path).decode("latin-1")
    papers = {}
    for name, w, h in re.findall(r'^\*PaperDimension ([^/:\s]+)(?:/[^:]*)?:\s*"([\d.]+) ([\d.]+)"', text, re.M):
        area = re.search(r'^\*ImageableArea %s(?:/[^:]*)?:\s*"([\d.]+) ([\d.]+) ([\d.]+) ([\d.]+)"' % re.escape(name),
                         text, re.M)
        papers[name] = (float(w), float(h), tuple(float(v) for v in area.groups()) if area else
                        (0.0, 0.0, float(w), float(h)))
    custom = [float(re.search(r"^\*ParamCustomPageSize %s:\s*\d+ points [\d.]+ ([\d.]+)" % k, text, re.M).group(1))
              if re.search(r"^\*ParamCustomPageSize %s:" % k, text, re.M) else 0.0 for k in ("Width", "Height")]
    return papers, re.search(r"^\*DefaultPageSize: (\S+)", text, re.M).group(1), custom


def imageable_dots(path, resolution, name=None, down=None):
    """Width and height in dots of a PPD paper's imageable area (the default paper's without `name`), at
    `resolution` (across and, without `down`, down)."""
    papers, default, _ = ppd_papers(path)
    left, bottom, right, top = papers[name or default][2]
    return round((right - left) * resolution / 72), round((top - bottom) * (down or resolution) / 72)


class PPDCode:
    """The PostScript that libcups' ppdEmitString gives for a PPD's options as
    a job marks them (its defaults, then the job's options): what a
    PostScript job's setup runs on the printer, and what Ghostscript's cups
    device needs to be told, as it runs no option code of its own."""

    def __init__(self):
        cups = self.cups = ctypes.CDLL("libcups.so.2")
        self.libc = ctypes.CDLL("libc.so.6")
        cups.ppdOpenFile.restype = ctypes.c_void_p
        cups.ppdOpenFile.argtypes = [ctypes.c_char_p]
        cups.ppdEmitString.restype = ctypes.c_void_p
        cups.ppdEmitString.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_float]
        cups.cupsParseOptions.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(ctypes.c_void_p)]
        cups.cupsMarkOptions.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p]
        cups.ppdMarkDefaults.argtypes = [ctypes.c_void_p]
        cups.ppdClose.argtypes = [ctypes.c_void_p]
        cups.cupsFreeOptions.argtypes = [ctypes.c_int, ctypes.c_void_p]
        self.libc.free.argtypes = [ctypes.c_void_p]

    def code(self, ppd_path, options):
        ppd = self.cups.ppdOpenFile(ppd_path.encode())
        check(ppd, "libcups can't read %s" % ppd_path)
        self.cups.ppdMarkDefaults(ppd)
        parsed = ctypes.c_void_p()
        count = self.cups.cupsParseOptions(options.encode(), 0, ctypes.byref(parsed))
        self.cups.cupsMarkOptions(ppd, count, parsed)
        code = b""
        # Any order, document setup, prolog, then page setup, as a spooler
        # emits them ahead of a page.
        for section in (0, 1, 5, 4):
            text = self.cups.ppdEmitString(ppd, section, 0.0)
            if text:
                code += ctypes.string_at(text)
                self.libc.free(text)
        self.cups.cupsFreeOptions(count, parsed)
        self.cups.ppdClose(ppd)
        return code


def page_device_options(code):
    """Ghostscript options for the page device values of option code that
    its setpagedevice drops: MediaPosition, MediaType and the like select
    among the device's input trays there (none match, nothing is set), while
    a printer's driver reads them from the page header as the options set
    them. The last value of each key counts, as in the code."""
    options = []
    text = code.decode("latin-1")
    for key in ("MediaClass", "MediaColor", "MediaType", "OutputType"):
        found = re.findall(r"/%s\s*\(([^)]*)\)" % key, text)
        if found:
            options.append("-s%s=%s" % (key, found[-1]))
    # A setpagedevice whose media selection fails drops the whole request,
    # its cups keys with it.
    for key in ("MediaPosition", "MediaWeight", "cupsMediaType"):
        found = re.findall(r"/%s\s+(-?\d+)" % key, text)
        if found:
            options.append("-d%s=%s" % (key, found[-1]))
    # hpcups sets its resolution in the same request as OutputType, which
    # the device drops: the resolution is given outright.
    found = re.findall(r"/HWResolution\s*\[\s*(\d+)\s+(\d+)\s*\]", text)
    if found:
        options.append("-r%sx%s" % found[-1])
    return options


def bit_runs(line, offset=0):
    """The runs of set bits of a row of 1-bit pixels: [(first, last)] dots."""
    bits = bin(int.from_bytes(bytes(line), "big") | (1 << len(line) * 8))[3:]
    return [(offset + m.start(), offset + m.end() - 1) for m in re.finditer("1+", bits)]


def pcl_ink(data, colour=False):
    """The ink of each page of a PCL raster stream (hpcups, rastertohp):
    {row: [(first, last) dots of each run of ink]}, rows counted from the
    page's top as the vertical cursor (ESC*p#Y) and skipped rows (ESC*b#Y)
    place them, columns from the raster's left. Black rows in compression
    modes 0 (none), 1 (run length), 2 (TIFF) and 3 (delta row); with
    `colour`, hpcups' RGB rows of its inkjets (mode 10, the last plane of
    each row; its black plane must be empty)."""
    pages, box = [], {}
    cursor_y, row, mode, seed, raster = 0, 0, 0, bytearray(), False
    width = 0
    at = 0
    command = re.compile(rb"\x1b([!-/])([`-~])((?:[-+]?[\d.]*[`-~])*)([-+]?[\d.]*)([@-^])")
    while at < len(data):
        byte = data[at]
        if byte == 0x0C:  # form feed: the page is out
            pages.append(box)
            box, raster = {}, False
            at += 1
            continue
        if byte != 0x1B:
            at += 1
            continue
        match = command.match(data, at)
        if match is None:
            at += 2
            continue
        at = match.end()
        group = match.group(1) + match.group(2)
        parts = re.findall(rb"([-+]?[\d.]*)([`-~])", match.group(3)) + [(match.group(4), match.group(5))]
        for value, letter in parts:
            key = group + letter.upper()
            number = int(float(value)) if value not in (b"", b"+", b"-") else 0
            if key == b"*rS":
                width = number
            if key == b"*pY":
                # hpcups moves the cursor down to the page's first row after
                # starting the raster.
                cursor_y = number if value[:1] not in (b"+", b"-") else cursor_y + number
                row, seed = cursor_y, bytearray()
            elif key == b"*rA":
                row, seed, raster = cursor_y, bytearray(), True
            elif key == b"*bM":
                mode = number
            elif key == b"*bY":
                row += number
                seed = bytearray()
            elif colour and key in (b"*bW", b"*bV"):
                payload = data[at:at + number]
                at += number
                check(key == b"*bW" or not payload, "hpcups put ink in its black plane, which this test does not read")
                if key == b"*bW":
                    seed = mode10_row(payload, seed or [0xFFFFFF] * width)
                    marks = "".join("0" if pixel == 0xFFFFFF else "1" for pixel in seed)
                    runs = [(m.start(), m.end() - 1) for m in re.finditer("1+", marks)]
                    if runs:
                        box[row] = runs
                    row += 1
            elif key in (b"*bW", b"*bV"):
                payload = data[at:at + number]
                at += number
                line = pcl_row(mode, payload, seed)
                seed = line
                if key == b"*bW":
                    if any(line):
                        box[row] = bit_runs(line)
                    row += 1
            elif key == b"*rC" or key == b"*rB":
                pass
    if box or raster:
        pages.append(box)
    return pages


def continued(data, at, value, largest):
    """A count at its field's largest value goes on in the bytes at `at`, each
    255 adding more (PCL mode 10, brlaser): the count and where its bytes end."""
    if value == largest:
        while True:
            extra = data[at]
            at += 1
            value += extra
            if extra != 255:
                break
    return value, at


def mode10_row(payload, seed):
    """One RGB row of hpcups' compression mode 10 ("near lossless"), decoded
    against the row before it (white at the raster's start): commands of a
    byte each, the top bit a run (else literal pixels), bits 5-6 where the
    first pixel comes from (a new one, the pixel to the west, the one
    north-east, the last new one), bits 3-4 how many pixels of the row
    before to keep first and bits 0-2 the count (less 2 for a run, less 1
    for literals), each at its largest continued by bytes after (255 adding
    more). A new pixel is 3 bytes (RGB of 8, 8 and 7 bits) or, top bit set,
    2 bytes of 5-bit signed changes to the pixel above it."""
    line = list(seed)
    column, at, cache = 0, 0, 0xFFFFFF

    def more(value, largest):
        nonlocal at
        value, at = continued(payload, at, value, largest)
        return value

    def new_pixel():
        nonlocal at
        above = seed[column] if column < len(seed) else 0xFFFFFF
        first = payload[at]
        if first & 0x80:
            value = (first << 8) | payload[at + 1]
            at += 2

            def signed(x):
                return x - 32 if x & 16 else x
            red = ((above >> 16) + signed((value >> 10) & 31)) & 0xFF
            green = (((above >> 8) & 0xFF) + signed((value >> 5) & 31)) & 0xFF
            blue = ((above & 0xFF) + 2 * signed(value & 31)) & 0xFF
            return (red << 16) | (green << 8) | blue
        value = (first << 16) | (payload[at + 1] << 8) | payload[at + 2]
        at += 3
        return ((value >> 15) << 16) | (((value >> 7) & 0xFF) << 8) | ((value & 0x7F) << 1)

    while at < len(payload):
        command = payload[at]
        at += 1
        source = (command >> 5) & 3
        column += more((command >> 3) & 3, 3)
        if source == 0:
            pixel = cache = new_pixel()
        elif source == 1:
            pixel = line[column - 1] if 0 < column <= len(line) else 0xFFFFFF
        elif source == 2:
            pixel = seed[column + 1] if column + 1 < len(seed) else 0xFFFFFF
        else:
            pixel = cache
        if command & 0x80:
            count = more(command & 7, 7) + 2
            line[column:column + count] = [pixel] * min(count, max(0, len(line) - column))
            column += count
            continue
        count = more(command & 7, 7) + 1
        for k in range(count):
            if k:
                pixel = cache = new_pixel()
            if column < len(line):
                line[column] = pixel
            column += 1
    check(column <= len(line) + 1, "a mode 10 row of %d pixels in a raster of %d" % (column, len(line)))
    return line


def pcl_row(mode, payload, seed):
    """One PCL raster row decoded from its compression mode."""
    if mode == 0:
        return bytearray(payload)
    line = bytearray()
    i = 0
    if mode == 1:
        while i + 1 < len(payload):
            line += bytes([payload[i + 1]]) * (payload[i] + 1)
            i += 2
        return line
    if mode == 2:
        while i < len(payload):
            control = payload[i]
            i += 1
            if control < 128:
                line += payload[i:i + control + 1]
                i += control + 1
            elif control > 128:
                line += bytes([payload[i]]) * (257 - control)
                i += 1
        return line
    if mode == 3:
        line = bytearray(seed)
        position = 0
        while i < len(payload):
            control = payload[i]
            i += 1
            count, offset = (control >> 5) + 1, control & 31
            if offset == 31:
                while True:
                    offset += payload[i]
                    i += 1
                    if payload[i - 1] != 255:
                        break
            position += offset
            if len(line) < position + count:
                line += bytes(position + count - len(line))
            line[position:position + count] = payload[i:i + count]
            i += count
            position += count
        return line
    raise Failure("PCL compression mode %d: this test does not decode it" % mode)


def escpr_ink(data):
    """The ink of each page of an ESC/P-R stream (epson-escpr): commands
    are ESC, a letter, a 4-byte little-endian length, a 4-letter name and
    that many bytes; a raster line ("dsnd") gives its column and row (2 bytes
    each, big-endian), its compression, its data's length and its RGB pixels
    run-length coded (a byte c < 128: c + 1 pixels follow; else one pixel
    repeated 257 - c times). Columns and rows count from the printable
    area's corner the job's "setj" sets."""
    pages, box, at = [], {}, 0
    while at + 10 <= len(data):
        if data[at] != 0x1B or not data[at + 6:at + 10].isalpha():
            at += 1
            continue
        length = int.from_bytes(data[at + 2:at + 6], "little")
        name, body = data[at + 6:at + 10], data[at + 10:at + 10 + length]
        at += 10 + length
        if name == b"endp":
            pages.append(box)
            box = {}
        if name != b"dsnd":
            continue
        column, row, compression = int.from_bytes(body[0:2], "big"), int.from_bytes(body[2:4], "big"), body[4]
        pixels, i = [], 0
        coded = body[7:7 + int.from_bytes(body[5:7], "big")]
        while i < len(coded):
            control = coded[i]
            if compression == 0:
                pixels.append(coded[i:i + 3])
                i += 3
            elif control < 128:
                pixels += [coded[i + 1 + 3 * k:i + 4 + 3 * k] for k in range(control + 1)]
                i += 1 + 3 * (control + 1)
            else:
                pixels += [coded[i + 1:i + 4]] * (257 - control)
                i += 4
        marks = "".join("0" if pixel == b"\xff\xff\xff" else "1" for pixel in pixels)
        runs = [(column + m.start(), column + m.end() - 1) for m in re.finditer("1+", marks)]
        if runs:
            box[row] = runs
    return pages


def brlaser_ink(data):
    """The ink of each page of brlaser's stream. Its raster is one ESC*b
    command of blocks ("<n>w" and n bytes, the first after the mode 1030m):
    a 2-byte big-endian count of lines, then each line as edits of the line
    before it (all zero at a block's start): 0xff a blank line (the next
    line edits zeros), else a count of edits, each a header byte and its
    bytes. A header with the top bit set repeats one byte: bits 5-6 the
    offset, bits 0-4 the count less 2; without it, it substitutes bytes:
    bits 3-6 the offset, bits 0-2 the count less 1. An offset or count at
    its field's largest value continues in the bytes after the header
    (offset first), each 255 adding more; offsets count from where the edit
    before ended. A form feed ends the page."""
    pages, box, row, at = [], {}, 0, 0

    def field(value, largest):
        nonlocal at
        value, at = continued(data, at, value, largest)
        return value

    while at < len(data):
        if data[at] == 0x0C:
            pages.append(box)
            box, row = {}, 0
            at += 1
            continue
        if not data.startswith(b"\x1b*b", at):
            at += 1
            continue
        at += 3
        while True:
            number = re.match(rb"(\d*)([a-zA-Z])", data[at:at + 12])
            at += number.end()
            if number.group(2) in b"wW":
                end = at + int(number.group(1))
                lines = int.from_bytes(data[at:at + 2], "big")
                at += 2
                line = bytearray()
                for _ in range(lines):
                    edits = data[at]
                    at += 1
                    if edits == 0xFF:
                        line = bytearray()
                    else:
                        position = 0
                        for _ in range(edits):
                            header = data[at]
                            at += 1
                            if header & 0x80:
                                offset = field((header >> 5) & 3, 3)
                                count = field(header & 31, 31) + 2
                                replacement = bytes([data[at]]) * count
                                at += 1
                            else:
                                offset = field((header >> 3) & 15, 15)
                                count = field(header & 7, 7) + 1
                                replacement = data[at:at + count]
                                at += count
                            position += offset
                            if len(line) < position + count:
                                line += bytes(position + count - len(line))
                            line[position:position + count] = replacement
                            position += count
                    if any(line):
                        box[row] = bit_runs(line)
                    row += 1
                at = end
            if number.group(2).isupper():
                break
    if box:
        pages.append(box)
    return pages


def dymo_ink(data):
    """The ink of each label of the Dymo driver's stream: ESC D n sets the
    bytes of a line, ESC f 1 n skips n lines, SYN and n bytes is a line,
    ESC E ends the label."""
    pages, box, row, width, at = [], {}, 0, 0, 0
    while at < len(data):
        byte = data[at]
        if byte == 0x16:
            line = data[at + 1:at + 1 + width]
            at += 1 + width
            if any(line):
                box[row] = bit_runs(line)
            row += 1
        elif byte == 0x1B and at + 1 < len(data):
            letter = data[at + 1:at + 2]
            if letter == b"D":
                width = data[at + 2]
                at += 3
            elif letter == b"f":
                row += data[at + 3]
                at += 4
            elif letter == b"L":
                at += 4
            elif letter == b"q":
                at += 3
            elif letter == b"E":
                pages.append(box)
                box, row = {}, 0
                at += 2
            else:
                at += 2
        else:
            at += 1
    return pages


def frame_runs(page, row, column):
    """The frame's bars where a page's ink crosses its row `row` (runs of
    columns) and its column `column` (runs of rows). Bars cut off by the
    imageable area are missing from both, and the area's own edges (which
    Ghostscript clips to whole points) take no part."""
    across = page.get(row, [])
    down = []
    for r in sorted(page):
        if any(a <= column <= b for a, b in page[r]):
            if down and down[-1][1] == r - 1:
                down[-1][1] = r
            else:
                down.append([r, r])
    return across, [tuple(d) for d in down]


# How each queue's driver output is read: its pages' ink, or None where its
# output is compared byte for byte (the whole page where the paper's
# imageable area is the whole sheet, or drivers whose compression this test
# does not decode).
def driver_ink(queue):
    if queue in ("laserjet", "hp-laserjet"):
        return pcl_ink
    if queue in ("hp-envy", "hp-deskjet", "hp-dj1000"):
        return lambda data: pcl_ink(data, colour=True)
    if queue == "dymo":
        return dymo_ink
    if queue == "epson":
        return escpr_ink
    if queue == "brother":
        return brlaser_ink
    return None


def without_job_names(data):
    """Driver output with what differs between any two jobs taken out: the
    PJL job name (brlaser, hpcups) and the job's accounting (file, user, host
    and start time, hpcups)."""
    return re.sub(rb'@PJL (?:[^"\n\x1b]*"[^\n\x1b]*|SET TIMESTAMP=\d+)', b"@PJL", data)


def media_commands(queue, data):
    """What the driver's output tells the printer of the paper, its source and
    its type: PCL ESC&l#A (size), #H (source), #M (type); PJL PAPER,
    MEDIATYPE, SOURCETRAY; ESC/P-R and gutenprint leave this to the bytes'
    comparison."""
    found = []
    for command in re.finditer(rb"\x1b&l((?:[-+]?\d+[a-z])*[-+]?\d+[A-Z])", data):
        found += [b"ESC&l" + value + letter.upper() for value, letter in
                  re.findall(rb"([-+]?\d+)([a-zA-Z])", command.group(1)) if letter.upper() in b"AHM"]
    found += re.findall(rb"@PJL SET (?:PAPER|MEDIATYPE|SOURCETRAY|MEDIASOURCE) ?= ?[^\n]*", data)
    return found


PRINT_MEDIA = """{
  OPERATION Print-Job
""" + HEADER + """  ATTR name requesting-user-name tester
  ATTR name job-name $filename
  ATTR mimeMediaType document-format $format
  GROUP job-attributes-tag
  ATTR collection media-col {
%s  }
  FILE $filename
  STATUS successful-ok
  DISPLAY job-id
}
"""

GET_DATABASE = """{
  OPERATION Get-Printer-Attributes
""" + HEADER + """  ATTR keyword requested-attributes media-col-database
  STATUS successful-ok
  DISPLAY media-col-database
}
"""


def media_col_database(client, work, queue):
    """The queue's media-col-database: [{'x', 'y', 'left', 'right', 'top', 'bottom',
    and any other keyword members}] in hundredths of a millimetre."""
    path = os.path.join(work, "database.test")
    with open(path, "w") as f:
        f.write(GET_DATABASE)
    out = run([TOOLS["ipptool"], "-t", "-T", "60", client.uri(queue), path], env=client.env).stdout.decode()
    entries = []
    for body in re.findall(r"\{media-size=\{([^}]*)\}([^{}]*)\}", out):
        entry = {"x": int(re.search(r"x-dimension=(\d+)", body[0]).group(1)),
                 "y": int(re.search(r"y-dimension=(\d+)", body[0]).group(1))}
        for name, value in re.findall(r"media-(\w+?)(?:-margin)?=(\S+)", body[1]):
            entry[name] = int(value) if value.isdigit() else value
        entries.append(entry)
    check(entries, "%s: no media-col-database in %s" % (queue, out[-500:]))
    return entries


def media_col_text(entry):
    """ipptool's members of a media-col for a database entry (with a
    media-type or media-source where the entry names one)."""
    text = ("    MEMBER collection media-size {\n      MEMBER integer x-dimension %d\n"
            "      MEMBER integer y-dimension %d\n    }\n" % (entry["x"], entry["y"]))
    for side in ("bottom", "left", "right", "top"):
        if side in entry:
            text += "    MEMBER integer media-%s-margin %d\n" % (side, entry[side])
    for name in ("type", "source"):
        if name in entry:
            text += "    MEMBER keyword media-%s %s\n" % (name, entry[name])
    return text


class Placement:
    """The jobs of the placement checks of one scheduler: phone pages (URF or
    PWG raster) and Ghostscript's reference pages, each rendered once."""

    def __init__(self, sched, client, args, work, device, stored):
        self.sched, self.client, self.args, self.work = sched, client, args, work
        self.device, self.stored = device, stored
        self.code = PPDCode()
        self.rendered = {}
        self.count = 0

    def frame(self, width_pt, height_pt):
        path = os.path.join(self.work, "frame-%.2fx%.2f.ps" % (width_pt, height_pt))
        if not os.path.exists(path):
            with open(path, "w") as f:
                f.write(FRAME.format(w="%.3f" % width_pt, h="%.3f" % height_pt))
        return path

    def phone_page(self, width_pt, height_pt, resolution, pwg):
        key = (round(width_pt, 2), round(height_pt, 2), resolution, pwg)
        if key not in self.rendered:
            out = os.path.join(self.work, "phone-%d.%s" % (len(self.rendered), "pwg" if pwg else "urf"))
            run([TOOLS["gs"], "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE",
                 "-sDEVICE=" + ("pwgraster" if pwg else "urf"), "-dcupsColorSpace=18", "-dcupsBitsPerColor=8",
                 "-r%d" % resolution, "-dDEVICEWIDTHPOINTS=%.3f" % width_pt,
                 "-dDEVICEHEIGHTPOINTS=%.3f" % height_pt, "-dFIXEDMEDIA", "-sOutputFile=" + out,
                 self.frame(width_pt, height_pt)])
            self.rendered[key] = out
        return self.rendered[key]

    def submit(self, queue, path, entry, document_format, ends=("completed",)):
        self.count += 1
        test = os.path.join(self.work, "media-%d.test" % self.count)
        with open(test, "w") as f:
            f.write(PRINT_MEDIA % media_col_text(entry))
        so_far = len(self.device[queue].received())
        out = run([TOOLS["ipptool"], "-t", "-T", "60", "-f", path, "-d", "format=" + document_format,
                   self.client.uri(queue), test], env=self.client.env).stdout.decode()
        job = int(re.search(r"job-id \(integer\) = (\d+)", out).group(1))
        state = wait_job(self.sched, self.args.jobstate, job, 180)
        check(state in ends, "job %d on %s ended %s:\n%s" % (job, queue, state, self.sched.tail()))
        self.state = state
        return job, self.device[queue].settle(so_far)

    def check(self, queue, resolution, entry, what, pwg=False):
        """A phone's job on `queue` for the database `entry`, against the
        reference: the ink in the same place at the same size."""
        ppd = self.stored[queue]
        # The sheet is the PPD's paper of the entry's size, to the hundredth
        # of a point: the phone's pixels are the same (its size in hundredths
        # of a millimetre makes the same whole number of dots), and both
        # renderings then draw the frame at the same fractions of a dot.
        name = ppd_paper_of(ppd, entry)
        width_pt, height_pt, _ = ppd_papers(ppd)[0][name]
        page = self.phone_page(width_pt, height_pt, resolution, pwg)
        job, got = self.submit(queue, page, entry, "image/pwg-raster" if pwg else "image/urf")
        chain, lines = filters_of(self.sched, job)
        check(chain[:1] == ["brovane-pwg" if pwg else "brovane"], "job %d on %s ran %s" % (job, queue, lines))
        errors = [m for level, m in self.sched.job_log(job) if level == "E"]
        check(not errors, "%s, %s: job %d logged %s" % (queue, what, job, errors[:3]))
        _, options = logged_arguments(self.sched, job)
        code = os.path.join(self.work, "code-%d.ps" % job)
        setup = self.code.code(ppd, options)
        with open(code, "wb") as f:
            f.write(setup)
        reference = os.path.join(self.work, "reference-%d.ras" % job)
        # The cups device takes the first of the PPD's papers of the page's
        # size unless told which: the bordered one, where a borderless one
        # of the same size was asked.
        asked = re.search(r"(?:^| )PageSize=(\S+)", options)
        run([TOOLS["gs"], "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=cups", "-r%d" % resolution,
             "-scupsPageSizeName=" + (asked.group(1) if asked else name)] + page_device_options(setup) +
            ["-sOutputFile=" + reference, code, self.frame(width_pt, height_pt)], env=dict(os.environ, PPD=ppd))
        ref_job, want = self.submit(queue, reference, entry, "application/vnd.cups-raster")
        os.unlink(reference)
        check(got and want, "%s, %s: the printer got %d bytes from the phone's job %d, %d from the reference %d" % (
            queue, what, len(got), job, len(want), ref_job))
        check(media_commands(queue, got) == media_commands(queue, want),
              "%s, %s: the phone's job %d asks the printer for %s, the reference %d for %s (options %s)" % (
                  queue, what, job, media_commands(queue, got), ref_job, media_commands(queue, want), options))
        # hpcups names the paper by the PCL size code its PPD gives the size.
        size_code = re.search(r'^\*PageSize %s[/:][^"]*"[^"]*/cupsInteger0 (\d+)' % re.escape(name),
                              read_bytes(ppd).decode("latin-1"), re.M)
        if queue.startswith("hp-") and size_code:
            check(b"ESC&l%sA" % size_code.group(1).encode() in media_commands(queue, got),
                  "%s, %s: job %d does not ask hpcups' printer for %s (ESC&l%sA): %s" % (
                      queue, what, job, name, size_code.group(1), media_commands(queue, got)))
        decode = driver_ink(queue)
        if decode is None:
            same = without_job_names(got) == without_job_names(want)
            result = "output %s the reference's (%d bytes, the reference %d)" % (
                "identical to" if same else "NOT", len(got), len(want))
        else:
            mine, theirs = decode(got), decode(want)
            check(len(mine) == len(theirs) == 1 and mine[0] and theirs[0],
                  "%s, %s: pages with ink: the phone's job %d %d, the reference %d %d" % (
                      queue, what, job, len(mine), ref_job, len(theirs)))
            # Across the middle of the reference's frame, both ways.
            rows = sorted(theirs[0])
            columns = [run for runs in theirs[0].values() for run in runs]
            row = (rows[0] + rows[-1]) // 2
            column = (min(a for a, _ in columns) + max(b for _, b in columns)) // 2
            (across1, down1), (across0, down0) = frame_runs(mine[0], row, column), frame_runs(theirs[0], row, column)
            same = (len(across1) == len(across0) and len(down1) == len(down0) and
                    all(abs(a - b) <= 1 for x, y in zip(across1 + down1, across0 + down0) for a, b in zip(x, y)))

            def span(runs):
                return runs[-1][1] - runs[0][0] + 1 if runs else 0

            result = ("bars across at %s, down at %s; the reference's across at %s, down at %s" % (
                across1, down1, across0, down0))
            if across1 and across0 and down1 and down0:
                result += ": moved %+d,%+d dots, %.1f%% x %.1f%% of its size" % (
                    across1[0][0] - across0[0][0], down1[0][0] - down0[0][0],
                    span(across1) * 100 / span(across0), span(down1) * 100 / span(down0))
        log("  %s, %s (%s%g x %g mm, margins %s): job %d against %d: %s" % (
            queue, what, "PWG, " if pwg else "", entry["x"] / 100, entry["y"] / 100,
            "/".join(str(entry.get(s, 0)) for s in ("left", "bottom", "right", "top")), job, ref_job, result))
        check(same, "%s, %s: the phone's job %d does not print as the reference %d: %s (options %s)" % (
            queue, what, job, ref_job, result, options))
        return job

    def no_such_paper(self, queue, resolution, width_pt, height_pt):
        """A page of a paper the queue lacks: brovane's one ERROR line naming
        its size, and no page reaches the printer. The job completes, or stops
        where the driver calls a job without pages an error (rastertohp,
        rastertolabel, brlaser, escpr): the queue goes on either way."""
        entry = {"x": round(width_pt * 2540 / 72), "y": round(height_pt * 2540 / 72),
                 "left": 0, "right": 0, "top": 0, "bottom": 0}
        page = self.phone_page(entry["x"] * 72 / 2540, entry["y"] * 72 / 2540, resolution, False)
        job, got = self.submit(queue, page, entry, "image/urf", ("completed", "stopped"))
        errors = [m for level, m in self.sched.job_log(job) if level == "E"]
        match = [re.match(r"\((?:brovane|brovane-pwg)\) Page 1\b.*?\b([\d.]+) x ([\d.]+) pt \(([\d.]+) x ([\d.]+) in\)"
                          r".*\bthe printer has no such paper; the rest of the job is not read$", m) for m in errors]
        match = [m for m in match if m]
        check(len(match) == 1 and abs(float(match[0].group(1)) - entry["x"] * 72 / 2540) <= 1 and
              abs(float(match[0].group(2)) - entry["y"] * 72 / 2540) <= 1 and
              abs(float(match[0].group(3)) * 72 - entry["x"] * 72 / 2540) <= 1,
              "%s: a %.0f x %.0f pt page (job %d) logged %s" % (queue, width_pt, height_pt, job, errors))
        # What a driver sends for a job without pages (resets, a PJL header)
        # prints nothing: no page in its output, no ZPL label.
        ink = driver_ink(queue)
        pages = ink(got) if ink else re.findall(rb"\^XA", got) if queue == "zebra" else [got] if got else []
        check(not pages, "%s: job %d, whose paper the printer lacks, sent it %d pages (%d bytes)" % (
            queue, job, len(pages), len(got)))
        printer = run([self.args.jobstate, self.sched.socket, "printer", queue], env=self.sched.env).stdout.decode()
        check(printer.split()[:1] != ["stopped"], "%s is %s after job %d" % (queue, printer.strip(), job))
        log("  %s: a %.0f x %.0f pt page, no such paper: job %d %s, no page printed (%d bytes sent), the queue %s;"
            " %s" % (queue, width_pt, height_pt, job, self.state, len(got), printer.split()[0],
                     errors[0] if errors else "no error line"))


def ppd_paper_of(ppd, entry):
    """The PPD's paper of a media-col-database entry: its size within 2 pt,
    borderless (imageable area the whole sheet) where the entry has no
    margins, bordered where it has."""
    papers = ppd_papers(ppd)[0]
    width, height = entry["x"] * 72 / 2540, entry["y"] * 72 / 2540
    borderless = sum(entry.get(s, 0) for s in ("left", "right", "top", "bottom")) == 0
    fits = [name for name, (w, h, area) in papers.items() if abs(w - width) <= 2 and abs(h - height) <= 2]
    check(fits, "no paper of %.2f x %.2f pt in %s" % (width, height, ppd))
    whole = [name for name in fits if papers[name][2] == (0.0, 0.0, papers[name][0], papers[name][1])]
    matching = [name for name in fits if (name in whole) == borderless]
    return (matching or fits)[0]


def placement_cases(queue, ppd, entries):
    """The database entries a phone's jobs use on a queue: its default paper,
    a smaller one (A5, A6 or 4x6), 4x6 borderless where offered, an envelope
    on a laser, a second label size on a label printer."""
    papers, default, _ = ppd_papers(ppd)
    width, height = papers[default][:2]
    # The database's entries of a size, the bordered one first.
    def find(x, y, borderless=None):
        found = [e for e in entries if abs(e["x"] - x) <= 100 and abs(e["y"] - y) <= 100 and "type" not in e and
                 "source" not in e]
        if borderless is not None:
            found = [e for e in found if (sum(e.get(s, 0) for s in ("left", "right", "top", "bottom")) == 0)
                     == borderless]
        found.sort(key=lambda e: -sum(e.get(s, 0) for s in ("left", "right", "top", "bottom")))
        return found[0] if found else None

    def hundredths(points):
        return round(points * 2540 / 72)

    cases = [("default paper", find(hundredths(width), hundredths(height)))]
    if queue in ("zebra", "dymo"):
        for size in ((288, 144), (54, 144)):
            entry = find(hundredths(size[0]), hundredths(size[1]))
            if entry:
                cases.append(("second label size", entry))
                break
    else:
        # Bordered where the queue has margins at all.
        for size in ((14800, 21000), (10500, 14800), (10160, 15240)):
            entry = find(*size, borderless=False) or find(*size)
            if entry:
                cases.append(("smaller paper", entry))
                break
        borderless = find(10160, 15240, borderless=True)
        if borderless:
            cases.append(("4x6 borderless", borderless))
        if queue in ("laserjet", "hp-laserjet", "brother"):
            for size in ((10477, 24130), (11000, 22000)):
                entry = find(*size)
                if entry:
                    cases.append(("envelope", entry))
                    break
    check(all(entry for _, entry in cases), "%s: the database lacks %s" % (
        queue, [what for what, entry in cases if not entry]))
    return cases


def lacking_paper(ppd):
    """A sheet larger than any paper of the PPD and its custom size."""
    papers, _, custom = ppd_papers(ppd)
    return (max([p[0] for p in papers.values()] + [custom[0]]) + 72,
            max([p[1] for p in papers.values()] + [custom[1]]) + 72)


def photo_paper(placement, queue, entries):
    """The media-col of a photo-paper job on an inkjet queue: 4x6 (else its
    default paper) with the media-type and media-source that
    drivermedia.check_queue says a phone sends for the driver's photo paper
    and tray, and the driver options the job must get; None where the queue
    has no photo paper."""
    ppd = placement.stored[queue]
    job = drivermedia.check_queue(drivermedia.ask(TOOLS["ipptool"], placement.client.uri(queue), placement.client.env),
                                  ppd)
    if "media-type" not in job:
        return None
    four_by_six = [e for e in entries if abs(e["x"] - 10160) <= 100 and abs(e["y"] - 15240) <= 100 and
                   "type" not in e and "source" not in e and
                   sum(e.get(side, 0) for side in ("left", "right", "top", "bottom"))]
    entry = dict(four_by_six[0] if four_by_six else placement_cases(queue, ppd, entries)[0][1])
    entry["type"] = job["media-type"]
    if "media-source" in job:
        entry["source"] = job["media-source"]
    return entry, job


def check_placements(placement, queue, resolution, inkjet=False):
    """Where the phone's pages land on one queue, URF on every case and PWG
    raster once, and on an inkjet on its photo paper too."""
    ppd = placement.stored[queue]
    entries = media_col_database(placement.client, placement.work, queue)
    for what, entry in placement_cases(queue, ppd, entries):
        placement.check(queue, resolution, entry, what)
    placement.check(queue, resolution, placement_cases(queue, ppd, entries)[0][1], "default paper", pwg=True)
    photo = photo_paper(placement, queue, entries) if inkjet else None
    if photo is not None:
        job = placement.check(queue, resolution, photo[0], "photo paper (%s)" % ", ".join(
            photo[0][k] for k in ("type", "source") if k in photo[0]))
        drivermedia.check_job_options(logged_arguments(placement.sched, job)[1], photo[1])
    placement.no_such_paper(queue, resolution, *lacking_paper(ppd))


# ---- The test ----------------------------------------------------------------

def run_enable(enable, sched, *args):
    """brovane-enable as the administrator runs it, the scheduler's filter
    folder its drivers' (it asks gutenprint's driver its printable area)."""
    env = dict(sched.env, CUPS_SERVERBIN=sched.bin, BROVANE_ENABLE_CONF=os.path.join(sched.top, "printfilters"))
    return subprocess.run([enable] + list(args), env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=120)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--filter-dir", required=True, help="folder with brovane")
    parser.add_argument("--enable", required=True, help="the brovane-enable program")
    parser.add_argument("--mime-dir", required=True, help="folder with printfilters.types and .convs")
    parser.add_argument("--jobstate", required=True)
    parser.add_argument("--rasterpages", required=True, help="the test's raster page lister")
    args = parser.parse_args()

    missing = find_tools(["cupsd", "lpadmin", "ipptool", "ppdc", "gs", "apt-get", "dpkg-deb"])
    if missing or not os.path.exists(SAMPLE_DRV):
        raise Skip("missing %s (Debian packages cups-daemon, cups-client, cups-ipp-utils, cups-ppdc, cups-common, "
                   "ghostscript)" % ", ".join(missing or [SAMPLE_DRV]))
    as_root = os.geteuid() == 0
    os.umask(0o022)
    top = tempfile.mkdtemp(prefix="drivers-e2e-", dir="/tmp")
    sched = None
    devices = []
    try:
        os.chmod(top, 0o755)
        work = os.path.join(top, "work")
        os.makedirs(work)
        drivers = fetch_drivers(work)
        ppd_dir = os.path.join(work, "ppd")
        run([TOOLS["ppdc"], "-d", ppd_dir, SAMPLE_DRV])

        # The scheduler's filter folder: the installed brovane, the gziptoany
        # the package provides where the scheduler has none, and the drivers.
        filters = os.path.join(top, "filter")
        os.makedirs(filters)
        brovane = os.path.join(args.filter_dir, "brovane")
        brovane_pwg = os.path.join(args.filter_dir, "brovane-pwg")
        for name in ("brovane", "brovane-pwg", "gziptoany"):
            os.symlink(os.path.realpath(os.path.join(args.filter_dir, name)), os.path.join(filters, name))
        for name in DRIVERS:
            shutil.copy(os.path.join(drivers, name), os.path.join(filters, name))
        real_ppds = fetch_real_drivers(work, filters)
        sched = Scheduler(top, filters, as_root)
        for name in ("printfilters.types", "printfilters.convs"):
            shutil.copy(os.path.join(args.mime_dir, name), os.path.join(sched.data, "mime", name))
        port = free_port()
        with open(os.path.join(sched.root, "cupsd.conf"), "a") as f:
            f.write("Listen 127.0.0.1:%d\n" % port)
        sched.start(args.jobstate)
        client = Client(work, port, sched.env)
        outdir = os.path.join(top, "out")
        os.makedirs(outdir)
        os.chmod(outdir, 0o777)

        queues = ENABLED + REFUSED + tuple(q for q, _, _, _ in REAL)
        for queue in queues:
            devices.append(JobDevice(os.path.join(outdir, queue)))
            source = ppd_dir if queue in ENABLED + REFUSED else real_ppds
            add_queue(sched, queue, os.path.join(source, queue + ".ppd"), "file://" + os.path.join(outdir, queue))
        stored = {q: os.path.join(sched.root, "ppd", q + ".ppd") for q in queues}
        original = {q: read_bytes(stored[q]) for q in queues}
        device = dict(zip(queues, devices))
        before = {q: client.attributes(q) for q in queues}
        for queue in queues:
            check("image/urf" not in before[queue][0] and "image/pwg-raster" not in before[queue][0],
                  "%s takes %s before it was enabled" % (queue, before[queue][0]))

        # A raw queue (no PPD) is refused too, and stays without one.
        run([TOOLS["lpadmin"], "-h", sched.socket, "-p", "raw", "-v", "file:///dev/null", "-E"], env=sched.env)
        result = run_enable(args.enable, sched, "raw")
        check(result.returncode == 1 and b"not changed: the queue has no PPD" in result.stderr and
              not os.path.exists(os.path.join(sched.root, "ppd", "raw.ppd")),
              "brovane-enable on a raw queue: %d %s" % (result.returncode, result.stderr))
        log("refused raw: " + result.stderr.decode().strip())

        # A gzip-compressed PPD, as driver packages ship them, reads as the
        # plain one; a refusal that quotes the raster interpreter's messages
        # (several lines of them) is still one line.
        zebra_ppd = os.path.join(ppd_dir, "zebra.ppd")
        packed = os.path.join(work, "zebra.ppd.gz")
        with open(packed, "wb") as f:
            f.write(gzip.compress(read_bytes(zebra_ppd)))
        plain, unpacked = (run_enable(args.enable, sched, "--ppd", p) for p in (zebra_ppd, packed))
        check(plain.returncode == 0 and unpacked.returncode == 0 and unpacked.stdout == plain.stdout,
              "--ppd zebra.ppd.gz: status %d, %s" % (unpacked.returncode, unpacked.stderr.decode()))
        bad_code = os.path.join(work, "bad-code.ppd")
        with open(bad_code, "wb") as f:
            f.write(read_bytes(zebra_ppd).replace(b'setpagedevice"', b'setpagedevice currentpagedevice"'))
        result = run_enable(args.enable, sched, "--ppd", bad_code)
        lines = result.stderr.decode().splitlines()
        check(result.returncode == 1 and len(lines) == 1 and "give no raster page header: Unknown operator" in lines[0]
              and "Stack not empty" in lines[0], "refusal of %s: status %d, %s" % (bad_code, result.returncode, lines))
        log("refused bad-code.ppd: " + lines[0])

        # Refused queues: one line naming the reason, status 1, the PPD as it was.
        for queue in REFUSED:
            result = run_enable(args.enable, sched, queue)
            lines = result.stderr.decode().splitlines()
            check(result.returncode == 1 and len(lines) == 1 and "not changed:" in lines[0],
                  "brovane-enable %s: status %d, %s" % (queue, result.returncode, lines))
            check(read_bytes(stored[queue]) == original[queue], "%s's PPD changed though it was refused" % queue)
            formats = client.attributes(queue)[0]
            check("image/urf" not in formats and "image/pwg-raster" not in formats,
                  "%s takes %s after a refusal" % (queue, formats))
            log("refused %s: %s" % (queue, lines[0]))

        # Enabled queues: the dry run changes nothing, the change is made once.
        for queue in ENABLED:
            result = run_enable(args.enable, sched, "--dry-run", queue)
            check(result.returncode == 0 and b"+*cupsFilter" in result.stdout, "dry run on %s: %d %s" % (
                queue, result.returncode, result.stdout[-300:]))
            check(read_bytes(stored[queue]) == original[queue], "the dry run changed %s" % queue)
            result = run_enable(args.enable, sched, queue)
            check(result.returncode == 0, "brovane-enable %s: %s" % (queue, result.stderr.decode()))
            changed = read_bytes(stored[queue])
            check(changed != original[queue], "%s's PPD did not change" % queue)
            again = run_enable(args.enable, sched, queue)
            check(again.returncode == 0 and b"nothing to change" in again.stdout and
                  read_bytes(stored[queue]) == changed, "a second run changed %s" % queue)
            log(result.stdout.decode().strip())

        # What the queues advertise now, and a job in every advertised form
        # by Print-Job and by Create-Job + Send-Document.
        expected = {}
        for queue in ENABLED:
            formats, urf, _, _, ready, default, pwg_resolutions, pwg_types = client.attributes(queue)
            width_pt, height_pt, resolution = ppd_defaults(os.path.join(ppd_dir, queue + ".ppd"))
            check_invites(queue, before[queue], formats, ready, default, width_pt)
            modes = [k for k in urf if k.startswith(("W", "SRGB", "ADOBERGB", "DEVW", "DEVRGB", "DEVCMYK"))]
            resolutions = [k for k in urf if k.startswith("RS")]
            check(modes == ["W8"] and resolutions == ["RS%d" % resolution],
                  "%s advertises %s, not W8 at RS%d" % (queue, urf, resolution))
            check(pwg_resolutions == ["%ddpi" % resolution] and "srgb_8" not in pwg_types,
                  "%s advertises PWG raster %s %s" % (queue, pwg_resolutions, pwg_types))
            log("%s: urf-supported %s before, %s after; pwg-raster-document-resolution-supported %s -> %s, "
                "pwg-raster-document-type-supported %s -> %s" % (
                    queue, ",".join(before[queue][1]), ",".join(urf), ",".join(before[queue][6]) or "none",
                    ",".join(pwg_resolutions), ",".join(before[queue][7]) or "none", ",".join(pwg_types)))
            urf_file = grey_urf(work, queue, width_pt, height_pt, resolution, 2)
            ppd = stored[queue]
            driver = "rastertohp" if queue == "laserjet" else "rastertolabel"
            want = by_hand(brovane, os.path.join(filters, driver), ppd, urf_file, work, queue)
            expected[queue] = (urf_file, want)
            packed = os.path.join(work, queue + ".urf.gz")
            with open(packed, "wb") as f:
                f.write(gzip.compress(read_bytes(urf_file)))
            for test, document in (("print", urf_file), ("create", urf_file), ("gzip", packed)):
                so_far = device[queue].received()
                job = client.submit(test, queue, document)
                state = wait_job(sched, args.jobstate, job)
                check(state == "completed", "job %d on %s ended %s:\n%s" % (job, queue, state, sched.tail()))
                programs, lines = filters_of(sched, job)
                check(programs == ["brovane", driver] if test != "gzip" else ["gziptoany", "brovane", driver],
                      "job %d on %s ran %s" % (job, queue, lines))
                got = device[queue].wait_for(len(so_far) + len(want))[len(so_far):]
                check(got == want, "%s, job %d: the printer got %d bytes, %s by hand writes %d" % (
                    queue, job, len(got), driver, len(want)))
            log("  %s: %s; %s" % (queue, " -> ".join(lines), true_size(queue, want, ppd, resolution, 2)))
            # Android's PWG raster of the same pages, in each advertised type:
            # brovane-pwg, then the driver; grey pages print as the URF job's do.
            for pwg in pwg_types + ["sgray_8 x3"]:
                pwg_type, copies = pwg.split(" x")[0], pwg.split(" x")[1] if " x" in pwg else "1"
                pwg_file = grey_urf(work, queue + "-" + pwg_type, width_pt, height_pt, resolution, 2, pwg=pwg_type)
                pwg_want = by_hand(brovane_pwg, os.path.join(filters, driver), ppd, pwg_file, work,
                                   queue + "-pwg", copies)
                if pwg_type == "sgray_8" and copies == "1":
                    check(pwg_want == want, "%s: sgray_8 pages print otherwise than the same URF pages" % queue)
                so_far = device[queue].received()
                job = client.submit("copies" if copies == "3" else "print", queue, pwg_file)
                state = wait_job(sched, args.jobstate, job)
                check(state == "completed", "PWG job %d on %s ended %s:\n%s" % (job, queue, state, sched.tail()))
                programs, lines = filters_of(sched, job)
                check(programs == ["brovane-pwg", driver], "job %d on %s ran %s" % (job, queue, lines))
                got = device[queue].wait_for(len(so_far) + len(pwg_want))[len(so_far):]
                check(got == pwg_want and (copies == "1" or copies_made(queue, got, 2) == int(copies)),
                      "%s, PWG job %d (%s): the printer got %d bytes, by hand %d" % (
                          queue, job, pwg, len(got), len(pwg_want)))
                log("  %s: PWG %s: %s; %s" % (queue, pwg, " -> ".join(lines),
                                              true_size(queue, pwg_want, ppd, resolution, 2)
                                              if copies == "1" else "%s copies made" % copies))
            # Three copies asked come out three times, however the driver makes them.
            so_far = device[queue].received()
            job = client.submit("copies", queue, urf_file)
            state = wait_job(sched, args.jobstate, job)
            check(state == "completed", "3-copy job %d on %s ended %s:\n%s" % (job, queue, state, sched.tail()))
            want3 = by_hand(brovane, os.path.join(filters, driver), ppd, urf_file, work, queue + "-3", "3")
            got = device[queue].wait_for(len(so_far) + len(want3))[len(so_far):]
            check(got == want3 and copies_made(queue, got, 2) == 3,
                  "3-copy job %d on %s: the printer got %d bytes making %d copies, by hand %d bytes making %d" % (
                      job, queue, len(got), copies_made(queue, got, 2), len(want3), copies_made(queue, want3, 2)))
            log("  %s: 3 copies asked, 3 made (%s)" % (
                queue, "by brovane" if b"cupsManualCopies: True" in read_bytes(ppd) else "by the printer"))

        # --undo gives the queue its PPD back, byte for byte.
        result = run_enable(args.enable, sched, "--undo", "zebra")
        check(result.returncode == 0 and read_bytes(stored["zebra"]) == original["zebra"],
              "--undo did not give zebra its PPD back: %s" % result.stderr.decode())
        formats = client.attributes("zebra")[0]
        check("image/urf" not in formats and "image/pwg-raster" not in formats,
              "zebra takes %s after --undo" % formats)
        run_enable(args.enable, sched, "zebra")
        # A queue enabled by the first release, whose raster type clients saw
        # and could send, is enabled anew from the PPD kept inside.
        enabled = read_bytes(stored["zebra"])
        earlier = os.path.join(work, "earlier.ppd")
        with open(earlier, "wb") as f:
            f.write(enabled.replace(b"printer/vnd.printfilters-raster", b"application/vnd.printfilters-raster"))
        add_queue(sched, "zebra", earlier, "file://" + os.path.join(outdir, "zebra"))
        check("application/vnd.printfilters-raster" in client.attributes("zebra")[0], "no earlier-release queue")
        result = run_enable(args.enable, sched, "zebra")
        check(result.returncode == 0 and read_bytes(stored["zebra"]) == enabled and
              not [f for f in client.attributes("zebra")[0] if "printfilters" in f],
              "an earlier release's zebra was not enabled anew: %s" % result.stderr.decode())

        # Under load: 24 jobs at once from six clients to two queues, one
        # cancelled while the others run.
        load_queues = ("zebra", "laserjet")
        expected["zebra"] = (expected["zebra"][0],
                             by_hand(brovane, os.path.join(filters, "rastertolabel"), stored["zebra"],
                                     expected["zebra"][0], work, "zebra-again"))
        so_far = {q: device[q].received() for q in load_queues}
        memory = PeakMemory(("brovane", "rastertolabel", "rastertohp"))
        load_started = time.monotonic()
        jobs = []
        lock = threading.Lock()

        def client_thread(index):
            for k in range(4):
                queue = load_queues[(index + k) % 2]
                job = client.submit("print" if k % 2 == 0 else "create", queue, expected[queue][0])
                with lock:
                    jobs.append((job, queue))

        threads = [threading.Thread(target=client_thread, args=(i,)) for i in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        check(len(jobs) == 24, "%d of 24 jobs were accepted" % len(jobs))
        victim = max(job for job, queue in jobs if queue == "laserjet")
        client.cancel("laserjet", victim)
        states = {job: wait_job(sched, args.jobstate, job, 180) for job, _ in jobs}
        seconds = time.monotonic() - load_started
        peak = memory.stop()
        check(states[victim] == "canceled", "the cancelled job ended %s" % states[victim])
        others = [job for job, _ in jobs if job != victim]
        check(all(states[job] == "completed" for job in others),
              "jobs that did not complete: %s" % {j: s for j, s in states.items() if s != "completed"})
        for queue in load_queues:
            # Every completed job's bytes, whole and in one piece each; the
            # cancelled one may have sent part of its own before it stopped.
            done = sum(1 for job, q in jobs if q == queue and states[job] == "completed")
            want = expected[queue][1]
            got = device[queue].wait_for(len(so_far[queue]) + done * len(want))[len(so_far[queue]):]
            if queue == "laserjet" and got != want * done:
                got = got.replace(want, b"")
                check(len(got) < len(want) and want.startswith(got),
                      "laserjet received other bytes than its %d jobs and a part of the cancelled one" % done)
            else:
                check(got == want * done, "%s received %d bytes, not %d jobs of %d" % (queue, len(got), done,
                                                                                      len(want)))
        log("load: 24 jobs from 6 clients to 2 queues, 1 cancelled, 23 completed and correct in %.1f s; "
            "peak resident memory seen: %s" % (seconds, ", ".join("%s %.1f MiB" % (n, k / 1024)
                                                                   for n, k in sorted(peak.items()))))

        # The drivers people own: enabled, then a job in every form the queue
        # advertises (grey and, where offered, colour at its resolution; each
        # print quality), two-sided where it duplexes, and three copies.
        for queue, origin, _, programs in REAL:
            result = run_enable(args.enable, sched, queue)
            check(result.returncode == 0, "brovane-enable %s: %s" % (queue, result.stderr.decode()))
            log(result.stdout.decode().strip())
            # gutenprint's PPD calls the sizes its library prints full bleed
            # borderless, its driver prints them with margins: phones are
            # offered the driver's.
            check(origin != "gutenprint" or not whole_sheets(original[queue]) or
                  b"margins: the driver's own for" in result.stdout,
                  "%s: no margins of the driver's own: %s" % (queue, result.stdout.decode()))
            formats, urf, qualities, sides, ready, default, pwg_resolutions, pwg_types = client.attributes(queue)
            check_invites(queue, before[queue], formats, ready, default, ppd_defaults(stored[queue])[0])
            resolutions = [k for k in urf if k.startswith("RS")]
            check(len(resolutions) == 1 and "-" not in resolutions[0], "%s advertises %s" % (queue, urf))
            resolution = int(resolutions[0][2:])
            check(pwg_resolutions == ["%ddpi" % resolution] and ("srgb_8" in pwg_types) == ("SRGB24" in urf),
                  "%s advertises PWG raster %s %s with urf-supported %s" % (queue, pwg_resolutions, pwg_types, urf))
            log("  %s: urf-supported %s before, %s after; print-quality-supported %s; "
                "pwg-raster-document-resolution-supported %s -> %s, pwg-raster-document-type-supported %s -> %s" % (
                    queue, ",".join(before[queue][1]), ",".join(urf), ",".join(qualities),
                    ",".join(before[queue][6]) or "none", ",".join(pwg_resolutions),
                    ",".join(before[queue][7]) or "none", ",".join(pwg_types)))
            ppd = stored[queue]
            width_pt, height_pt, _ = ppd_defaults(ppd)
            inches = (width_pt / 72, height_pt / 72)
            manual = re.search(rb"^\*cupsManualCopies:\s*True", read_bytes(ppd), re.M) is not None
            forms = [{"mode": "monochrome"}]
            if "SRGB24" in urf:
                forms.append({"mode": "color"})
            forms += [{"mode": "monochrome", "quality": QUALITIES[q]} for q in qualities]
            if "two-sided-long-edge" in sides and b"*OpenUI *Duplex" in read_bytes(ppd):
                forms += [{"mode": "monochrome", "sides": s} for s in ("two-sided-long-edge", "two-sided-short-edge")]
            forms.append({"mode": "monochrome", "copies": 3})
            # Android's PWG raster: each advertised type, both sides, copies.
            forms += [{"mode": "color" if t == "srgb_8" else "monochrome", "pwg": t} for t in pwg_types]
            if "two-sided-long-edge" in sides and b"*OpenUI *Duplex" in read_bytes(ppd):
                forms += [{"mode": "monochrome", "sides": s, "pwg": "sgray_8"}
                          for s in ("two-sided-long-edge", "two-sided-short-edge")]
            forms.append({"mode": "monochrome", "copies": 3, "pwg": "sgray_8"})
            made = []
            for index, form in enumerate(forms):
                form = dict({"quality": 4, "sides": "one-sided", "copies": 1}, **form) if index else form
                pages = 2 if form.get("sides", "one-sided") != "one-sided" else 1
                urf_file = grey_urf(work, "%s-%d" % (queue, index), width_pt, height_pt, resolution, pages,
                                    colour=form["mode"] == "color", sides=form.get("sides", "one-sided"),
                                    pwg=form.get("pwg"))
                so_far = len(device[queue].received())
                # The first job carries no attributes: the queue's defaults.
                attributes = {k: v for k, v in form.items() if k != "pwg"}
                job = client.submit("form" if index else "print", queue, urf_file, attributes if index else None)
                page = check_real_job(sched, args, queue, ppd, programs, job, form, urf_file, inches, pages, manual)
                data = device[queue].settle(so_far)
                check(len(data) > 0, "%s: job %d sent the printer nothing" % (queue, job))
                if origin in ("hpcups", "brlaser"):
                    across = page["xResolution"]  # the printer's, which may be a multiple of the one advertised
                    pcl_checks(queue, data, form, imageable_dots(ppd, across)[0], across, page["yResolution"])
                made.append("%s%s%s%s%s" % ("PWG %s " % form["pwg"] if "pwg" in form else "",
                                            form["mode"], " q%d" % form["quality"] if "quality" in form else "",
                                          " " + form["sides"] if form.get("sides", "one-sided") != "one-sided" else "",
                                          " x%d" % form["copies"] if form.get("copies", 1) > 1 else ""))
            log("  %s: %s -> %s: %d jobs completed at %.2f x %.2f in, %d dpi (%s); 3 copies made by %s" % (
                queue, " -> ".join(["brovane or brovane-pwg"] + list(programs[:1])), "device", len(forms), inches[0], inches[1],
                resolution, ", ".join(made), "brovane" if manual else "the printer"))

        # Where a phone's pages land on each paper, against Ghostscript's
        # pages of the same sheet sent through the same queue as CUPS raster.
        # Every queue is tried, whatever another's outcome: one run tells
        # what prints where on all of them.
        placement = Placement(sched, client, args, work, device, stored)
        failed = []
        for queue in ("laserjet", "zebra", "dymo") + tuple(q for q, _, _, _ in REAL):
            resolution = [int(k[2:].split("-")[0]) for k in client.attributes(queue)[1] if k.startswith("RS")][0]
            try:
                check_placements(placement, queue, resolution,
                                 inkjet=queue in ("hp-envy", "hp-deskjet", "epson", "canon", "hp-dj1000", "epson-c88"))
            except Failure as failure:
                log("  %s FAILED: %s" % (queue, str(failure).splitlines()[0]))
                failed.append(queue)
        check(not failed, "where the ink lands: %d of %d queues failed (%s); see above" % (
            len(failed), 3 + len(REAL), ", ".join(failed)))
    finally:
        clean_up(sched, top)


if __name__ == "__main__":
    run_test(main)
