# End-to-end test of the installed filters under a real, private CUPS scheduler:
# queues with the shipped PPDs, jobs sent with lp, outputs and job logs checked.
#
# python3 scheduler_e2e.py --build-dir B --source-dir S --cmake CMAKE \
#         --jobstate JOBSTATE --rasterpages RASTERPAGES [--ppds-only] \
#         [--filter-dir DIR --ppd-dir DIR]
#
# The filters are installed with `cmake --install` into a temporary prefix,
# or, with --filter-dir and --ppd-dir, taken where a package installed them
# (/usr/lib/cups/filter and /usr/share/ppd/printfilters); cupsd runs from Debian's cups-daemon with its own ServerRoot, spool, logs,
# cache and state in the same temporary folder and listens on a unix socket
# only. Its ServerBin holds the system's helper programs and a filter folder
# with nothing but our filters, and its MIME database has no conversion
# rules, so every job goes through exactly the filter its PPD names.
#
# Exit status: 0 passed, 1 failed, 77 skipped (a tool is missing).
# SCHED_E2E_KEEP=1 keeps the temporary folder to look at afterwards.

import argparse
import os
import pwd
import re
import stat
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from privatecups import (  # noqa: E402
    TOOLS, find_tools, Failure, Skip, log, check, run, run_test, clean_up, Scheduler, add_queue, submit, wait_job)

FILTERS = ("brovane", "brovane-pwg", "calmeric", "dunsiple")
PPDS = {  # PPD installed with each filter
    "brovane": ("colour-600.ppd", "receipt-80mm.ppd"),
    "brovane-pwg": (),  # for the queues brovane-enable changes
    "calmeric": ("urf-raster.ppd",),
    "dunsiple": ("cmyk-photo.ppd",),
}

def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def be32(data, offset):
    return int.from_bytes(data[offset:offset + 4], "big")


# ---- Test input ------------------------------------------------------------

DOCUMENT = """%!PS
% Pages told apart by their number and a bar whose length grows with it.
/Helvetica findfont 18 scalefont setfont
1 1 {pages} {{ /n exch def
  1 0 0 setrgbcolor 10 10 60 40 rectfill
  0 0.5 0.9 setrgbcolor 80 30 50 50 rectfill
  0 0 0 setrgbcolor 10 100 moveto (Page ) show n 3 string cvs show
  0.5 setgray 10 60 n 40 mul 15 rectfill
  0 0 0 setrgbcolor 1 setlinewidth 5 5 moveto 200 130 lineto stroke
  showpage }} for
"""


def ghostscript(device_args, width_pt, height_pt, resolution, pages, out, work):
    source = os.path.join(work, "document-%d.ps" % pages)
    with open(source, "w") as f:
        f.write(DOCUMENT.format(pages=pages))
    run([TOOLS["gs"], "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-r%d" % resolution,
         "-dDEVICEWIDTHPOINTS=%s" % width_pt, "-dDEVICEHEIGHTPOINTS=%s" % height_pt, "-dFIXEDMEDIA"]
        + device_args + ["-sOutputFile=" + out, source])
    check(os.path.getsize(out) > 0, "Ghostscript made an empty " + out)
    return out


def urf_pages(data):
    """(header offset, body offset, end offset, width, height, bits) of each URF page,
    found by walking the encoded lines."""
    check(data[:7] == b"UNIRAST", "not a URF stream")
    pages = []
    pos = 12
    while pos + 32 <= len(data):
        bits, width, height = data[pos], be32(data, pos + 12), be32(data, pos + 16)
        size = bits // 8
        p = pos + 32
        rows = 0
        while rows < height:
            repeat = data[p]
            p += 1
            i = 0
            while i < width:
                code = data[p]
                p += 1
                if code == 0x80:
                    i = width
                elif code < 0x80:
                    p += size
                    i += code + 1
                else:
                    p += (257 - code) * size
                    i += 257 - code
            rows += repeat + 1
        pages.append((pos, pos + 32, p, width, height, bits))
        pos = p
    check(pos == len(data), "URF stream has %d stray bytes" % (len(data) - pos))
    return pages


