# Real printer drivers behind brovane: queues of the scheduler's own sample
# raster drivers and of the drivers people own (hpcups, brlaser, escpr,
# gutenprint), made to take URF and PWG raster jobs with brovane-enable,
# printed to by an IPP client over loopback TCP in every form they advertise; the sample drivers'
# device output checked against the drivers run by hand on brovane's output,
# the others' by brovane run by hand as the scheduler ran it and by the
# driver's own commands where PCL and PJL make that easy.
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


def true_size(queue, data, width_pt, resolution, pages):
    """Checks that the driver's output is the job's pages at the label or page width."""
    dots = round(width_pt / 72 * resolution)
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
    by hand as the scheduler ran it, writes pages of the job's size on the
    sides and in the copies asked."""
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
        size = (page["width"] / page["xResolution"], page["height"] / page["yResolution"])
        check(all(abs(size[k] - inches[k]) * page["xResolution"] <= 1 for k in (0, 1)),
              "job %d on %s (%s): pages of %.3f x %.3f in, the job's are %.3f x %.3f" % (
                  job, queue, form, size[0], size[1], inches[0], inches[1]))
        check(page["duplex"] == int(two_sided) and
              page["tumble"] == int(form.get("sides") == "two-sided-short-edge"),
              "job %d on %s (%s): duplex %d tumble %d" % (job, queue, form, page["duplex"], page["tumble"]))
        check(page["copies"] == (1 if manual else asked), "job %d on %s (%s): NumCopies %d" % (
            job, queue, form, page["copies"]))
    return written[0]


def pcl_checks(queue, data, form, dots, resolution):
    """What the PCL and PJL of hpcups and brlaser say about a job: the raster
    width and resolution (hpcups), the resolution (brlaser), the sides, and
    the copies brlaser has the printer make."""
    two_sided = form.get("sides", "one-sided") != "one-sided"
    duplex = re.search(rb"\x1b&l[12]S|@PJL SET DUPLEX=ON", data) is not None
    check(duplex == two_sided, "%s (%s): duplex command %s in the driver's output" % (
        queue, form, "present" if duplex else "missing"))
    if queue.startswith("hp-"):
        widths, resolutions, _ = pcl_pages(data)
        check(widths == {dots} and resolutions == {resolution}, "%s (%s): PCL raster widths %s at %s dpi, not %d "
              "at %d" % (queue, form, widths, resolutions, dots, resolution))
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


# ---- The test ----------------------------------------------------------------

def run_enable(enable, sched, *args):
    return subprocess.run([enable] + list(args), env=sched.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=60)


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
            log("  %s: %s; %s" % (queue, " -> ".join(lines), true_size(queue, want, width_pt, resolution, 2)))
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
                                              true_size(queue, pwg_want, width_pt, resolution, 2)
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
                    pcl_checks(queue, data, form, page["width"], resolution)
                made.append("%s%s%s%s%s" % ("PWG %s " % form["pwg"] if "pwg" in form else "",
                                            form["mode"], " q%d" % form["quality"] if "quality" in form else "",
                                          " " + form["sides"] if form.get("sides", "one-sided") != "one-sided" else "",
                                          " x%d" % form["copies"] if form.get("copies", 1) > 1 else ""))
            log("  %s: %s -> %s: %d jobs completed at %.2f x %.2f in, %d dpi (%s); 3 copies made by %s" % (
                queue, " -> ".join(["brovane or brovane-pwg"] + list(programs[:1])), "device", len(forms), inches[0], inches[1],
                resolution, ", ".join(made), "brovane" if manual else "the printer"))
    finally:
        clean_up(sched, top)


if __name__ == "__main__":
    run_test(main)
