#!/usr/bin/env python3
"""Which PPDs of Debian's raster printer drivers brovane-enable serves, and whether URF jobs then print at
true size: builds the compatibility table (docs/compatibility.md) from the driver packages themselves."""

# sudo python3 tools/compat-table.py [--enable PATH] [--brovane PATH] [--output PATH] [--json FILE]
#
# 1. apt-get download + dpkg-deb -x of the driver packages into a temporary folder (nothing installed);
#    every PPD they ship or generate: ppdc on their .drv files, their PPD programs' `list` and `cat`.
# 2. brovane-enable --ppd on each: served (the changed PPD), already takes URF, or refused with the reason.
# 3. The changed PPDs as queues of one private scheduler (root: it runs the filters as lp), asked over
#    loopback IPP what they advertise (urf-supported, print-quality-supported, ...). A few jobs per kind
#    of queue go through the scheduler to learn the options it passes to brovane; then brovane runs by
#    hand, as the scheduler runs it, on a 2 x 3 inch URF page in every advertised form, and its output
#    page header says whether the page prints at that size.
# 4. The table, the counts (also on standard output) and, with --json, the raw results.

import argparse
import base64
import collections
import concurrent.futures
import gzip
import hashlib
import json
import lzma
import os
import re
import runpy
import shlex
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import uuid

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from privatecups import TOOLS, Failure, Scheduler, download_packages, find_tools, log, run  # noqa: E402

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGES = ("printer-driver-brlaser", "printer-driver-dymo", "printer-driver-escpr", "printer-driver-gutenprint",
            "printer-driver-hpcups", "printer-driver-splix")
WORKERS = os.cpu_count() or 2
JOB_INCHES = (2, 3)  # the test page's width and height
QUALITIES = {3: "draft", 4: "normal", 5: "high"}
ATTRIBUTES = ("document-format-supported", "urf-supported", "print-quality-supported",
              "pwg-raster-document-resolution-supported", "print-color-mode-supported", "printer-state-reasons")
# Job attributes the scheduler passes that name the job itself, not how it prints.
JOB_OWN = re.compile(r"^(job-uuid|job-originating-host-name|date-time-at-\w+|time-at-\w+)=")
# Refusal reasons grouped by what they say (first match wins).
REASON_CLASSES = (
    (r"PostScript|PDF", "PostScript or PDF"),
    (r"takes 8-bit raster of colour space (0|18),", "8-bit grey raster"),
    (r"takes \d+-bit raster|brovane writes", "other raster brovane does not write"),
    (r"resolution is \d+x\d+", "unequal resolutions"),
    (r"not CUPS raster", "driver takes no CUPS raster"),
    (r"give no raster page header", "no page header from the defaults"),
    (r"driverless", "driverless"),
    (r"not a PPD", "unreadable PPD"),
    (r"black-and-white", "black-and-white mark on a colour driver"),
    (r"it prints at \d+x\d+ dpi, by default at", "an option prints at another resolution"),
    (r"no choice of its Resolution option", "no Resolution choice named for its resolution"),
)


def read_text(path):
    opener = gzip.open if path.endswith(".gz") else open
    with opener(path, "rb") as f:
        return f.read().decode("latin-1")


def parallel(function, items):
    """function(item) for every item, WORKERS at a time; the results in order."""
    with concurrent.futures.ThreadPoolExecutor(WORKERS) as pool:
        return list(pool.map(function, items))


# ---- 1. The packages and their PPDs -----------------------------------------------------------------------

def fetch_packages(work):
    """Downloads and unpacks each driver package: {package: (version, folder)}."""
    debs = os.path.join(work, "debs")
    os.makedirs(debs)
    downloaded, why = download_packages(debs, PACKAGES)
    if downloaded is None:
        raise Failure(why)
    found = {}
    for package in PACKAGES:
        deb = downloaded[package]
        root = os.path.join(work, "packages", package)
        os.makedirs(root)
        run(["dpkg-deb", "-x", deb, root])
        version = run(["dpkg-deb", "-f", deb, "Version"]).stdout.decode().strip()
        found[package] = (version, root)
    return found


def distinct_file_names(text):
    """The .drv text with each repeated PCFileName made unique (ppdc writes one file a name, so a repeat
    would overwrite a model compiled before it); the number renamed."""
    seen = collections.Counter()

    def rename(match):
        name = match.group(2)
        seen[name] += 1
        if seen[name] == 1:
            return match.group(0)
        return '%s"%s-%d.ppd"' % (match.group(1), name[:-4], seen[name])

    text = re.sub(r'(?m)^([ \t]*PCFileName[ \t]+)"([^"]+\.ppd)"', rename, text)
    return text, sum(n - 1 for n in seen.values())


def drv_ppds(package, root, out):
    """The PPDs ppdc compiles from the package's .drv files."""
    records = []
    folder = os.path.join(root, "usr", "share", "cups", "drv")
    for name in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
        if not name.endswith(".drv"):
            continue
        text, renamed = distinct_file_names(read_text(os.path.join(folder, name)))
        copy = os.path.join(out, "drv-" + name)
        with open(copy, "w", encoding="latin-1") as f:
            f.write(text)
        target = os.path.join(out, name[:-4])
        run([TOOLS["ppdc"], "-d", target, "-I", folder, copy], timeout=600)
        if renamed:
            log("  %s: %d repeated PCFileName made unique" % (name, renamed))
        for ppd in sorted(os.listdir(target)):
            records.append({"package": package, "source": "%s: %s" % (name, ppd),
                            "path": os.path.join(target, ppd)})
    return records