def repeat_urf_page(data, count):
    """A URF job of `count` copies of the first page, its count in the file header."""
    first = urf_pages(data)[0]
    return data[:8] + count.to_bytes(4, "big") + data[first[0]:first[2]] * count


def raster_pages(tool, path):
    """Page headers and readable rows of a CUPS raster file, read with libcups."""
    pages = []
    for line in run([tool, path]).stdout.decode().splitlines():
        words = line.split()
        page = {words[i]: int(words[i + 1]) for i in range(0, len(words), 2)}
        page["resolution"] = (page["xResolution"], page["yResolution"])
        pages.append(page)
    return pages


# ---- The private scheduler ---------------------------------------------------

# ---- One job through the scheduler ---------------------------------------------

class Job:
    def __init__(self, queue, number, log_entries, state, seconds):
        self.queue = queue
        self.number = number
        self.log = log_entries
        self.state = state
        self.seconds = seconds

    def messages(self):
        return [m for _, m in self.log]

    def has(self, text, level=None):
        return any(text in m and (level is None or lvl == level) for lvl, m in self.log)

    def dump(self):
        return "\n".join("%s %s" % e for e in self.log if not e[1].startswith(("envp[", "argv[")))

    def expect(self, condition, message):
        check(condition, "job %d on %s: %s\n--- its log ---\n%s" % (self.number, self.queue, message, self.dump()))


def wait_for_log(sched, number, predicate, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        entries = sched.job_log(number)
        if predicate(entries):
            return entries
        time.sleep(0.05)
    return None


def print_job(sched, jobstate, queue, path, options=()):
    started = time.monotonic()
    number = submit(sched, queue, path, options)
    state = wait_job(sched, jobstate, number)
    seconds = time.monotonic() - started
    # The filter's exit is logged right after the job's end; wait for it.
    entries = wait_for_log(sched, number, lambda e: any(re.match(r"PID \d+ \(.*\) ", m) for _, m in e), 10)
    job = Job(queue, number, entries if entries is not None else sched.job_log(number), state, seconds)
    log("job %d on %s: %s in %.2f s" % (number, queue, state, seconds))
    return job


def expect_our_filter(job, filter_dir, name):
    """The chain was our one filter, it logged through the scheduler and ended well."""
    started = [m for m in job.messages() if m.startswith(("Started filter ", "Started backend "))]
    match = len(started) == 1 and re.match(r"Started filter (\S+) \(PID \d+\)$", started[0])
    job.expect(match and os.path.realpath(match.group(1)) == os.path.realpath(os.path.join(filter_dir, name)),
               "expected exactly one program, %s/%s; started: %s" % (filter_dir, name, started))
    first = "(dunsiple) Page 1 starts." if name == "dunsiple" else "(%s) Starting operation" % name
    job.expect(job.has(first, "D"), "no DEBUG line \"%s\"" % first)


def expect_completed(job, name):
    job.expect(job.state == "completed", "ended %s, not completed" % job.state)
    job.expect(any(re.match(r"PID \d+ \(.*/%s\) exited with no errors\.$" % name, m) for m in job.messages()),
               "the filter's exit with status 0 is not logged")
    job.expect(job.has("Job completed.", "I"), "no \"Job completed.\"")


def direct_run(filter_path, ppd, path, work, name):
    """Runs a filter by hand as the scheduler would, on the same input; its output."""
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LANG": "C"}
    for extra in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
        if extra in os.environ:
            env[extra] = os.environ[extra]
    if ppd:
        env["PPD"] = ppd
    out_path = os.path.join(work, name + ".direct")
    with open(out_path, "wb") as out:
        result = subprocess.run([filter_path, "1", "tester", "direct", "1", "", path], env=env, stdout=out,
                                stderr=subprocess.PIPE, timeout=120)
    check(result.returncode == 0, "%s exited with %d on %s:\n%s" % (filter_path, result.returncode, path,
                                                                      result.stderr.decode(errors="replace")))
    return read_bytes(out_path)


class SlowDevice:
    """Reads a FIFO that stands for a slow printer, at `rate` bytes a second
    while not paused, noting how much arrived and when the writer went."""

    def __init__(self, path, rate):
        self.rate = rate
        os.mkfifo(path, 0o600)
        # Open before cupsd does, so its open for writing doesn't block.
        self.fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        os.set_blocking(self.fd, True)
        self.total = 0
        self.eof_at = None
        self.paused = threading.Event()
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self.loop, daemon=True)
        self.thread.start()

    def loop(self):
        seen = False
        started = 0.0
        while True:
            if self.paused.is_set():
                time.sleep(0.01)
                continue
            chunk = os.read(self.fd, 65536)
            if not chunk:
                if seen:
                    self.eof_at = time.monotonic()
                    break
                time.sleep(0.01)  # no writer yet
                continue
            if not seen:
                seen = True
                started = time.monotonic()
            with self.lock:
                self.total += len(chunk)
            ahead = self.total / self.rate - (time.monotonic() - started)
            if ahead > 0:
                time.sleep(ahead)
        os.close(self.fd)

    def bytes_read(self):
        with self.lock:
            return self.total


