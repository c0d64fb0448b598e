#!/usr/bin/env python3
"""Which PPDs of Debian's raster printer drivers brovane-enable serves, and whether URF jobs then come
out right on the paper: builds the compatibility table (docs/compatibility.md) from the driver packages
themselves."""

# sudo python3 tools/compat-table.py [--enable PATH] [--brovane PATH] [--rasterpages PATH] [--jobstate PATH]
#                                    [--output PATH] [--json FILE] [--enable-cache FOLDER] [--no-drivers]
#
# 1. apt-get download + dpkg-deb -x of the driver packages into a temporary folder (nothing installed);
#    every PPD they ship or generate: ppdc on their .drv files, their PPD programs' `list` and `cat`.
# 2. brovane-enable --ppd on each, the packages' filter folders as its CUPS_SERVERBIN/filter (it asks a
#    gutenprint driver its margins, half an hour for all of them; --enable-cache keeps the answers for
#    the next run of the same program): served (the changed PPD, and what it corrected), already takes
#    URF, or refused with the reason.
# 3. The changed PPDs as queues of one private scheduler (root: it runs the filters as lp), asked over
#    loopback IPP what they advertise (urf-supported, print-quality-supported, media-col-default, ...).
#    A few jobs per kind of queue go through the scheduler, a page of the queue's default paper sent with
#    that media as a phone sends it, to learn the options it passes to brovane; then brovane runs by
#    hand, as the scheduler runs it, on that page in every advertised form. Its output page header must
#    be the one Ghostscript's cups device writes for the job's paper: PageSize, cupsWidth x cupsHeight
#    and ImagingBoundingBox (the paper's imageable area), Ghostscript run once for each paper, imageable
#    area and resolution.
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
QUALITIES = {3: "draft", 4: "normal", 5: "high"}
ATTRIBUTES = ("document-format-supported", "urf-supported", "print-quality-supported",
              "pwg-raster-document-resolution-supported", "print-color-mode-supported", "printer-state-reasons",
              "media-default", "media-col-default")
# Job attributes the scheduler passes that name the job itself, not how it prints.
JOB_OWN = re.compile(r"^(job-uuid|job-originating-host-name|date-time-at-\w+|time-at-\w+)=")
# Options the scheduler passes for the job's media: they name the queue's own sizes and trays (a
# media-col of 5 x 7 inches or less picks its photo tray), so they are learnt per set of sizes and trays,
# not per kind of presets.
MEDIA_OPTION = re.compile(r"^(media|media-col|media-source|media-type|PageSize|PageRegion|InputSlot|MediaType|"
                          r"HPPaperSource)=")
# The PPD lines the scheduler maps a job's media-col to a size and a tray with (and the defaults it offers).
MEDIA_LINES = re.compile(r"^\*(Default)?(PageSize|PageRegion|PaperDimension|ImageableArea|CustomPageSize|"
                         r"ParamCustomPageSize|MaxMediaWidth|MaxMediaHeight|HWMargins|LeadingEdge|InputSlot|"
                         r"MediaType|HPPaperSource)\b.*$", re.M)