def list_entries(program):
    """The URIs a PPD program's `list` names, one per model: where a model were listed as both its expert
    and its simple variant (gutenprint's `list` names only the expert ones), the expert one."""
    out = run([program, "list"], timeout=600).stdout.decode("utf-8", errors="replace")
    uris = [shlex.split(line)[0] for line in out.splitlines() if line.strip()]
    chosen = collections.OrderedDict()
    for uri in uris:
        model = re.sub(r"/(expert|simple)$", "", uri)
        if model not in chosen or uri.endswith("/expert"):
            chosen[model] = uri
    return list(chosen.values()), len(uris)


def archive_ppds(package, program, out):
    """The PPDs of a Python PPD archive program (escpr, dymo). Its own code loads its index; the archive
    is decompressed once and cut as its `cat` cuts it, checked against `cat` itself for two URIs."""
    uris, listed = list_entries(program)
    code = runpy.run_path(program, run_name="ppd_archive")
    index = code["load"]()
    archive = lzma.decompress(base64.b64decode(index["ARCHIVE"].encode("ascii")))
    name = os.path.basename(program)
    records = []
    for uri in uris:
        key = uri.split(":")[-1]
        key = "0/" + key[key.find("/") + 1:]
        start, length = index[key][0], index[key][1]
        path = os.path.join(out, name, key[2:].replace("/", "_"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(archive[start:start + length])
        records.append({"package": package, "source": uri, "path": path})
    for record in (records[0], records[-1]):
        with open(record["path"], "rb") as f:
            if run([program, "cat", record["source"]]).stdout != f.read():
                raise Failure("%s cat %s differs from the archive cut here" % (program, record["source"]))
    log("  %s: %d PPDs (%d listed)" % (name, len(records), listed))
    return records


def program_ppds(package, program, out):
    """The PPDs a compiled PPD program (gutenprint) writes with `cat URI`, one per listed model."""
    uris, listed = list_entries(program)
    name = os.path.basename(program)
    os.makedirs(os.path.join(out, name))

    def cat(uri):
        path = os.path.join(out, name, re.sub(r"[^\w.-]+", "_", uri.split("://", 1)[-1]) + ".ppd")
        with open(path, "wb") as f:
            subprocess.run([program, "cat", uri], stdout=f, stderr=subprocess.DEVNULL, check=True, timeout=120,
                           env={"PATH": "/usr/bin:/bin", "LANG": "C"})
        return {"package": package, "source": uri, "path": path}

    records = parallel(cat, uris)
    log("  %s: %d PPDs from %d listed entries" % (name, len(records), listed))
    return records


def package_ppds(package, root, out):
    """Every PPD a package ships or generates."""
    os.makedirs(out)
    records = drv_ppds(package, root, out)
    drivers = os.path.join(root, "usr", "lib", "cups", "driver")
    for name in sorted(os.listdir(drivers)) if os.path.isdir(drivers) else []:
        program = os.path.join(drivers, name)
        with open(program, "rb") as f:
            first = f.readline()
        if first.startswith(b"#!") and b"python" in first:
            records += archive_ppds(package, program, out)
        else:
            records += program_ppds(package, program, out)
    shipped = os.path.join(root, "usr", "share", "ppd")
    for folder, _, files in sorted(os.walk(shipped)):
        for name in sorted(files):
            if name.endswith((".ppd", ".ppd.gz")):
                path = os.path.join(folder, name)
                records.append({"package": package, "source": os.path.relpath(path, root), "path": path})
    for record in records:
        text = read_text(record["path"])
        match = (re.search(r'^\*ModelName:\s*"([^"]*)"', text, re.M) or
                 re.search(r'^\*NickName:\s*"([^"]*)"', text, re.M))
        record["model"] = match.group(1).strip() if match else os.path.basename(record["path"])
    return records


# ---- 2. brovane-enable ------------------------------------------------------------------------------------

def enable_one(enable, record, changed):
    """brovane-enable --ppd on one PPD: the verdict, and the changed PPD in `changed` when served."""
    with open(changed, "wb") as out:
        result = subprocess.run([enable, "--ppd", record["path"]], stdout=out, stderr=subprocess.PIPE,
                                timeout=120, env={"PATH": "/usr/bin:/bin", "LANG": "C"})
    message = result.stderr.decode("utf-8", errors="replace").strip()
    served = re.search(r"URF jobs go through brovane, (.*)$", message, re.M)
    already = re.search(r"nothing to change: (.*)$", message, re.M)
    refused = re.search(r"not changed: (.*)$", message, re.M)
    if result.returncode == 0 and served:
        record.update(verdict="served", enable_says=served.group(1), changed=changed)
    elif result.returncode == 0 and already:
        record.update(verdict="already", reason=already.group(1))
    elif result.returncode == 1 and refused:
        record.update(verdict="refused", reason=refused.group(1))
    else:
        record.update(verdict="refused", reason="brovane-enable exited with %d: %s" % (result.returncode, message))
    if record["verdict"] != "served":
        os.unlink(changed)
    return record


# ---- 3. The scheduler, and brovane on every advertised form ------------------------------------------------

STUB = """#!/bin/sh
# Stands for the queue's driver: keeps the options and brovane's page headers, prints nothing.
printf '%%s\\n' "$5" > %(capture)s/$1.options
# Through a pipe of its own: the scheduler's, opened again by name, is not lp's to open.
cat | %(rasterpages)s /dev/stdin > %(capture)s/$1.pages
"""


def filter_programs(path):
    """The programs the PPD's filter lines name."""
    programs = set()
    for value in re.findall(r'^\*cupsFilter2?:\s*"([^"]*)"', read_text(path), re.M):
        words = value.split()
        if words and words[-1] != "-":
            programs.add(words[-1])
    return programs


def make_filters(top, brovane, rasterpages, queues):
    """The scheduler's filter folder: brovane, and for each driver program a stand-in that keeps what it
    is given (the real drivers never run). Returns the folder and the capture folder."""
    filters = os.path.join(top, "filter")
    capture = os.path.join(top, "capture")
    tools = os.path.join(top, "tools")
    for folder in (filters, tools):
        os.makedirs(folder)
    os.makedirs(capture)
    os.chmod(capture, 0o777)
    shutil.copy(brovane, os.path.join(filters, "brovane"))
    shutil.copy(rasterpages, os.path.join(tools, "rasterpages"))
    programs = set()
    for record in queues:
        programs |= filter_programs(record["changed"])
    programs.discard("brovane")
    for program in sorted(programs):
        path = os.path.join(filters, program)
        with open(path, "w") as f:
            f.write(STUB % {"capture": capture, "rasterpages": os.path.join(tools, "rasterpages")})
        os.chmod(path, 0o755)
    return filters, capture, os.path.join(tools, "rasterpages")


def write_queues(sched, queues):
    """printers.conf and the PPD folder, written before the scheduler starts."""
    folder = os.path.join(sched.root, "ppd")
    os.makedirs(folder)
    now = int(time.time())
    lines = ["NextPrinterId %d" % (len(queues) + 1)]
    for number, record in enumerate(queues, 1):
        shutil.copy(record["changed"], os.path.join(folder, record["queue"] + ".ppd"))
        lines += ["<Printer %s>" % record["queue"], "PrinterId %d" % number, "UUID urn:uuid:%s" % uuid.uuid4(),
                  "Info %s" % record["model"], "DeviceURI file:///dev/null", "State Idle",
                  "StateTime %d" % now, "Accepting Yes", "Shared No", "JobSheets none none", "QuotaPeriod 0",
                  "PageLimit 0", "KLimit 0", "OpPolicy default", "ErrorPolicy abort-job", "</Printer>"]
    with open(os.path.join(sched.root, "printers.conf"), "w") as f:
        f.write("\n".join(lines) + "\n")


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def ipp_request(name, uri, operation, body):
    return """{
  NAME "%s"
  OPERATION %s
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri printer-uri %s
%s}
""" % (name, operation, uri, body)


def run_ipptool(work, port, env, name, tests):
    """Runs ipptool on the tests (one request each, named); {test name: {attribute: [values]}} of
    what each one DISPLAYs."""
    path = os.path.join(work, name + ".test")
    with open(path, "w") as f:
        f.write("".join(tests))
    result = run([TOOLS["ipptool"], "-t", "-T", "60", "ipp://127.0.0.1:%d/" % port, path], env=env,
                 check_status=False, timeout=1800)
    answers, current = {}, None
    for line in result.stdout.decode("utf-8", errors="replace").splitlines():
        test = re.match(r"^    (\S.*?)\s+\[(PASS|FAIL)\]$", line)
        value = re.match(r"^\s+([\w-]+) \([^)]*\) = (.*)$", line)
        if test:
            current = answers.setdefault(test.group(1), {"status": test.group(2)})
        elif value and current is not None:
            current[value.group(1)] = value.group(2).split(",")
    return answers


def query_queues(work, port, env, queues):
    """What each queue advertises."""
    body = "  ATTR keyword requested-attributes %s\n  STATUS successful-ok\n" % ",".join(ATTRIBUTES)
    body += "".join("  DISPLAY %s\n" % a for a in ATTRIBUTES)
    tests = [ipp_request(r["queue"], "ipp://127.0.0.1:%d/printers/%s" % (port, r["queue"]),
                         "Get-Printer-Attributes", body) for r in queues]
    answers = run_ipptool(work, port, env, "attributes", tests)
    for record in queues:
        answer = answers.get(record["queue"], {})
        record["advertised"] = {a: answer.get(a, []) for a in ATTRIBUTES}


def forms_of(record):
    """The advertised job forms: (RS, mode, print-quality or None for the queue's defaults)."""
    urf = record["advertised"]["urf-supported"]
    resolutions = []
    for keyword in urf:
        if keyword.startswith("RS"):
            resolutions += [int(r) for r in keyword[2:].split("-") if r.isdigit()]
    modes = [mode for mode, keyword in (("grey", "W8"), ("colour", "SRGB24")) if keyword in urf]
    qualities = [None] + sorted(quality_number(q) for q in record["advertised"]["print-quality-supported"])
    return [(rs, mode, q) for rs in resolutions for mode in modes for q in qualities]


def quality_number(value):
    names = {name: number for number, name in QUALITIES.items()}
    return int(value) if value.isdigit() else names[value]


def urf_job(folder, resolution, mode, quality):
    """A one-page URF job of JOB_INCHES at the resolution, 8-bit grey or 24-bit sRGB: a dark band down the
    left, the rest white. Written once, its path."""
    path = os.path.join(folder, "%s-%d-%s.urf" % (mode, resolution, quality or "default"))
    if os.path.exists(path):
        return path
    width, height = JOB_INCHES[0] * resolution, JOB_INCHES[1] * resolution
    bits, space, pixel = (24, 1, b"\x30\x60\x90") if mode == "colour" else (8, 0, b"\x40")
    # Bits per pixel, colour space, one-sided, quality; width, height, resolution big-endian.
    page = bytes([bits, space, 1, quality or 4]) + bytes(8) + struct.pack(">III", width, height, resolution) + \
        bytes(8)
    rows = bytearray()
    left = height
    while left > 0:
        # A line repeated n times: 128 band pixels (code 127 and the pixel), then white to the end (128).
        n = min(left, 256)
        rows += bytes([n - 1, 127]) + pixel + b"\x80"
        left -= n
    with open(path + ".tmp", "wb") as f:
        f.write(b"UNIRAST\0" + struct.pack(">I", 1) + page + bytes(rows))
    os.rename(path + ".tmp", path)
    return path


def job_attributes(mode, quality):
    """The job attributes a phone sends with the form."""
    body = "  ATTR keyword print-color-mode %s\n" % ("monochrome" if mode == "grey" else "color")
    if quality is not None:
        body += "  ATTR enum print-quality %d\n" % quality
    return body


def presets(sched, queue):
    """The scheduler's presets for the queue (the options it adds for print-color-mode and
    print-quality), from the queue's cache file."""
    path = os.path.join(sched.top, "cache", queue + ".data")
    try:
        with gzip.open(path, "rb") as f:
            data = f.read()
    except OSError:
        with open(path, "rb") as f:
            data = f.read()
    return tuple(sorted(line.decode("latin-1") for line in data.split(b"\n") if line.startswith(b"Preset ")))


def parse_pages(text):
    pages = []
    for line in text.splitlines():
        words = line.split()
        if len(words) >= 2 and words[0] == "page":
            pages.append({words[i]: int(words[i + 1]) for i in range(2, len(words) - 1, 2)})
    return pages


def learn_options(sched, work, port, jobstate, capture, queues, urf_folder):
    """Sends every advertised form (mode and print-quality) of every kind of presets through the
    scheduler, for two queues of the kind where it has two (of different packages where it can), and
    keeps the options the scheduler passed (what the stand-in driver was given, less the job's own
    names): {(presets, mode, quality): options}, and the jobs' page headers for the by-hand runs to match."""
    askers = collections.OrderedDict()
    for record in queues:
        record["presets"] = presets(sched, record["queue"])
        for rs, mode, quality in forms_of(record):
            members = askers.setdefault((record["presets"], mode, quality), [])
            if record not in members:
                members.append(record)
    tests, sent = [], {}
    for (kind, mode, quality), members in askers.items():
        other = [m for m in members if m["package"] != members[0]["package"]] or members[1:]
        for record in [members[0]] + other[-1:]:
            rs = forms_of(record)[0][0]
            name = "%s %s %s" % (record["queue"], mode, quality)
            body = ("  ATTR name requesting-user-name compat\n  ATTR mimeMediaType document-format image/urf\n"
                    "  GROUP job-attributes-tag\n" + job_attributes(mode, quality) +
                    "  FILE %s\n  STATUS successful-ok\n  DISPLAY job-id\n" % urf_job(urf_folder, rs, mode, quality))
            tests.append(ipp_request(name, "ipp://127.0.0.1:%d/printers/%s" % (port, record["queue"]),
                                     "Print-Job", body))
            sent[name] = (record, rs, mode, quality)
    answers = run_ipptool(work, port, sched.env, "jobs", tests)
    jobs = {int(a["job-id"][0]): sent[name] for name, a in answers.items() if a.get("job-id")}
    if len(jobs) != len(sent):
        raise Failure("the scheduler took %d of %d jobs:\n%s" % (len(jobs), len(sent), sched.tail()))
    # Every job ends (the stand-in exits when brovane's output ends).
    deadline = time.monotonic() + 600
    while True:
        listing = run([jobstate, sched.socket, "list"], env=sched.env).stdout.decode()
        states = {int(w[0]): w[1] for w in (line.split() for line in listing.splitlines()) if len(w) >= 2}
        if all(states.get(job) in ("completed", "aborted", "canceled", "stopped") for job in jobs):
            break
        if time.monotonic() > deadline:
            raise Failure("jobs still running after 600 s:\n%s" % sched.tail())
        time.sleep(1)
    learned, checks = {}, []
    for job, (record, rs, mode, quality) in sorted(jobs.items()):
        try:
            with open(os.path.join(capture, "%d.options" % job)) as f:
                words = f.read().split()
            with open(os.path.join(capture, "%d.pages" % job)) as f:
                pages = parse_pages(f.read())
        except OSError:
            raise Failure("job %d on %s (%s) ended %s without reaching the driver:\n%s" % (
                job, record["queue"], record["model"], states.get(job), sched.tail()))
        options = " ".join(w for w in words if not JOB_OWN.match(w))
        key = (record["presets"], mode, quality)
        if learned.setdefault(key, options) != options:
            raise Failure("queues of the same presets were given different options: %r and %r" % (
                learned[key], options))
        checks.append((record, rs, mode, quality, pages[0] if pages else {"error": "no page"}))
    return learned, checks


# The fields of a CUPS raster page header (cups_page_header2_t, 1796 bytes) read here, by byte offset.
HEADER_FIELDS = {"xResolution": 276, "yResolution": 280, "width": 372, "height": 376, "bitsPerColor": 384,
                 "bitsPerPixel": 388, "bytesPerLine": 392, "colorSpace": 400}
HEADER_BYTES = 1796


def read_raster(path, rasterpages):
    """The first page header of a one-page CUPS raster stream. An uncompressed stream must hold exactly
    the page's rows; a compressed one is read back by rasterpages."""
    with open(path, "rb") as f:
        head = f.read(4 + HEADER_BYTES)
    size = os.path.getsize(path)
    order = {b"RaSt": ">", b"RaS3": ">", b"tSaR": "<", b"3SaR": "<"}.get(head[:4])
    if order is None:
        pages = parse_pages(run([rasterpages, path], check_status=False).stdout.decode())
        return pages[0] if pages else {"error": "brovane's output is no raster stream (%r)" % head[:4]}
    if len(head) < 4 + HEADER_BYTES:
        return {"error": "brovane's output ends in the page header (%d bytes)" % size}
    page = {name: struct.unpack_from(order + "I", head, 4 + at)[0] for name, at in HEADER_FIELDS.items()}
    want = 4 + HEADER_BYTES + page["height"] * page["bytesPerLine"]
    if size != want:
        return {"error": "brovane's output is %d bytes, a whole page of its header %d" % (size, want)}
    page["rows"] = page["height"]
    return page


def brovane_form(brovane, rasterpages, ppd, urf, options, out):
    """brovane run as the scheduler runs it (only PATH, PPD and LANG in its environment, the job file the
    last argument), its output in `out` read back: the first page's header, or the error."""
    env = {"PATH": "/usr/bin:/bin", "PPD": ppd, "LANG": "C"}
    with open(out, "wb") as f:
        result = subprocess.run([brovane, "1", "compat", "compat", "1", options, urf], stdout=f,
                                stderr=subprocess.PIPE, env=env, timeout=300)
    if result.returncode != 0:
        lines = [l for l in result.stderr.decode("utf-8", errors="replace").splitlines() if l.startswith("ERROR")]
        return {"error": "brovane exited with %d: %s" % (result.returncode, lines[-1] if lines else "no message")}
    return read_raster(out, rasterpages)


def same_page(a, b):
    """Whether two page headers agree in what the table reads (two failures agree)."""
    if "error" in a and "error" in b:
        return True
    fields = ("width", "height", "xResolution", "yResolution", "bitsPerPixel", "colorSpace", "rows", "error")
    return all(a.get(k) == b.get(k) for k in fields)


def size_of(page):
    """The printed size in inches, and whether it is the job's within a pixel."""
    width_in = page["width"] / page["xResolution"] if page["xResolution"] else 0
    height_in = page["height"] / page["yResolution"] if page["yResolution"] else 0
    true = (abs(page["width"] - JOB_INCHES[0] * page["xResolution"]) <= 1 and
            abs(page["height"] - JOB_INCHES[1] * page["yResolution"]) <= 1)
    return width_in, height_in, true


# Lines that only name the printer, and comments: brovane reads none of them, so PPDs that differ only
# there print alike (many models share one driver description), and brovane runs once for them.
NAMING = re.compile(rb"^\*(%|(ModelName|ShortNickName|NickName|Product|1284DeviceID|PCFileName)\b).*\n", re.M)


def print_all_forms(sched, brovane, rasterpages, queues, learned, urf_folder, scratch):
    """brovane by hand on every advertised form of every served queue; the numbers of runs and of forms."""
    runs = collections.OrderedDict()
    for record in queues:
        record["forms"] = []
        ppd = os.path.join(sched.root, "ppd", record["queue"] + ".ppd")
        with open(ppd, "rb") as f:
            printing = hashlib.sha1(NAMING.sub(b"", f.read())).hexdigest()
        for rs, mode, quality in forms_of(record):
            form = {"rs": rs, "mode": mode, "quality": quality,
                    "options": learned[(record["presets"], mode, quality)]}
            record["forms"].append(form)
            key = (printing, rs, mode, quality, form["options"])
            if key not in runs:
                runs[key] = (ppd, urf_job(urf_folder, rs, mode, quality), form["options"], [])
            runs[key][3].append(form)

    def one(item):
        ppd, urf, options, forms = item
        out = os.path.join(scratch, "out-%d.ras" % threading.get_ident())
        page = brovane_form(brovane, rasterpages, ppd, urf, options, out)
        if "error" not in page:
            page["width_in"], page["height_in"], page["true_size"] = size_of(page)
        for form in forms:
            form.update(page)

    parallel(one, list(runs.values()))
    return len(runs), sum(len(r[3]) for r in runs.values())


def page_kind(form):
    """'1-bit black at 600 dpi' and the like, from a page header."""
    depth = {1: "1-bit black", 8: "8-bit grey", 24: "24-bit colour"}.get(form["bitsPerPixel"],
                                                                       "%d-bit" % form["bitsPerPixel"])
    return "%s at %s dpi" % (depth, dpi(form))


def dpi(form):
    x, y = form["xResolution"], form["yResolution"]
    return "%d" % x if x == y else "%dx%d" % (x, y)


def judge(record):
    """Served at true size or not: what it prints, why it is wrong, and a note where brovane's pages are
    of another depth than the driver takes with its defaults."""
    urf = record["advertised"]["urf-supported"]
    forms = record.get("forms", [])
    record["urf"] = ",".join(k for k in urf if k.startswith("RS") or k in ("W8", "SRGB24"))
    record["qualities"] = ",".join(str(quality_number(q)) for q in record["advertised"]["print-quality-supported"])
    if "image/urf" not in record["advertised"]["document-format-supported"] or not forms:
        record["verdict"] = "wrong"
        record["why"] = "the scheduler does not take image/urf for it (document-format-supported %s, " \
                        "urf-supported %s, printer-state-reasons %s)" % (
                            ",".join(record["advertised"]["document-format-supported"]) or "none",
                            ",".join(urf) or "none", ",".join(record["advertised"]["printer-state-reasons"]))
        return
    # What it prints with the queue's defaults, grey and colour pages.
    kinds = collections.OrderedDict()
    for form in forms:
        if form["quality"] is None and "error" not in form:
            kinds.setdefault(page_kind(form), []).append(form["mode"])
    if len(kinds) == 1:
        record["prints"] = next(iter(kinds))
    else:
        record["prints"] = ", ".join("%s pages %s" % ("/".join(modes), kind) for kind, modes in kinds.items())
    promised = re.search(r"(\d+)-bit", record["enable_says"])
    other = sorted(set("%s pages %d-bit" % (f["mode"], f["bitsPerPixel"]) for f in forms
                       if "error" not in f and promised and f["bitsPerPixel"] != int(promised.group(1))))
    if other:
        record["note"] = "%s, while brovane-enable found the driver takes %s with its defaults" % (
            ", ".join(other), record["enable_says"].split(", ")[-1])
    # The forms not at true size, grouped by what they print.
    wrong = collections.OrderedDict()
    for form in forms:
        if "error" in form:
            outcome = form["error"]
        elif form["true_size"]:
            continue
        else:
            outcome = "%.3f x %.3f in (%d x %d pixels at %s dpi)" % (
                form["width_in"], form["height_in"], form["width"], form["height"], dpi(form))
        label = "defaults" if form["quality"] is None else QUALITIES[form["quality"]]
        wrong.setdefault((form["rs"], outcome), []).append((form["mode"], label))
    if not wrong:
        record["verdict"] = "true"
        return
    parts = []
    for (rs, outcome), pairs in wrong.items():
        modes = list(collections.OrderedDict.fromkeys(m for m, _ in pairs))
        labels = list(collections.OrderedDict.fromkeys(q for _, q in pairs))
        if len(pairs) == len(modes) * len(labels):
            which = "%s, %s" % (" and ".join(modes), "/".join(labels))
        else:
            which = ", ".join("%s %s" % pair for pair in pairs)
        parts.append("RS%d %s: %s" % (rs, which, outcome))
    record["verdict"] = "wrong"
    record["why"] = "; ".join(parts)


# ---- 4. The table --------------------------------------------------------------------------------------------

def reason_class(reason):
    for pattern, label in REASON_CLASSES:
        if re.search(pattern, reason):
            return label
    return "other"


def result_text(record):
    verdict = record["verdict"]
    if verdict in ("true", "wrong") and "prints" in record:
        served = "%s; URF %s%s" % (record["prints"], record["urf"],
                                   ", print-quality " + record["qualities"] if record["qualities"] else "")
        if "note" in record:
            served += "; note: " + record["note"]
        if verdict == "true":
            return "true size: " + served
        return "**wrong size**: %s. Prints %s" % (record["why"], served)
    if verdict == "wrong":
        return "**wrong**: " + record["why"]
    if verdict == "already":
        return "already takes URF: " + record["reason"]
    return "refused: " + record["reason"]


def counts(records):
    """{package: Counter of columns}, and the refusal classes in order."""
    table = collections.OrderedDict((p, collections.Counter()) for p in PACKAGES)
    classes = []
    for record in records:
        row = table[record["package"]]
        row["PPDs"] += 1
        if record["verdict"] == "refused":
            label = "refused: " + reason_class(record["reason"])
            if label not in classes:
                classes.append(label)
            row[label] += 1
        else:
            row[{"true": "served, true size", "wrong": "served, wrong size",
                 "already": "already takes URF"}[record["verdict"]]] += 1
    order = [label for _, label in REASON_CLASSES] + ["other"]
    classes.sort(key=lambda c: order.index(c[len("refused: "):]))
    return table, ["PPDs", "served, true size", "served, wrong size", "already takes URF"] + classes


def cell(text):
    return text.replace("|", "\\|")


def count_lines(records):
    """The counts as Markdown table lines: one row per package and one for all."""
    table, columns = counts(records)
    total = collections.Counter()
    for row in table.values():
        total.update(row)
    lines = ["| Package | " + " | ".join(columns) + " |", "|---|" + "---:|" * len(columns)]
    for package, row in list(table.items()) + [("all", total)]:
        lines.append("| %s | %s |" % (package, " | ".join(str(row[c]) for c in columns)))
    return lines


def write_doc(path, records, versions, seconds, stats):
    """The document; returns the counts lines."""
    summary = count_lines(records)
    lines = [
        "# Debian's raster printer drivers and brovane-enable",
        "",
        "Which PPDs of Debian's raster driver packages `brovane-enable` serves, and whether a URF job then",
        "prints at its true size. Written by `tools/compat-table.py` (root: its private scheduler runs the",
        "filters as `lp`):",
        "",
        "```sh",
        "sudo python3 tools/compat-table.py [--enable PATH] [--brovane PATH] [--output PATH] [--json FILE]",
        "```",
        "",
        "`--enable` and `--brovane` default to `build/dev`'s programs, `--output` to this file; `--json`",
        "writes the raw result of every PPD, to compare two builds.",
        "",
        "It downloads the driver packages with `apt-get download` and unpacks them in a temporary folder",
        "(nothing is installed and none of their drivers runs), takes every PPD they ship or generate (`ppdc`",
        "on their `.drv` files, `list` and `cat` of their PPD programs) and runs `brovane-enable --ppd` on",
        "each. The changed PPDs become the queues of one private scheduler (Debian's `cupsd`), each asked over",
        "loopback IPP for `urf-supported`, `print-quality-supported` and",
        "`pwg-raster-document-resolution-supported`. Then brovane prints a one-page %d x %d inch URF job" % JOB_INCHES,
        "in every form the queue advertises: each `RS` resolution, `W8` grey and `SRGB24` colour, the queue's",
        "defaults and each `print-quality`; run as the scheduler runs it, with the options the scheduler passes",
        "for that form. Those options were learnt from the scheduler itself: every form of every kind of",
        "presets went through it as a job, for two queues of the kind where there are two (%d jobs; a" % stats["jobs"],
        "stand-in driver kept the options and brovane's page), and brovane run by hand gave the same page",
        "each time. A queue is served at true size when in every form brovane's page (width / xResolution,",
        "height / yResolution) is the job's size within a pixel. A note marks the queues where brovane's",
        "pages have another depth than the driver takes with its defaults (brovane-enable's finding).",
        "",
        "Packages: %s." % ", ".join("`%s` %s" % (p, versions[p]) for p in PACKAGES),
        "",
        "gutenprint: `gutenprint.5.3 list` names one PPD per model, its expert one (`/expert`); the simple",
        "ones are only reachable with `cat` and a printer setup picks from what `list` names, so these are",
        "the expert PPDs.",
        "",
        "This run: %d PPDs, %d queues, %d forms printed with %d brovane runs (PPDs that differ only in" % (
            len(records), stats["queues"], stats["forms"], stats["runs"]),
        "comments and naming lines such as `*ModelName`, which brovane does not read, share the runs), %.1f" % (
            seconds / 60),
        "minutes on %d cores." % WORKERS,
        "",
        "## Counts",
        "",
    ] + summary + [
        "",
        "## Every PPD",
        "",
        "By driver package, then model. PPD: the `.drv` file and the name ppdc gave the PPD, the URI of the",
        "package's PPD program, or the shipped file.",
        "",
        "| Model | Driver package | PPD | Result |",
        "|---|---|---|---|",
    ]
    for record in sorted(records, key=lambda r: (r["package"], r["model"].lower(), r["source"])):
        lines.append("| %s | %s | %s | %s |" % (cell(record["model"]), record["package"], cell(record["source"]),
                                                cell(result_text(record))))
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    return summary


# ---- The run ---------------------------------------------------------------------------------------------------

def serve_queues(sched, work, args, queues, capture, rasterpages, stats, started):
    """Step 3: the queues in the scheduler, what they advertise, the options it passes, brovane on every
    form."""
    for name in ("printfilters.types", "printfilters.convs"):
        shutil.copy(os.path.join(SOURCE, "brovane", "enable", name), os.path.join(sched.data, "mime", name))
    port = free_port()
    with open(os.path.join(sched.root, "cupsd.conf"), "a") as f:
        f.write("Listen 127.0.0.1:%d\nMaxJobs 0\nLogLevel info\n" % port)
    write_queues(sched, queues)
    loading = time.monotonic()
    sched.start(args.jobstate, 1200)
    log("scheduler: %d queues loaded in %.0f s" % (len(queues), time.monotonic() - loading))
    query_queues(work, port, sched.env, queues)
    log("attributes of %d queues asked, after %.0f s" % (len(queues), time.monotonic() - started))

    urf_folder = os.path.join(work, "urf")
    os.makedirs(urf_folder)
    learned, checks = learn_options(sched, work, port, args.jobstate, capture, queues, urf_folder)
    brovane = os.path.join(sched.bin, "filter", "brovane")
    scratch = tempfile.mkdtemp(prefix="compat-table-", dir="/dev/shm" if os.path.isdir("/dev/shm") else work)
    try:
        # The same forms by hand must give what the scheduler's jobs gave.
        for record, rs, mode, quality, page in checks:
            ppd = os.path.join(sched.root, "ppd", record["queue"] + ".ppd")
            mine = brovane_form(brovane, rasterpages, ppd, urf_job(urf_folder, rs, mode, quality),
                                learned[(record["presets"], mode, quality)], os.path.join(scratch, "check.ras"))
            if not same_page(page, mine):
                raise Failure("%s (%s) %s %s: the scheduler's job gave %s, brovane by hand %s" % (
                    record["queue"], record["model"], mode, quality, page, mine))
        stats["jobs"] = len(checks)
        log("options learnt from %d scheduler jobs (%d kinds of presets), matched by hand, after %.0f s" % (
            len(checks), len(set(k[0] for k in learned)), time.monotonic() - started))
        stats["runs"], stats["forms"] = print_all_forms(sched, brovane, rasterpages, queues, learned, urf_folder,
                                                        scratch)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    for record in queues:
        judge(record)
    log("brovane: %d runs for %d forms, after %.0f s" % (stats["runs"], stats["forms"],
                                                         time.monotonic() - started))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    build = os.path.join(SOURCE, "build", "dev")
    parser.add_argument("--enable", default=os.path.join(build, "brovane", "brovane-enable"))
    parser.add_argument("--brovane", default=os.path.join(build, "brovane", "brovane"))
    parser.add_argument("--rasterpages", default=os.path.join(build, "tests", "scheduler", "rasterpages"))
    parser.add_argument("--jobstate", default=os.path.join(build, "tools", "jobstate"))
    parser.add_argument("--output", default=os.path.join(SOURCE, "docs", "compatibility.md"))
    parser.add_argument("--json", help="also write the raw per-PPD results here")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder")
    args = parser.parse_args()
    for option in ("enable", "brovane", "rasterpages", "jobstate"):
        path = os.path.abspath(getattr(args, option))
        if not os.access(path, os.X_OK):
            raise Failure("--%s %s is not a program" % (option, path))
        setattr(args, option, path)
    if os.geteuid() != 0:
        raise Failure("needs root: the private scheduler runs its filters as lp (sudo python3 %s)" % sys.argv[0])
    missing = find_tools(["cupsd", "ipptool", "ppdc", "apt-get", "dpkg-deb"])
    if missing:
        raise Failure("missing %s (Debian packages cups-daemon, cups-ipp-utils, cups-ppdc)" % ", ".join(missing))

    started = time.monotonic()
    os.umask(0o022)
    top = tempfile.mkdtemp(prefix="compat-table-", dir="/tmp")
    os.chmod(top, 0o755)
    sched = None
    try:
        work = os.path.join(top, "work")
        os.makedirs(work)
        log("downloading and unpacking %d driver packages" % len(PACKAGES))
        packages = fetch_packages(work)
        versions = {p: v for p, (v, _) in packages.items()}
        records = []
        for package, (version, root) in packages.items():
            log("%s %s:" % (package, version))
            found = package_ppds(package, root, os.path.join(work, "ppd", package))
            log("  %d PPDs" % len(found))
            records += found
        log("PPDs: %d after %.0f s" % (len(records), time.monotonic() - started))

        changed = os.path.join(work, "changed")
        os.makedirs(changed)
        parallel(lambda item: enable_one(args.enable, item[1], os.path.join(changed, "%05d.ppd" % item[0])),
                 list(enumerate(records)))
        queues = [r for r in records if r["verdict"] == "served"]
        for number, record in enumerate(queues, 1):
            record["queue"] = "q%05d" % number
        log("brovane-enable: %d served, %d already, %d refused after %.0f s" % (
            len(queues), sum(r["verdict"] == "already" for r in records),
            sum(r["verdict"] == "refused" for r in records), time.monotonic() - started))

        stats = {"queues": len(queues), "runs": 0, "forms": 0, "jobs": 0}
        if queues:
            filters, capture, rasterpages = make_filters(top, args.brovane, args.rasterpages, queues)
            sched = Scheduler(top, filters, True)
            serve_queues(sched, work, args, queues, capture, rasterpages, stats, started)
            sched.stop()

        seconds = time.monotonic() - started
        summary = write_doc(args.output, records, versions, seconds, stats)
        if args.json:
            keep = ("package", "model", "source", "verdict", "reason", "enable_says", "prints", "why", "note",
                    "urf", "qualities", "queue", "presets", "advertised", "forms")
            with open(args.json, "w") as f:
                json.dump({"packages": versions, "seconds": round(seconds, 1), "counts": stats,
                           "ppds": [{k: r[k] for k in keep if k in r} for r in records]}, f, indent=1)
        log("")
        for line in summary:
            log(line)
        log("written %s in %.1f minutes" % (args.output, seconds / 60))
    finally:
        if sched is not None:
            sched.stop()
        if args.keep:
            log("kept " + top)
        else:
            shutil.rmtree(top, ignore_errors=True)


if __name__ == "__main__":
    def on_signal(number, frame):
        raise SystemExit(128 + number)

    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, on_signal)
    try:
        main()
    except Failure as failure:
        log("compat-table: " + str(failure))
        raise SystemExit(1)