# ---- The checks ------------------------------------------------------------------

def install(args, top, as_root):
    """The filter and PPD folders: made by `cmake --install`, or given."""
    if args.filter_dir:
        filter_dir, model_dir = args.filter_dir, args.ppd_dir
        # A system folder holds other packages' filters too.
        installed = sorted(n for n in os.listdir(filter_dir) if n in FILTERS)
    else:
        prefix = os.path.join(top, "prefix")
        run([args.cmake, "--install", args.build_dir, "--prefix", prefix])
        filter_dir = os.path.join(prefix, "lib", "cups", "filter")
        model_dir = os.path.join(prefix, "share", "ppd", "printfilters")
        check(os.path.isdir(filter_dir), "cmake --install made no " + filter_dir)
        installed = sorted(os.listdir(filter_dir))
        check(set(installed) <= set(FILTERS), "unexpected files in the filter folder: " + str(installed))
    check(installed == sorted(FILTERS), "not all filters are installed in %s: %s" % (filter_dir, installed))
    for name in installed:
        path = os.path.join(filter_dir, name)
        mode = stat.S_IMODE(os.stat(path).st_mode)
        check(mode == 0o755, "%s has mode %o, not 755" % (path, mode))
        for ppd in PPDS[name]:
            path = os.path.join(model_dir, ppd)
            check(os.path.isfile(path), "%s installed without its PPD %s" % (name, ppd))
            check(read_bytes(path) == read_bytes(os.path.join(args.source_dir, "ppd", ppd)),
                  "installed %s differs from the source's" % ppd)
    if as_root:
        # cupsd runs no filter that is, or whose folder is, writable by
        # others; the installation leaves neither.
        for path in [filter_dir] + [os.path.join(filter_dir, n) for n in installed]:
            st = os.stat(path)
            check(st.st_uid == 0 and not st.st_mode & 0o022,
                  "%s is owned by %d with mode %o" % (path, st.st_uid, stat.S_IMODE(st.st_mode)))
    return filter_dir, model_dir, installed