# Refusal reasons grouped by what they say (first match wins).
REASON_CLASSES = (
    (r"PostScript|PDF", "PostScript or PDF"),
    (r"takes 8-bit raster of colour space (0|18),", "8-bit grey raster"),
    (r"takes \d+-bit raster|brovane writes", "other raster brovane does not write"),
    (r"resolution is \d+x\d+", "unequal resolutions, neither a multiple of the other"),
    (r"not CUPS raster", "driver takes no CUPS raster"),
    (r"give no raster page header", "no page header from the defaults"),
    (r"driverless", "driverless"),
    (r"not a PPD", "unreadable PPD"),
    (r"black-and-white", "black-and-white mark on a colour driver"),
    (r"it prints at \d+x\d+ dpi, which is not a whole multiple", "an option prints at another resolution"),
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

# The parts of brovane-enable's summary line that say what it corrected in the PPD.
CORRECTIONS = (("margins", "margins:"), ("media_names", "media names:"))


def summary_parts(summary):
    """brovane-enable's summary ("then DRIVER, 1-bit black at 600 dpi, margins: ..., media names: ...") cut
    into its parts. A comma inside parentheses, or before words that start no part of their own (a list
    of sizes), stays in its part."""
    pieces, depth, start = [], 0, 0
    for at, char in enumerate(summary):
        depth += {"(": 1, ")": -1}.get(char, 0)
        if char == "," and depth == 0 and summary.startswith(", ", at):
            pieces.append(summary[start:at])
            start = at + 2
    pieces.append(summary[start:])
    starts = re.compile(r"^(then |\d+-bit |phones |margins:|media names:)")
    parts = []
    for piece in pieces:
        if parts and not starts.match(piece):
            parts[-1] += ", " + piece
        else:
            parts.append(piece)
    return parts


def driver_folder(work, packages):
    """A server folder whose filter folder holds the packages' own filter programs: brovane-enable asks a
    gutenprint driver the area it prints in (CUPS_SERVERBIN/filter/program), as it would where the
    package is installed."""
    folder = os.path.join(work, "serverbin")
    filters = os.path.join(folder, "filter")
    os.makedirs(filters)
    for package, (version, root) in packages.items():
        source = os.path.join(root, "usr", "lib", "cups", "filter")
        for name in sorted(os.listdir(source)) if os.path.isdir(source) else []:
            if not os.path.lexists(os.path.join(filters, name)):
                os.symlink(os.path.join(source, name), os.path.join(filters, name))
    return folder


def enable_one(enable, serverbin, cache, record, changed):
    """brovane-enable --ppd on one PPD (with the drivers of serverbin, if any): the verdict, and the
    changed PPD in `changed` when served. With a cache (folder, key of the program and the packages), an
    answer kept there for the same program, packages and PPD is taken instead of running it again: asking
    gutenprint's drivers their margins takes half an hour."""
    env = {"PATH": "/usr/bin:/bin", "LANG": "C"}
    if serverbin:
        env["CUPS_SERVERBIN"] = serverbin
    kept = None
    if cache:
        with open(record["path"], "rb") as f:
            kept = os.path.join(cache[0], hashlib.sha1(cache[1].encode() + f.read()).hexdigest())
    if kept and os.path.exists(kept + ".json"):
        with open(kept + ".json") as f:
            answer = json.load(f)
        shutil.copy(kept + ".ppd", changed)
        status, message = answer["status"], answer["message"]
        record["enable_kept"] = True
    else:
        with open(changed, "wb") as out:
            result = subprocess.run([enable, "--ppd", record["path"]], stdout=out, stderr=subprocess.PIPE,
                                    timeout=120, env=env)
        status, message = result.returncode, result.stderr.decode("utf-8", errors="replace").strip()
        if kept:
            shutil.copy(changed, kept + ".ppd")
            with open(kept + ".tmp", "w") as f:
                json.dump({"status": status, "message": message}, f)
            os.rename(kept + ".tmp", kept + ".json")
    served = re.search(r"URF jobs go through brovane, (.*)$", message, re.M)
    already = re.search(r"nothing to change: (.*)$", message, re.M)
    refused = re.search(r"not changed: (.*)$", message, re.M)
    if status == 0 and served:
        record.update(verdict="served", enable_says=served.group(1), changed=changed)
        for part in summary_parts(served.group(1)):
            for key, start in CORRECTIONS:
                if part.startswith(start):
                    record[key] = part[len(start):].strip()
    elif status == 0 and already:
        record.update(verdict="already", reason=already.group(1))
    elif status == 1 and refused:
        record.update(verdict="refused", reason=refused.group(1))
    else:
        record.update(verdict="refused", reason="brovane-enable exited with %d: %s" % (status, message))
    if record["verdict"] != "served":
        os.unlink(changed)
    return record


# ---- 3. The scheduler, and brovane on every advertised form ------------------------------------------------

STUB = """#!/bin/sh
# Stands for the queue's driver: keeps the options and brovane's page header, prints nothing.
printf '%%s\\n' "$5" > %(capture)s/$1.options
# Read from the pipe it is given: the scheduler's, opened again by name, is not lp's to open.
exec %(python)s %(reader)s --read-raster %(rasterpages)s > %(capture)s/$1.pages
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
    is given (the real drivers never run); the stand-in reads brovane's page header with this script.
    Returns the folder, the capture folder and rasterpages."""
    filters = os.path.join(top, "filter")
    capture = os.path.join(top, "capture")
    tools = os.path.join(top, "tools")
    for folder in (filters, tools):
        os.makedirs(folder)
    os.makedirs(capture)
    os.chmod(capture, 0o777)
    shutil.copy(brovane, os.path.join(filters, "brovane"))
    shutil.copy(rasterpages, os.path.join(tools, "rasterpages"))
    here = os.path.dirname(os.path.abspath(__file__))
    for name in (os.path.basename(__file__), "privatecups.py"):
        shutil.copy(os.path.join(here, name), os.path.join(tools, name))
    programs = set()
    for record in queues:
        programs |= filter_programs(record["changed"])
    programs.discard("brovane")
    # The system's Python: the one running this may be in a folder lp can't enter.
    python = shutil.which("python3", path="/usr/bin:/bin") or sys.executable
    for program in sorted(programs):
        path = os.path.join(filters, program)
        with open(path, "w") as f:
            f.write(STUB % {"capture": capture, "python": python, "rasterpages": os.path.join(tools, "rasterpages"),
                            "reader": os.path.join(tools, os.path.basename(__file__))})
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
    what each one DISPLAYs. It goes on past a failed test (-I): a queue whose answer ipptool finds
    wrong, such as an empty media-default keyword, must not cost the queues after it their answers."""
    path = os.path.join(work, name + ".test")
    with open(path, "w") as f:
        f.write("".join(tests))
    result = run([TOOLS["ipptool"], "-I", "-t", "-T", "60", "ipp://127.0.0.1:%d/" % port, path], env=env,
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
    """The advertised job forms: (RS, mode, print-quality or None for the queue's defaults); none where
    the queue has no paper to draw the test page on."""
    if "paper_error" in record:
        return []
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


# ---- The paper ----------------------------------------------------------------------------------------------

def ppd_sizes(path):
    """The PPD's sizes as PaperDimension (w, l) and ImageableArea (l, b, r, t) in points by name, and the
    name of its default size."""
    text = read_text(path)

    def values(keyword):
        found = {}
        for match in re.finditer(r'^\*%s\s+([^/:\s]+)[^:\n]*:\s*"([^"]*)"' % keyword, text, re.M):
            try:
                found.setdefault(match.group(1), tuple(float(v) for v in match.group(2).split()))
            except ValueError:
                pass
        return found

    default = re.search(r"^\*DefaultPageSize:\s*(\S+)", text, re.M)
    return values("PaperDimension"), values("ImageableArea"), default.group(1) if default else None


def media_col_default(record):
    """The queue's media-col-default: (x, y) in hundredths of mm and its margins (top, bottom, left,
    right), or None."""
    text = " ".join(record["advertised"]["media-col-default"])
    size = re.search(r"x-dimension=(\d+) y-dimension=(\d+)", text)
    if not size:
        return None
    margins = [re.search(r"media-%s-margin=(\d+)" % side, text) for side in ("top", "bottom", "left", "right")]
    return (int(size.group(1)), int(size.group(2))), (
        tuple(int(m.group(1)) for m in margins) if all(margins) else None)


def plan_paper(record, ppd):
    """The paper the queue's test page is of, and the media-col a phone sends with it: the queue's
    media-col-default where it has one (the size and margins its default PageSize stands for), else the
    size of the PPD's default PageSize."""
    dims, areas, default = ppd_sizes(ppd)
    record["sizes"] = (dims, areas)
    col = media_col_default(record)
    if default in dims:
        width, length = dims[default]
    elif col:
        width, length = (v * 72 / 2540 for v in col[0])
    else:
        record["paper_error"] = "its default PageSize %s has no PaperDimension and it has no media-col-default" % (
            default or "(none)")
        return
    record["sheet"] = {"name": default, "width": width, "length": length}
    if col:
        record["media_col"] = {"size": col[0], "margins": col[1], "from": "its media-col-default"}
    else:
        record["media_col"] = {"size": (round(width * 2540 / 72), round(length * 2540 / 72)), "margins": None,
                               "from": "the size of the default PageSize: no media-col-default"}


def media_col_attribute(record):
    """The job's media-col, as ipptool writes it."""
    col = record["media_col"]
    text = ("  ATTR collection media-col {\n    MEMBER collection media-size {\n"
            "      MEMBER integer x-dimension %d\n      MEMBER integer y-dimension %d\n    }\n" % col["size"])
    if col["margins"]:
        text += "".join("    MEMBER integer media-%s-margin %d\n" % (side, value)
                        for side, value in zip(("top", "bottom", "left", "right"), col["margins"]))
    return text + "  }\n"


def media_group(record, ppd):
    """Queues the scheduler maps the same media-col to the same size and tray for: the same size and tray
    lines (less their translations) and the same media-col."""
    text = read_text(ppd)
    lines = [re.sub(r"^(\*\w+\s+[^/:\s]+)/[^:]*:", r"\1:", m.group(0)) for m in MEDIA_LINES.finditer(text)]
    return hashlib.sha1(("\n".join(lines) + repr(sorted(record["media_col"].items()))).encode("latin-1",
                                                                                            "replace")).hexdigest()


def page_pixels(record, resolution):
    """The test page in pixels at a resolution: the sheet of the queue's default paper."""
    sheet = record["sheet"]
    return round(sheet["width"] * resolution / 72), round(sheet["length"] * resolution / 72)


def urf_job(folder, width, height, resolution, mode, quality):
    """A one-page URF job of width x height pixels at the resolution, 8-bit grey or 24-bit sRGB: a dark
    band down the left (128 pixels, or a quarter of a narrower page), the rest white. Written once, its
    path."""
    path = os.path.join(folder, "%s-%dx%d-%d-%s.urf" % (mode, width, height, resolution, quality or "default"))
    if os.path.exists(path):
        return path
    bits, space, pixel = (24, 1, b"\x30\x60\x90") if mode == "colour" else (8, 0, b"\x40")
    # Bits per pixel, colour space, one-sided, quality; width, height, resolution big-endian.
    page = bytes([bits, space, 1, quality or 4]) + bytes(8) + struct.pack(">III", width, height, resolution) + \
        bytes(8)
    band = max(1, min(128, width // 4))
    rows = bytearray()
    left = height
    while left > 0:
        # A line repeated n times: the band (code band - 1 and the pixel), then white to the end (128).
        n = min(left, 256)
        rows += bytes([n - 1, band - 1]) + pixel + b"\x80"
        left -= n
    with open(path + ".tmp", "wb") as f:
        f.write(b"UNIRAST\0" + struct.pack(">I", 1) + page + bytes(rows))
    os.rename(path + ".tmp", path)
    return path


def form_job(folder, record, rs, mode, quality):
    return urf_job(folder, *page_pixels(record, rs), rs, mode, quality)


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


def options_of(learned, record, mode, quality):
    """The options the scheduler passes for a form of the queue: those of its kind of presets, then those
    of its media."""
    kinds, media = learned
    return " ".join(o for o in (kinds[(record["presets"], mode, quality)], media[record["media_group"]]) if o)


def learn_options(sched, work, port, capture, queues, urf_folder):
    """Sends every advertised form (mode and print-quality) of every kind of presets through the
    scheduler, for two queues of the kind where it has two (of different packages where it can), and a
    job for each set of sizes and trays no such job covers, each a page of the queue's default paper with its
    media-col; keeps the options the scheduler passed (what the stand-in driver was given, less the
    job's own names): ({(presets, mode, quality): options}, {media group: media options}), and the jobs'
    page headers for the by-hand runs to match."""
    askers = collections.OrderedDict()
    groups = collections.OrderedDict()
    for record in queues:
        record["presets"] = presets(sched, record["queue"])
        if not forms_of(record):
            continue
        groups.setdefault(record["media_group"], []).append(record)
        for rs, mode, quality in forms_of(record):
            members = askers.setdefault((record["presets"], mode, quality), [])
            if record not in members:
                members.append(record)
    chosen = collections.OrderedDict()
    for (kind, mode, quality), members in askers.items():
        other = [m for m in members if m["package"] != members[0]["package"]] or members[1:]
        for record in [members[0]] + other[-1:]:
            chosen[(record["queue"], mode, quality)] = record
    covered = set(record["media_group"] for record in chosen.values())
    for group, members in groups.items():
        if group not in covered:
            rs, mode, quality = forms_of(members[0])[0]
            chosen[(members[0]["queue"], mode, quality)] = members[0]
    tests, sent = [], {}
    for (queue, mode, quality), record in chosen.items():
        rs = forms_of(record)[0][0]
        name = "%s %s %s" % (queue, mode, quality)
        body = ("  ATTR name requesting-user-name compat\n  ATTR mimeMediaType document-format image/urf\n"
                "  GROUP job-attributes-tag\n" + job_attributes(mode, quality) + media_col_attribute(record) +
                "  FILE %s\n  STATUS successful-ok\n  DISPLAY job-id\n" % form_job(urf_folder, record, rs, mode,
                                                                                    quality))
        tests.append(ipp_request(name, "ipp://127.0.0.1:%d/printers/%s" % (port, queue), "Print-Job", body))
        sent[name] = (record, rs, mode, quality)
    answers = run_ipptool(work, port, sched.env, "jobs", tests)
    jobs = {int(a["job-id"][0]): sent[name] for name, a in answers.items() if a.get("job-id")}
    if len(jobs) != len(sent):
        raise Failure("the scheduler took %d of %d jobs:\n%s" % (len(jobs), len(sent), sched.tail()))
    # Every job ends (the stand-in exits when brovane's output ends). Asked of each job by its id: the
    # scheduler lists no more than 500 jobs.
    deadline = time.monotonic() + 900
    ask = {job: ipp_request(str(job), "ipp://127.0.0.1:%d/printers/%s" % (port, record["queue"]), "Get-Job-Attributes",
                            "  ATTR integer job-id %d\n  ATTR keyword requested-attributes job-state\n"
                            "  STATUS successful-ok\n  DISPLAY job-state\n" % job)
           for job, (record, rs, mode, quality) in jobs.items()}
    states = {}
    while True:
        waiting = [job for job in sorted(jobs)
                   if states.get(job) not in ("completed", "aborted", "canceled", "stopped")]
        if not waiting:
            break
        if time.monotonic() > deadline:
            raise Failure("%d jobs still running after 900 s:\n%s" % (len(waiting), sched.tail()))
        time.sleep(1)
        answers = run_ipptool(work, port, sched.env, "states", [ask[job] for job in waiting])
        for job in waiting:
            states[job] = answers.get(str(job), {}).get("job-state", ["unknown"])[0]
    kinds, media, checks = {}, {}, []
    for job, (record, rs, mode, quality) in sorted(jobs.items()):
        try:
            with open(os.path.join(capture, "%d.options" % job)) as f:
                words = [w for w in f.read().split() if not JOB_OWN.match(w)]
            with open(os.path.join(capture, "%d.pages" % job)) as f:
                page = json.loads(f.read() or '{"error": "no page"}')
        except OSError:
            raise Failure("job %d on %s (%s) ended %s without reaching the driver:\n%s" % (
                job, record["queue"], record["model"], states.get(job), sched.tail()))
        for table, key, options, what in (
                (kinds, (record["presets"], mode, quality), [w for w in words if not MEDIA_OPTION.match(w)],
                 "queues of the same presets"),
                (media, record["media_group"], [w for w in words if MEDIA_OPTION.match(w)],
                 "queues of the same sizes, trays and media-col")):
            options = " ".join(options)
            if table.setdefault(key, options) != options:
                raise Failure("%s were given different options: %r and %r" % (what, table[key], options))
        checks.append((record, rs, mode, quality, page))
    return (kinds, media), checks


# The fields of a CUPS raster page header (cups_page_header2_t, 1796 bytes) read here: byte offset and
# number of 32-bit values.
HEADER_FIELDS = {"xResolution": (276, 1), "yResolution": (280, 1), "bbox": (284, 4), "margins": (312, 2),
                 "pageSize": (352, 2), "width": (372, 1), "height": (376, 1), "bitsPerColor": (384, 1),
                 "bitsPerPixel": (388, 1), "bytesPerLine": (392, 1), "colorSpace": (400, 1)}
PAGE_SIZE_NAME = 1732  # cupsPageSizeName, 64 bytes, the header's last field
HEADER_BYTES = 1796
SYNC_WORDS = {b"RaSt": ">", b"RaS2": ">", b"RaS3": ">", b"tSaR": "<", b"2SaR": "<", b"3SaR": "<"}


def read_exactly(stream, count):
    data = bytearray()
    while len(data) < count:
        chunk = stream.read(count - len(data))
        if not chunk:
            break
        data += chunk
    return bytes(data)


def drain(stream):
    """Reads the stream to its end; the number of bytes."""
    buffer = bytearray(1 << 20)
    total = 0
    while True:
        n = stream.readinto(buffer)
        if not n:
            return total
        total += n


def read_raster(stream, rasterpages):
    """The first page header of a one-page CUPS raster stream, read from a binary stream to its end: the
    HEADER_FIELDS (lists for the arrays), pageSizeName and the rows there are, or {"error": ...}. An
    uncompressed stream must hold exactly the page's rows; a compressed one is read back by rasterpages."""
    head = read_exactly(stream, 4 + HEADER_BYTES)
    order = SYNC_WORDS.get(head[:4])
    if order is None or len(head) < 4 + HEADER_BYTES:
        size = len(head) + drain(stream)
        if not size:
            return {"error": "no page"}
        if order is None:
            return {"error": "no raster stream (%r)" % head[:4]}
        return {"error": "the stream ends in the page header (%d bytes)" % size}
    page = {}
    for name, (at, count) in HEADER_FIELDS.items():
        values = list(struct.unpack_from("%s%dI" % (order, count), head, 4 + at))
        page[name] = values[0] if count == 1 else values
    page["pageSizeName"] = head[4 + PAGE_SIZE_NAME:4 + HEADER_BYTES].split(b"\0")[0].decode("latin-1")
    if head[:4] in (b"RaS2", b"2SaR"):
        reader = subprocess.Popen([rasterpages, "/dev/stdin"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL)
        out = []
        collector = threading.Thread(target=lambda: out.append(reader.stdout.read()))
        collector.start()
        try:
            reader.stdin.write(head)
            shutil.copyfileobj(stream, reader.stdin, 1 << 20)
        except BrokenPipeError:
            drain(stream)
        try:
            reader.stdin.close()
        except BrokenPipeError:
            pass
        collector.join()
        reader.wait()
        pages = parse_pages(out[0].decode() if out else "")
        if len(pages) != 1:
            return {"error": "a compressed stream of %d pages" % len(pages)}
        page["rows"] = pages[0]["rows"]
        return page
    rest = drain(stream)
    if rest != page["height"] * page["bytesPerLine"]:
        return {"error": "the stream is %d bytes, a whole page of its header %d" % (
            4 + HEADER_BYTES + rest, 4 + HEADER_BYTES + page["height"] * page["bytesPerLine"])}
    page["rows"] = page["height"]
    return page


def brovane_form(brovane, rasterpages, ppd, urf, options, messages):
    """brovane run as the scheduler runs it (only PATH, PPD and LANG in its environment, the job file the
    last argument), its output read back through a pipe: the first page's header, or the error (brovane's
    own ERROR line where it wrote no page). Its messages go to the file `messages`."""
    env = {"PATH": "/usr/bin:/bin", "PPD": ppd, "LANG": "C"}
    with open(messages, "w+b") as log_file:
        process = subprocess.Popen([brovane, "1", "compat", "compat", "1", options, urf], stdout=subprocess.PIPE,
                                   stderr=log_file, env=env)
        try:
            page = read_raster(process.stdout, rasterpages)
        finally:
            process.stdout.close()
            status = process.wait(timeout=300)
        log_file.seek(0)
        lines = [l for l in log_file.read().decode("utf-8", errors="replace").splitlines() if l.startswith("ERROR")]
    if status != 0:
        return {"error": "brovane exited with %d: %s" % (status, lines[-1] if lines else "no message")}
    if "error" in page and lines:
        page = {"error": lines[-1]}
    return page


def same_page(a, b):
    """Whether two page headers agree in what the table reads (two failures agree)."""
    if "error" in a and "error" in b:
        return True
    fields = ("width", "height", "xResolution", "yResolution", "bitsPerPixel", "colorSpace", "rows", "pageSize",
              "bbox", "margins", "pageSizeName", "error")
    return all(a.get(k) == b.get(k) for k in fields)


# Lines that only name the printer, and comments: brovane reads none of them, so PPDs that differ only
# there print alike (many models share one driver description), and brovane runs once for them.
NAMING = re.compile(rb"^\*(%|(ModelName|ShortNickName|NickName|Product|1284DeviceID|PCFileName)\b).*\n", re.M)


def job_paper(record, options):
    """The job's paper: the size the scheduler's PageSize names, else (it passed none that the PPD has)
    the default one the page was drawn for. Its name, PaperDimension and ImageableArea (None if none)."""
    dims, areas = record["sizes"]
    named = re.search(r"(?:^| )PageSize=(\S+)", options)
    name = named.group(1) if named and named.group(1) in dims else record["sheet"]["name"]
    if name not in dims:
        return name, (record["sheet"]["width"], record["sheet"]["length"]), None
    return name, dims[name], areas.get(name)


def print_all_forms(sched, brovane, rasterpages, queues, learned, urf_folder, scratch):
    """brovane by hand on every advertised form of every served queue; the numbers of runs and of forms."""
    runs = collections.OrderedDict()
    for record in queues:
        record["forms"] = []
        ppd = os.path.join(sched.root, "ppd", record["queue"] + ".ppd")
        with open(ppd, "rb") as f:
            printing = hashlib.sha1(NAMING.sub(b"", f.read())).hexdigest()
        for rs, mode, quality in forms_of(record):
            form = {"rs": rs, "mode": mode, "quality": quality, "options": options_of(learned, record, mode, quality)}
            record["forms"].append(form)
            key = (printing, rs, mode, quality, form["options"])
            if key not in runs:
                runs[key] = (ppd, form_job(urf_folder, record, rs, mode, quality), form["options"], [])
            runs[key][3].append(form)

    def one(item):
        ppd, urf, options, forms = item
        messages = os.path.join(scratch, "messages-%d" % threading.get_ident())
        page = brovane_form(brovane, rasterpages, ppd, urf, options, messages)
        for form in forms:
            form.update(page)

    parallel(one, list(runs.values()))
    return len(runs), sum(len(r[3]) for r in runs.values())


def points(values):
    return " ".join("%g" % v for v in values)


def ghostscript_pages(sched, queues, scratch, rasterpages):
    """What Ghostscript's cups device writes for each paper, imageable area and resolution brovane's
    pages came out at, with the PPD of a queue that has it and the paper's own size selected
    (cupsPageSizeName): each form's "expected" header; the number of Ghostscript runs."""
    wanted = collections.OrderedDict()
    for record in queues:
        for form in record.get("forms", []):
            if "error" in form:
                continue
            name, size, area = job_paper(record, form["options"])
            form["paper"] = name
            key = (size, area, form["xResolution"], form["yResolution"])
            if key not in wanted:
                wanted[key] = (os.path.join(sched.root, "ppd", record["queue"] + ".ppd"), name, [])
            wanted[key][2].append(form)

    def one(item):
        (size, area, x, y), (ppd, name, forms) = item
        page_ps = os.path.join(scratch, "page-%d.ps" % threading.get_ident())
        with open(page_ps, "w") as f:
            f.write("%%!\n<< /PageSize [%s] >> setpagedevice showpage\n" % points(size))
        env = {"PATH": "/usr/bin:/bin", "PPD": ppd, "LANG": "C"}
        process = subprocess.Popen(
            [TOOLS["gs"], "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=cups", "-r%dx%d" % (x, y),
             "-dcupsColorSpace=1", "-dcupsBitsPerColor=8", "-scupsPageSizeName=" + name, "-sOutputFile=-",
             page_ps], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
        try:
            page = read_raster(process.stdout, rasterpages)
        finally:
            process.stdout.close()
            status = process.wait(timeout=600)
        if status != 0 and "error" not in page:
            page = {"error": "gs exited with %d" % status}
        expected = {k: page[k] for k in ("pageSize", "width", "height", "bbox", "error") if k in page}
        for form in forms:
            form["expected"] = expected

    parallel(one, list(wanted.items()))
    return len(wanted)


def page_kind(form):
    """'1-bit black at 600 dpi' and the like, from a page header."""
    depth = {1: "1-bit black", 8: "8-bit grey", 24: "24-bit colour"}.get(form["bitsPerPixel"],
                                                                       "%d-bit" % form["bitsPerPixel"])
    return "%s at %s dpi" % (depth, dpi(form))


def dpi(form):
    x, y = form["xResolution"], form["yResolution"]
    return "%d" % x if x == y else "%dx%d" % (x, y)


def layout(page):
    """PageSize, pixels and ImagingBoundingBox of a page header, as the table writes them."""
    return "PageSize %d x %d, %d x %d pixels, ImagingBoundingBox %s" % (
        page["pageSize"][0], page["pageSize"][1], page["width"], page["height"], points(page["bbox"]))


def right_on_paper(form):
    """Whether brovane's page is laid out as Ghostscript lays out the job's paper. On a borderless paper
    (the imageable area the whole sheet) brovane writes the whole page under the header libcups made, whose
    PageSize and ImagingBoundingBox drop a fraction of a point where Ghostscript rounds it: there the
    pixels count."""
    expected = form.get("expected", {})
    if "error" in form or "error" in expected:
        return False
    sheet = expected.get("bbox") is not None and list(expected["bbox"]) == [0, 0] + list(expected["pageSize"])
    return all(form[k] == expected.get(k) for k in (("width", "height") if sheet else
                                                   ("pageSize", "width", "height", "bbox")))


def judge(record):
    """Right on the paper or not: what was checked, what it prints, why it is wrong, and a note where
    brovane's pages are of another depth than the driver takes with its defaults."""
    urf = record["advertised"]["urf-supported"]
    forms = record.get("forms", [])
    record["urf"] = ",".join(k for k in urf if k.startswith("RS") or k in ("W8", "SRGB24"))
    record["qualities"] = ",".join(str(quality_number(q)) for q in record["advertised"]["print-quality-supported"])
    if "paper_error" in record:
        record["verdict"] = "wrong"
        record["why"] = "no test page: " + record["paper_error"]
        return
    if "image/urf" not in record["advertised"]["document-format-supported"] or not forms:
        record["verdict"] = "wrong"
        record["why"] = "the scheduler does not take image/urf for it (document-format-supported %s, " \
                        "urf-supported %s, printer-state-reasons %s)" % (
                            ",".join(record["advertised"]["document-format-supported"]) or "none",
                            ",".join(urf) or "none", ",".join(record["advertised"]["printer-state-reasons"]))
        return
    # What was sent and checked: the paper, the options the scheduler passed for it, and Ghostscript's
    # layout at each resolution.
    sheet, col = record["sheet"], record["media_col"]
    name, size, area = job_paper(record, forms[0]["options"])
    media = " ".join(w for w in forms[0]["options"].split() if MEDIA_OPTION.match(w)) or "no media options"
    layouts = collections.OrderedDict()
    for form in forms:
        if right_on_paper(form):
            layouts.setdefault(layout(form) + " at %s dpi" % dpi(form), None)
    record["paper"] = "%s %s pt, imageable area %s" % (name, points(size).replace(" ", " x "),
                                                       points(area) if area else "none")
    record["sent"] = "a page of the default PageSize %s with media-col %d x %d%s (%s), passed as %s" % (
        sheet["name"], col["size"][0], col["size"][1],
        ", margins t%d b%d l%d r%d" % tuple(col["margins"]) if col["margins"] else "", col["from"], media)
    record["checked"] = "; ".join(layouts)
    # What it prints with the queue's defaults, grey and colour pages.
    kinds = collections.OrderedDict()
    for form in forms:
        if form["quality"] is None and "error" not in form:
            kinds.setdefault(page_kind(form), []).append(form["mode"])
    if len(kinds) == 1:
        record["prints"] = next(iter(kinds))
    else:
        record["prints"] = ", ".join("%s pages %s" % ("/".join(modes), kind) for kind, modes in kinds.items())
    depth = [p for p in summary_parts(record["enable_says"]) if re.match(r"\d+-bit ", p)]
    promised = re.match(r"(\d+)-bit", depth[0]) if depth else None
    other = sorted(set("%s pages %d-bit" % (f["mode"], f["bitsPerPixel"]) for f in forms
                       if "error" not in f and promised and f["bitsPerPixel"] != int(promised.group(1))))
    if other:
        record["note"] = "%s, while brovane-enable found the driver takes %s with its defaults" % (
            ", ".join(other), depth[0])
    # The forms not right on the paper, grouped by what they print.
    wrong = collections.OrderedDict()
    for form in forms:
        if "error" in form:
            outcome = form["error"]
        elif right_on_paper(form):
            continue
        elif "error" in form.get("expected", {"error": "not run"}):
            outcome = "%s at %s dpi; Ghostscript wrote no page: %s" % (
                layout(form), dpi(form), form.get("expected", {}).get("error", "not run"))
        else:
            outcome = "%s at %s dpi, where Ghostscript writes %s" % (layout(form), dpi(form), layout(form["expected"]))
        label = "defaults" if form["quality"] is None else QUALITIES[form["quality"]]
        wrong.setdefault((form["rs"], outcome), []).append((form["mode"], label))
    if not wrong:
        record["verdict"] = "right"
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


def corrections(record):
    """What brovane-enable corrected in the PPD, as the row says it."""
    said = ["%s: %s" % (start[:-1], record[key]) for key, start in CORRECTIONS if key in record]
    return "; brovane-enable corrected " + "; ".join(said) if said else ""


def result_text(record):
    verdict = record["verdict"]
    if verdict in ("right", "wrong") and "prints" in record:
        served = "%s; URF %s%s%s" % (record["prints"], record["urf"],
                                     ", print-quality " + record["qualities"] if record["qualities"] else "",
                                     corrections(record))
        if "note" in record:
            served += "; note: " + record["note"]
        if verdict == "right":
            return "right on the paper %s: %s, as Ghostscript writes them; %s. Prints %s" % (
                record["paper"], record["checked"], record["sent"], served)
        return "**not right on the paper** %s: %s; %s. Prints %s" % (record["paper"], record["why"], record["sent"],
                                                                     served)
    if verdict == "wrong":
        return "**wrong**: %s%s" % (record["why"], corrections(record))
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
            row[{"right": "served, right on the paper", "wrong": "served, not right on the paper",
                 "already": "already takes URF"}[record["verdict"]]] += 1
        for key, start in CORRECTIONS:
            if key in record:
                row["served, %s corrected" % start[:-1]] += 1
    order = [label for _, label in REASON_CLASSES] + ["other"]
    classes.sort(key=lambda c: order.index(c[len("refused: "):]))
    return table, ["PPDs", "served, right on the paper", "served, not right on the paper"] + [
        "served, %s corrected" % start[:-1] for _, start in CORRECTIONS] + ["already takes URF"] + classes


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
        "comes out right on the paper. Written by `tools/compat-table.py` (root: its private scheduler runs",
        "the filters as `lp`):",
        "",
        "```sh",
        "sudo python3 tools/compat-table.py [--enable PATH] [--brovane PATH] [--rasterpages PATH] \\",
        "    [--jobstate PATH] [--output PATH] [--json FILE] [--enable-cache FOLDER] [--no-drivers]",
        "```",
        "",
        "The programs default to `build/dev`'s, `--output` to this file; `--json` writes the raw result of",
        "every PPD, to compare two builds; `--enable-cache` keeps brovane-enable's answers in a folder and",
        "takes them again for the same program, packages and PPD (asking gutenprint's drivers their margins",
        "takes half an hour on 2 cores); `--no-drivers` runs brovane-enable without the packages' drivers.",
        "",
        "It downloads the driver packages with `apt-get download` and unpacks them in a temporary folder",
        "(nothing is installed), takes every PPD they ship or generate (`ppdc` on their `.drv` files, `list`",
        "and `cat` of their PPD programs) and runs `brovane-enable --ppd` on each, %s" % (
            "with the packages'" if stats["drivers"] else "here without the packages' drivers (`--no-drivers`):"),
        ("filter folders as `$CUPS_SERVERBIN/filter`: it asks a gutenprint driver the area it really prints in,"
         if stats["drivers"] else "no gutenprint driver is asked the area it really prints in, as it would be"),
        ("as where the package is installed (the only drivers that run here)." if stats["drivers"] else
         "where the package is installed."),
        "The changed PPDs become the queues of one private scheduler (Debian's `cupsd`), each asked over",
        "loopback IPP for `urf-supported`, `print-quality-supported`, `media-col-default` and the like.",
        "",
        "The test page is a page of the queue's default paper (its default `PageSize`, a white sheet with a",
        "dark band down the left), sent with that paper as a phone sends it: the queue's `media-col-default`",
        "(size and margins) as the job's `media-col`, or where the queue has none, the size of the PPD's",
        "default `PageSize`. brovane prints it in every form the queue advertises: each `RS` resolution (the",
        "page drawn at that resolution), `W8` grey and `SRGB24` colour, the queue's defaults and each",
        "`print-quality`; run as the scheduler runs it, with the options the scheduler passes for that form",
        "and that media. Those options were learnt from the scheduler itself: every form of every kind of",
        "presets went through it as a job, for two queues of the kind where there are two, and one job for",
        "each set of sizes, trays and `media-col` no such job covered (%d jobs; a stand-in driver kept the" % (
            stats["jobs"]),
        "options and brovane's page header), and brovane run by hand gave the same page each time.",
        "",
        "A queue is right on the paper when in every form brovane's page is the imageable area of the job's",
        "paper (the size the scheduler's `PageSize` names), laid out as Ghostscript's `cups` device lays it",
        "out for that PPD: its page header's `PageSize`, `cupsWidth` x `cupsHeight` and",
        "`ImagingBoundingBox` are the ones `PPD=<ppd> gs -sDEVICE=cups -r<resolution> -dcupsColorSpace=1",
        "-dcupsBitsPerColor=8 -scupsPageSizeName=<paper>` writes for a page of the paper's size (Ghostscript",
        "run once for each paper, imageable area and resolution: %d runs), and the page holds all its rows." % (
            stats["ghostscript"]),
        "On a borderless paper (imageable area the whole sheet) brovane writes the whole page under libcups'",
        "header, which drops a fraction of a point of `PageSize` and `ImagingBoundingBox` where Ghostscript",
        "rounds it (240.94 pt: 240 against 241): there the page's pixels are what is compared.",
        "Each row says the paper, what was sent and passed, and Ghostscript's layout that brovane's matched.",
        "Where `brovane-enable` corrected the PPD's margins or media names, the row says so and the counts",
        "count it. A note marks the queues where brovane's pages have another depth than the driver takes",
        "with its defaults (brovane-enable's finding).",
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
        "minutes on %d cores%s." % (WORKERS, (
            " (brovane-enable's answers for %d PPDs taken from an earlier run of the same program on the same "
            "packages, `--enable-cache`)" % stats["kept"]) if stats["kept"] else ""),
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
        shutil.copy(os.path.join(SOURCE, "brovane-enable", name), os.path.join(sched.data, "mime", name))
    port = free_port()
    with open(os.path.join(sched.root, "cupsd.conf"), "a") as f:
        f.write("Listen 127.0.0.1:%d\nMaxJobs 0\nLogLevel info\n" % port)
    write_queues(sched, queues)
    loading = time.monotonic()
    sched.start(args.jobstate, 1200)
    log("scheduler: %d queues loaded in %.0f s" % (len(queues), time.monotonic() - loading))
    query_queues(work, port, sched.env, queues)
    for record in queues:
        ppd = os.path.join(sched.root, "ppd", record["queue"] + ".ppd")
        plan_paper(record, ppd)
        if "paper_error" not in record:
            record["media_group"] = media_group(record, ppd)
    log("attributes of %d queues asked, after %.0f s" % (len(queues), time.monotonic() - started))

    urf_folder = os.path.join(work, "urf")
    os.makedirs(urf_folder)
    learned, checks = learn_options(sched, work, port, capture, queues, urf_folder)
    brovane = os.path.join(sched.bin, "filter", "brovane")
    scratch = tempfile.mkdtemp(prefix="compat-table-", dir="/dev/shm" if os.path.isdir("/dev/shm") else work)
    try:
        # The same forms by hand must give what the scheduler's jobs gave.
        def check(item):
            record, rs, mode, quality, page = item
            ppd = os.path.join(sched.root, "ppd", record["queue"] + ".ppd")
            mine = brovane_form(brovane, rasterpages, ppd, form_job(urf_folder, record, rs, mode, quality),
                                options_of(learned, record, mode, quality),
                                os.path.join(scratch, "check-%d" % threading.get_ident()))
            if not same_page(page, mine):
                return "%s (%s) %s %s: the scheduler's job gave %s, brovane by hand %s" % (
                    record["queue"], record["model"], mode, quality, page, mine)
            return None

        differ = [d for d in parallel(check, checks) if d]
        if differ:
            raise Failure("\n".join(differ))
        stats["jobs"] = len(checks)
        log("options learnt from %d scheduler jobs (%d kinds of presets, %d sets of sizes, trays and "
            "media-col), matched by hand, after %.0f s" % (len(checks), len(set(k[0] for k in learned[0])),
                                                           len(learned[1]), time.monotonic() - started))
        stats["runs"], stats["forms"] = print_all_forms(sched, brovane, rasterpages, queues, learned, urf_folder,
                                                        scratch)
        log("brovane: %d runs for %d forms, after %.0f s" % (stats["runs"], stats["forms"],
                                                             time.monotonic() - started))
        stats["ghostscript"] = ghostscript_pages(sched, queues, scratch, rasterpages)
        log("Ghostscript: %d runs, after %.0f s" % (stats["ghostscript"], time.monotonic() - started))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    for record in queues:
        judge(record)


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
    parser.add_argument("--enable-cache", metavar="FOLDER",
                        help="keep brovane-enable's answers here and take them again for the same program, "
                             "packages and PPD")
    parser.add_argument("--no-drivers", action="store_true",
                        help="brovane-enable without the packages' drivers: no gutenprint margins asked (faster)")
    args = parser.parse_args()
    for option in ("enable", "brovane", "rasterpages", "jobstate"):
        path = os.path.abspath(getattr(args, option))
        if not os.access(path, os.X_OK):
            raise Failure("--%s %s is not a program" % (option, path))
        setattr(args, option, path)
    if os.geteuid() != 0:
        raise Failure("needs root: the private scheduler runs its filters as lp (sudo python3 %s)" % sys.argv[0])
    missing = find_tools(["cupsd", "ipptool", "ppdc", "apt-get", "dpkg-deb", "gs"])
    if missing:
        raise Failure("missing %s (Debian packages cups-daemon, cups-ipp-utils, cups-ppdc, ghostscript)" %
                      ", ".join(missing))

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
        stats = {"queues": 0, "runs": 0, "forms": 0, "jobs": 0, "ghostscript": 0, "drivers": False, "kept": 0}
        serverbin = None if args.no_drivers else driver_folder(work, packages)
        cache = None
        if args.enable_cache:
            os.makedirs(args.enable_cache, exist_ok=True)
            with open(args.enable, "rb") as f:
                cache = (args.enable_cache, json.dumps([hashlib.sha1(f.read()).hexdigest(), serverbin is not None,
                                                        sorted(versions.items())]))
        parallel(lambda item: enable_one(args.enable, serverbin, cache, item[1],
                                         os.path.join(changed, "%05d.ppd" % item[0])), list(enumerate(records)))
        stats["kept"] = sum(1 for r in records if r.get("enable_kept"))
        queues = [r for r in records if r["verdict"] == "served"]
        for number, record in enumerate(queues, 1):
            record["queue"] = "q%05d" % number
        log("brovane-enable: %d served, %d already, %d refused after %.0f s" % (
            len(queues), sum(r["verdict"] == "already" for r in records),
            sum(r["verdict"] == "refused" for r in records), time.monotonic() - started))

        stats.update(queues=len(queues), drivers=serverbin is not None)
        if queues:
            filters, capture, rasterpages = make_filters(top, args.brovane, args.rasterpages, queues)
            sched = Scheduler(top, filters, True)
            serve_queues(sched, work, args, queues, capture, rasterpages, stats, started)
            sched.stop()

        seconds = time.monotonic() - started
        summary = write_doc(args.output, records, versions, seconds, stats)
        if args.json:
            keep = ("package", "model", "source", "verdict", "reason", "enable_says", "margins", "media_names",
                    "prints", "why", "note", "urf", "qualities", "queue", "presets", "advertised", "sheet",
                    "media_col", "paper", "sent", "checked", "paper_error", "forms")
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


def read_raster_main(argv):
    """--read-raster RASTERPAGES: the stand-in driver's reader, brovane's page header from standard input as
    one line of JSON."""
    page = read_raster(sys.stdin.buffer, argv[0])
    print(json.dumps(page))


if __name__ == "__main__":
    if sys.argv[1:2] == ["--read-raster"]:
        read_raster_main(sys.argv[2:])
        raise SystemExit(0)

    def on_signal(number, frame):
        raise SystemExit(128 + number)

    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, on_signal)
    try:
        main()
    except Failure as failure:
        log("compat-table: " + str(failure))
        raise SystemExit(1)