def check_ppds(filter_dir, model_dir):
    env = dict(os.environ, CUPS_SERVERBIN=os.path.dirname(filter_dir), LANG="C")
    ppds = sorted(os.listdir(model_dir))
    for ppd in ppds:
        result = run([TOOLS["cupstestppd"], "-W", "all", os.path.join(model_dir, ppd)], env=env, check_status=False)
        text = result.stdout.decode(errors="replace") + result.stderr.decode(errors="replace")
        check(result.returncode == 0 and ": PASS" in text, "cupstestppd rejects %s:\n%s" % (ppd, text))
        log("cupstestppd: %s PASS" % ppd)
    return ppds


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--cmake", required=True)
    parser.add_argument("--jobstate", required=True)
    parser.add_argument("--rasterpages", required=True)
    parser.add_argument("--ppds-only", action="store_true")
    parser.add_argument("--filter-dir", help="the filters where a package installed them")
    parser.add_argument("--ppd-dir", help="the PPDs where a package installed them")
    args = parser.parse_args()
    if bool(args.filter_dir) != bool(args.ppd_dir):
        parser.error("--filter-dir and --ppd-dir go together")

    tools = ["cupstestppd"] if args.ppds_only else ["cupstestppd", "cupsd", "lpadmin", "lp", "cancel", "gs"]
    missing = find_tools(tools)
    if missing:
        raise Skip("missing " + ", ".join(missing) + " (Debian packages cups-daemon, cups-client, ghostscript)")

    as_root = os.geteuid() == 0
    # Folders that lp (the filters' user under a root cupsd) can enter, in
    # /tmp whatever TMPDIR says: the socket path must stay short.
    os.umask(0o022)
    top = tempfile.mkdtemp(prefix="sched-e2e-", dir="/tmp")
    sched = None
    try:
        # The filters run as lp when cupsd is root: the folders must let it in.
        os.chmod(top, 0o755)
        filter_dir, model_dir, installed = install(args, top, as_root)
        ppds = check_ppds(filter_dir, model_dir)
        if args.ppds_only:
            check(len(ppds) >= 2, "fewer PPDs than brovane's two")
            return
        user = "root (filters run as lp)" if as_root else pwd.getpwuid(os.getuid()).pw_name
        log("cupsd as %s; filters installed: %s" % (user, ", ".join(installed)))
        work = os.path.join(top, "work")
        outdir = os.path.join(top, "out")
        os.makedirs(work)
        os.makedirs(outdir)
        os.chmod(outdir, 0o755)

        sched = Scheduler(top, filter_dir, as_root)
        sched.start(args.jobstate)

        def ppd(name):
            return os.path.join(model_dir, name)

        def device(name):
            return "file://" + os.path.join(outdir, name)

        # Runs by hand use the programs of the build tree, so the comparisons
        # also show that the installed programs are the built ones.
        def built(name):
            return os.path.join(args.build_dir, name, name)

        brovane = built("brovane")
        rasterpages = args.rasterpages
        add_queue(sched, "colour", ppd("colour-600.ppd"), device("colour"))
        add_queue(sched, "receipt", ppd("receipt-80mm.ppd"), device("receipt"))

        # Input: 3 colour pages of 3.5 x 2 in at 300 dpi (enlarged twice for
        # the 600 dpi printer: a custom size, its 1/6 in margins cut off), 3
        # grey and 3 colour pages of an 80 x 100 mm receipt at 203 dpi (the
        # roll's 4 mm margins cut off).
        colour_urf = ghostscript(["-sDEVICE=urf", "-dcupsColorSpace=19", "-dcupsBitsPerColor=8"], 252, 144, 300, 3,
                                 os.path.join(work, "colour.urf"), work)
        grey_urf = ghostscript(["-sDEVICE=urf", "-dcupsColorSpace=18", "-dcupsBitsPerColor=8"], 226.77, 283.46, 203, 3,
                               os.path.join(work, "grey.urf"), work)
        colour_receipt = ghostscript(["-sDEVICE=urf", "-dcupsColorSpace=19", "-dcupsBitsPerColor=8"], 226.77, 283.46,
                                     203, 3, os.path.join(work, "colour-receipt.urf"), work)
        receipt_width = round((215.43 - 11.34) * 203 / 72)
        colour_pages = urf_pages(read_bytes(colour_urf))
        check([(p[3], p[4], p[5]) for p in colour_pages] == [(1050, 600, 24)] * 3,
              "unexpected colour URF pages: %s" % colour_pages)
        grey_pages = urf_pages(read_bytes(grey_urf))
        check(len(grey_pages) == 3 and all(p[5] == 8 for p in grey_pages), "unexpected grey URF pages")

        # 1. Multi-page colour URF on the 600 dpi colour printer.
        job = print_job(sched, args.jobstate, "colour", colour_urf)
        expect_our_filter(job, filter_dir, "brovane")
        expect_completed(job, "brovane")
        for page in (1, 2, 3):
            # cupsd logs an INFO message and makes it the job's state message.
            job.expect(job.has("Set job-printer-state-message to \"Rendering page %d\", current level=INFO" % page),
                       "no INFO line for page %d" % page)
        job.expect(job.has("(brovane) Exiting program 0", "D"), "no exit line")
        got = read_bytes(os.path.join(outdir, "colour"))
        want = direct_run(brovane, ppd("colour-600.ppd"), colour_urf, work, "colour")
        job.expect(got == want, "device received %d bytes, brovane run by hand writes %d (or other bytes)"
                   % (len(got), len(want)))
        pages = raster_pages(rasterpages, os.path.join(outdir, "colour"))
        job.expect([(p["width"], p["height"], p["bitsPerPixel"], p["rows"], p["resolution"]) for p in pages]
                   == [(1900, 1000, 24, 1000, (600, 600))] * 3, "raster pages: %s" % pages)
        log("  colour: 3 pages of 1900x1000 24-bit (2100x1200 less the margins), same %d bytes as brovane by hand"
            % len(got))

        # 2. Grey URF on the receipt printer: 1-bit black pages.
        job = print_job(sched, args.jobstate, "receipt", grey_urf)
        expect_our_filter(job, filter_dir, "brovane")
        expect_completed(job, "brovane")
        job.expect(job.has("(brovane) B/W only Printer: 1", "D"), "the receipt PPD did not make brovane monochrome")
        got = read_bytes(os.path.join(outdir, "receipt"))
        want = direct_run(brovane, ppd("receipt-80mm.ppd"), grey_urf, work, "receipt")
        job.expect(got == want, "device bytes differ from brovane run by hand")
        pages = raster_pages(rasterpages, os.path.join(outdir, "receipt"))
        expected = [(receipt_width, p[4], 1, 1, 3, (receipt_width + 7) // 8, p[4]) for p in grey_pages]
        job.expect([(p["width"], p["height"], p["bitsPerColor"], p["bitsPerPixel"], p["colorSpace"], p["bytesPerLine"],
                     p["rows"]) for p in pages] == expected, "raster pages: %s, expected %s" % (pages, expected))
        log("  receipt: %d pages of %dx%d 1-bit black" % (len(pages), pages[0]["width"], pages[0]["height"]))

        # A colour job on the receipt printer stays colour (sRGB, 24-bit).
        job = print_job(sched, args.jobstate, "receipt", colour_receipt)
        expect_completed(job, "brovane")
        pages = raster_pages(rasterpages, os.path.join(outdir, "receipt"))
        height = grey_pages[0][4]
        job.expect([(p["width"], p["height"], p["bitsPerPixel"], p["colorSpace"], p["rows"]) for p in pages]
                   == [(receipt_width, height, 24, 19, height)] * 3, "raster pages: %s" % pages)
        log("  receipt, colour URF: 3 pages of %dx%d 24-bit sRGB" % (receipt_width, height))

        # A page of a paper the colour printer does not have (wider than its
        # 8.5 in) prints nothing, with one line saying so; the job completes.
        wide_urf = ghostscript(["-sDEVICE=urf", "-dcupsColorSpace=19", "-dcupsBitsPerColor=8"], 792, 1224, 50, 1,
                               os.path.join(work, "tabloid.urf"), work)
        job = print_job(sched, args.jobstate, "colour", wide_urf)
        expect_completed(job, "brovane")
        errors = [m for lvl, m in job.log if lvl == "E"]
        job.expect(len(errors) == 1 and "it is 792 x 1224 pt (11.00 x 17.00 in) and the printer has no such paper"
                   in errors[0], "errors: %s" % errors)
        job.expect(not raster_pages(rasterpages, os.path.join(outdir, "colour")), "a page reached the printer")
        log("  colour, 11 x 17 in: nothing printed; \"%s\"" % errors[0])

        # 3. URF cut in the middle of page 2: the decoder's ERROR line, status
        # 0, the job completed with page 1 whole and page 2 cut short.
        data = read_bytes(colour_urf)
        _, body, end = colour_pages[1][:3]
        damaged = os.path.join(work, "damaged.urf")
        with open(damaged, "wb") as f:
            f.write(data[:body + (end - body) // 2])
        job = print_job(sched, args.jobstate, "colour", damaged)
        expect_our_filter(job, filter_dir, "brovane")
        expect_completed(job, "brovane")
        job.expect(any(lvl == "E" and re.match(r"\(brovane\) .*EOF at \d+", m) for lvl, m in job.log),
                   "no decoder ERROR line")
        job.expect(job.has("(brovane) Result of raster decode 1", "D"), "no failed decode result")
        job.expect(job.has("(brovane) End of file reached @ page 3", "D"), "the job did not end at the input's end")
        got = read_bytes(os.path.join(outdir, "colour"))
        want = direct_run(brovane, ppd("colour-600.ppd"), damaged, work, "damaged")
        job.expect(got == want, "device bytes differ from brovane run by hand")
        pages = raster_pages(rasterpages, os.path.join(outdir, "colour"))
        job.expect(len(pages) == 2 and pages[0]["rows"] == 1000 and 0 < pages[1]["rows"] < 1000,
                   "raster pages: %s" % pages)
        error = [m for lvl, m in job.log if lvl == "E" and "(brovane)" in m][0]
        log("  damaged URF: completed, page 2 has %d of 1000 rows; \"%s\"" % (pages[1]["rows"], error))

        # 4. Not URF at all, sent as URF: the CRIT line, status 1, job stopped.
        note = os.path.join(work, "note.txt")
        with open(note, "w") as f:
            f.write("This is a note, not a raster job.\n")
        job = print_job(sched, args.jobstate, "colour", note, ["document-format=image/urf"])
        expect_our_filter(job, filter_dir, "brovane")
        job.expect(job.state in ("stopped", "aborted"), "ended %s, not stopped or aborted" % job.state)
        crit = [m for lvl, m in job.log if lvl == "C"]
        job.expect(any(re.match(r"\(brovane\) die\(Bad File Header\) \[.*\]$", m) for m in crit),
                   "no CRIT line with die(Bad File Header): %s" % crit)
        job.expect(any(re.match(r"PID \d+ \(.*/brovane\) stopped with status 1\.$", m) for m in job.messages()),
                   "the filter's status 1 is not logged")
        printer = run([args.jobstate, sched.socket, "printer", "colour"], env=sched.env).stdout.decode().strip()
        log("  non-URF as image/urf: job %s, printer %s; \"%s\"" % (job.state, printer, crit[0]))

        # 5. calmeric: URF lines passed through with headers from the URF pages.
        add_queue(sched, "urfraster", ppd("urf-raster.ppd"), device("urfraster"))
        job = print_job(sched, args.jobstate, "urfraster", colour_urf)
        expect_our_filter(job, filter_dir, "calmeric")
        expect_completed(job, "calmeric")
        got = read_bytes(os.path.join(outdir, "urfraster"))
        want = direct_run(built("calmeric"), None, colour_urf, work, "calmeric")
        job.expect(got == want, "device bytes differ from calmeric run by hand")
        pages = raster_pages(rasterpages, os.path.join(outdir, "urfraster"))
        job.expect([(p["width"], p["height"], p["bitsPerPixel"], p["rows"], p["resolution"]) for p in pages]
                   == [(1050, 600, 24, 600, (300, 300))] * 3, "raster pages: %s" % pages)
        log("  calmeric: 3 pages of 1050x600 24-bit at 300 dpi, same bytes as calmeric by hand")

        # 6. dunsiple: 8-bit CMYK raster for the photo printer (4 x 6 in at
        # 300 dpi) becomes packed rows, half a byte a pixel, no header.
        add_queue(sched, "cmyk", ppd("cmyk-photo.ppd"), device("cmyk"))
        cmyk = ghostscript(["-sDEVICE=cups", "-dcupsColorSpace=6", "-dcupsBitsPerColor=8"], 288, 432, 300, 2,
                           os.path.join(work, "cmyk.ras"), work)
        source = raster_pages(rasterpages, cmyk)
        check([(p["width"], p["height"], p["bitsPerPixel"], p["colorSpace"]) for p in source]
              == [(1200, 1800, 32, 6)] * 2, "unexpected CMYK raster from Ghostscript: %s" % source)
        job = print_job(sched, args.jobstate, "cmyk", cmyk)
        expect_our_filter(job, filter_dir, "dunsiple")
        expect_completed(job, "dunsiple")
        for page in (1, 2):
            job.expect(job.has("(dunsiple) Page %d ends." % page, "D"), "page %d did not end" % page)
        got = read_bytes(os.path.join(outdir, "cmyk"))
        want = direct_run(built("dunsiple"), ppd("cmyk-photo.ppd"), cmyk, work, "dunsiple")
        job.expect(len(got) == 2 * 1800 * 600, "device received %d bytes, not 2 pages of 1800 rows of 600"
                   % len(got))
        job.expect(got == want, "device bytes differ from dunsiple run by hand")
        log("  dunsiple: 2 pages of 1800 packed rows of 600 bytes, same bytes as dunsiple by hand")

        # 7. Cancel a long job: 40 A4 pages at 600 dpi (104 MB of raster each)
        # for a printer that takes 50 MB a second.
        a4 = ghostscript(["-sDEVICE=urf", "-dcupsColorSpace=19", "-dcupsBitsPerColor=8"], 595, 842, 600, 1,
                         os.path.join(work, "a4.urf"), work)
        big = os.path.join(work, "big.urf")
        with open(big, "wb") as f:
            f.write(repeat_urf_page(read_bytes(a4), 40))
        row_bytes = 3 * urf_pages(read_bytes(a4))[0][3]
        slow = SlowDevice(os.path.join(outdir, "slow"), 50e6)
        add_queue(sched, "slow", ppd("colour-600.ppd"), device("slow"))
        number = submit(sched, "slow", big)
        entries = wait_for_log(sched, number, lambda e: any(m.startswith("Rendering page 3 of 40") for _, m in e), 60)
        check(entries is not None, "the long job did not reach page 3:\n" + sched.tail())
        # The device stops taking data, so the filter soon blocks on a full
        # pipe; what arrives after the cancel is then all it wrote after it.
        slow.paused.set()
        time.sleep(0.3)
        before = slow.bytes_read()
        cancelled_at = time.monotonic()
        run([TOOLS["cancel"], "-h", sched.socket, str(number)], env=sched.env)
        state = wait_job(sched, args.jobstate, number, 30)
        slow.paused.clear()
        entries = wait_for_log(sched, number, lambda e: any(re.match(r"PID \d+ ", m) for _, m in e), 30)
        exited_at = time.monotonic()
        slow.thread.join(10)
        job = Job("slow", number, sched.job_log(number), state, exited_at - cancelled_at)
        job.expect(entries is not None, "the filter's end is not logged within 30 s of the cancel")
        job.expect(state == "canceled", "ended %s, not canceled" % state)
        job.expect(any(re.match(r"PID \d+ \(.*/brovane\) exited with no errors\.$", m) for m in job.messages()),
                   "brovane did not end with status 0 on SIGTERM")
        job.expect(not any("crashed" in m or "signal" in m for m in job.messages()), "the filter died of a signal")
        job.expect(slow.eof_at is not None and slow.eof_at - cancelled_at < 5,
                   "the filter still held the device 5 s after the cancel")
        job.expect(exited_at - cancelled_at < 5, "the filter's end took %.1f s" % (exited_at - cancelled_at))
        for text in ("Completed processing", "Exiting program", "Real Time"):
            job.expect(not job.has("(brovane) " + text), "brovane wrote \"%s\" after SIGTERM" % text)
        rendered = [int(m.split()[2]) for m in job.messages() if m.startswith("Rendering page ")]
        job.expect(max(rendered) < 40, "all 40 pages were rendered")
        after = slow.bytes_read() - before
        # At most the rest of one encoded line (up to 256 rows), the row the
        # filter was writing and what the pipe held follow the signal.
        job.expect(after <= 257 * row_bytes + (1 << 20), "%d bytes reached the device after the cancel" % after)
        cores = [os.path.join(d, f) for d, _, fs in os.walk(top) for f in fs if f == "core" or f.startswith("core.")]
        job.expect(not cores, "core files: %s" % cores)
        log("job %d on slow: canceled at page %d of 40; filter gone %.2f s after cancel, %d bytes after it"
            % (number, max(rendered), slow.eof_at - cancelled_at, after))
    finally:
        clean_up(sched, top)


if __name__ == "__main__":
    run_test(main)
