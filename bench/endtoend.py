#!/usr/bin/env python3
# One phone photo job end to end: a private scheduler and a real driver (hpcups), brovane in front,
# from Print-Job to completed, with brovane's share of that time; two builds' brovane alternately.

"""End-to-end timing of a phone's photo through the scheduler.

A private scheduler (tools/privatecups.py) gets one queue: hpcups' HP ENVY
5000 PPD, made to take URF with the installed brovane-enable. The phone
photo (gradients and noise, 24-bit, A4, at the resolution the queue
advertises) is printed with lp as many times as asked, the brovane of each
build in turn (the filter folder's brovane is a link, changed between jobs;
the scheduler starts the filters afresh for every job). The scheduler logs
with microseconds; from its log come, for each job:

- the whole job: from "Queued" (the Print-Job request taken) to "Job completed";
- brovane: from its start to its exit, as the scheduler saw them, and its own
  CPU (its timing lines);
- the driver, hpcups: from its start to its exit.

Medians are printed as a Markdown table. hpcups is taken out of its Debian
package (apt-get download, dpkg-deb -x) as the real-driver test takes it;
libhpmud0 must be installed. Nothing here is a test: it sets no limits.

  python3 bench/endtoend.py --prefix PREFIX --jobstate JOBSTATE --workloads WORKLOADS
                            --after BROVANE [--before BROVANE] [--runs N]
"""

import argparse
import datetime
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))
from privatecups import (  # noqa: E402
    TOOLS, Failure, Scheduler, add_queue, clean_up, download_packages, find_tools, log, run, wait_job)

PPD_NAME = "hp-envy_5000_series.ppd"
A4_INCHES = (8.27, 11.69)
PRINT_JOB = """{
  OPERATION Print-Job
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri printer-uri $uri
  ATTR name requesting-user-name phone
  ATTR name job-name photo
  ATTR mimeMediaType document-format $format
  FILE $filename
  STATUS successful-ok
  DISPLAY job-id
}
"""
STAMP = re.compile(r"^\w \[(\d+/\w+/\d+:\d+:\d+:\d+\.\d+) [+-]\d+\] (.*)$")


def hpcups(work, filters):
    """hpcups into the filter folder; the ENVY's PPD compiled from its driver file."""
    if run(["dpkg-query", "-W", "-f=${Status}", "libhpmud0"], check_status=False).stdout.decode() \
            != "install ok installed":
        raise Failure("libhpmud0 is not installed (apt-get install libhpmud0)")
    unpack = os.path.join(work, "package")
    os.makedirs(unpack)
    debs, why = download_packages(unpack, ["printer-driver-hpcups"])
    if debs is None:
        raise Failure(why)
    root = os.path.join(unpack, "root")
    run(["dpkg-deb", "-x", debs["printer-driver-hpcups"], root])
    shutil.copy(os.path.join(root, "usr/lib/cups/filter/hpcups"), os.path.join(filters, "hpcups"))
    os.chmod(os.path.join(filters, "hpcups"), 0o755)
    ppds = os.path.join(work, "ppd")
    run([TOOLS["ppdc"], "-d", ppds, os.path.join(root, "usr/share/cups/drv/hpcups.drv")])
    return os.path.join(ppds, PPD_NAME)


def when(text):
    return datetime.datetime.strptime(text, "%d/%b/%Y:%H:%M:%S.%f").timestamp()


def job_times(sched, job):
    """Seconds: the whole job, brovane's run and CPU, the driver's run."""
    marker = "[Job %d] " % job
    events = []
    with open(sched.error_log, errors="replace") as f:
        for line in f:
            match = STAMP.match(line.rstrip("\n"))
            if match:
                events.append((when(match.group(1)), match.group(2)))
    mine = [(t, text[len(marker):]) for t, text in events if text.startswith(marker)]
    queued = next(t for t, text in mine if text.startswith("Queued on"))
    done = next(t for t, text in mine if text == "Job completed.")
    started = {}
    for t, text in mine:
        match = re.match(r"Started filter \S+/(\w[\w-]*) \(PID (\d+)\)", text)
        if match:
            started[match.group(2)] = (match.group(1), t)
    ran = {}
    for t, text in events:
        match = re.search(r"PID (\d+) \(\S+\) exited with no errors", text)
        if match and match.group(1) in started:
            name, begun = started[match.group(1)]
            ran[name] = t - begun
    cpu = 0.0
    for _, text in mine:
        match = re.search(r"\(brovane\) (User|System) Time\s*:\s*([\d.]+)", text)
        if match:
            cpu += float(match.group(2))
    if "hpcups" not in ran:
        raise Failure("job %d: hpcups did not run to the end\n%s" % (job, sched.tail()))
    return {"job": done - queued, "brovane": ran.get("brovane", 0.0), "brovane_cpu": cpu, "driver": ran["hpcups"]}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--prefix", required=True, help="an installation (cmake --install) of this tree")
    parser.add_argument("--jobstate", required=True)
    parser.add_argument("--workloads", required=True, help="bench/workloads of a build")
    parser.add_argument("--after", required=True, help="the brovane to time")
    parser.add_argument("--before", help="another brovane, timed alternately with it")
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    missing = find_tools(["cupsd", "lpadmin", "ipptool", "ppdc", "apt-get", "dpkg-deb"])
    if missing:
        raise Failure("missing " + ", ".join(missing))
    builds = [("after", os.path.realpath(args.after))]
    if args.before:
        builds.insert(0, ("before", os.path.realpath(args.before)))
    os.umask(0o022)
    top = tempfile.mkdtemp(prefix="endtoend-", dir="/tmp")
    os.chmod(top, 0o755)
    sched = None
    try:
        work = os.path.join(top, "work")
        filters = os.path.join(top, "filter")
        os.makedirs(work)
        os.makedirs(filters)
        installed = os.path.join(args.prefix, "lib", "cups", "filter")
        # The package's gziptoany, where the scheduler has none, in the filter folder as the package puts it.
        for name, path in (("brovane-pwg", os.path.join(installed, "brovane-pwg")),
                           ("gziptoany", os.path.join(args.prefix, "lib", "printfilters", "gziptoany"))):
            os.symlink(os.path.realpath(path), os.path.join(filters, name))
        ppd = hpcups(work, filters)
        # The scheduler drops a conversion whose filter is missing when it starts.
        os.symlink(builds[-1][1], os.path.join(filters, "brovane"))
        sched = Scheduler(top, filters, os.geteuid() == 0)
        for name in ("printfilters.types", "printfilters.convs"):
            shutil.copy(os.path.join(args.prefix, "share", "cups", "mime", name),
                        os.path.join(sched.data, "mime", name))
        # A phone's Print-Job over loopback TCP; the log's times to the microsecond.
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        with open(os.path.join(sched.root, "cupsd.conf"), "a") as f:
            f.write("Listen 127.0.0.1:%d\nLogTimeFormat usecs\n" % port)
        request = os.path.join(work, "print.test")
        with open(request, "w") as f:
            f.write(PRINT_JOB)
        sched.start(args.jobstate)
        device = os.path.join(top, "device")
        os.makedirs(device)
        os.chmod(device, 0o777)
        add_queue(sched, "envy", ppd, "file:///dev/null")
        env = dict(sched.env, CUPS_SERVERBIN=sched.bin, BROVANE_ENABLE_CONF=os.path.join(top, "printfilters"))
        enabled = run([os.path.join(args.prefix, "sbin", "brovane-enable"), "envy"], env=env)
        log((enabled.stdout + enabled.stderr).decode().strip())
        with open(os.path.join(sched.root, "ppd", "envy.ppd"), errors="replace") as f:
            dpi = int(re.search(r'^\*brovaneResolution: "(\d+)"', f.read(), re.M).group(1))
        photo = os.path.join(work, "photo.urf")
        width, height = round(A4_INCHES[0] * dpi), round(A4_INCHES[1] * dpi)
        with open(photo, "wb") as f:
            f.write(run([args.workloads, "urf", "rgb", str(width), str(height), "1", str(dpi)]).stdout)
        os.chmod(photo, 0o644)
        log("phone photo: %d x %d at %d dpi, %.1f MB of URF" % (width, height, dpi, os.path.getsize(photo) / 1e6))

        # The same page as the CUPS raster brovane makes of it, sent straight
        # to the driver: the job without brovane.
        raster = os.path.join(work, "photo.ras")
        with open(photo, "rb") as source, open(raster, "wb") as out:
            made = subprocess.run([builds[-1][1], "1", "phone", "photo", "1", ""], stdin=source, stdout=out,
                                  stderr=subprocess.DEVNULL,
                                  env=dict(os.environ, PPD=os.path.join(sched.root, "ppd", "envy.ppd")))
        if made.returncode != 0:
            raise Failure("brovane could not make the raster of the photo (%d)" % made.returncode)
        os.chmod(raster, 0o644)

        results = {label: [] for label, _ in [("raster", None)] + builds}
        # One unmeasured job first: the scheduler's and the driver's first start.
        for round_ in range(args.runs + 1):
            for label, program in [("raster", None)] + builds:
                document, form = (raster, "application/vnd.cups-raster") if program is None else (photo, "image/urf")
                if program is not None:
                    os.unlink(os.path.join(filters, "brovane"))
                    os.symlink(program, os.path.join(filters, "brovane"))
                out = run([TOOLS["ipptool"], "-t", "-T", "60", "-f", document, "-d", "format=" + form,
                           "ipp://127.0.0.1:%d/printers/envy" % port, request], env=sched.env,
                          check_status=False).stdout.decode()
                if "job-id" not in out:
                    raise Failure("Print-Job failed: " + out)
                job = int(re.search(r"job-id \(integer\) = (\d+)", out).group(1))
                state = wait_job(sched, args.jobstate, job, timeout=300)
                if state != "completed":
                    raise Failure("job %d ended %s\n%s" % (job, state, sched.tail()))
                if round_ > 0:
                    results[label].append(job_times(sched, job))
                time.sleep(0.5)

        def median(label, key):
            return statistics.median(r[key] for r in results[label]) * 1e3

        print("Phone photo %d x %d, 24-bit, %d dpi (%.1f MB of URF) through brovane and hpcups (HP ENVY 5000), "
              "medians of %d jobs a build, in ms:" % (width, height, dpi, os.path.getsize(photo) / 1e6, args.runs))
        print("")
        print("| job | Print-Job to completed | brovane's share: what the job takes longer than the raster "
              "straight to hpcups | brovane start to exit | brovane CPU (user + system) | hpcups start to exit |")
        print("|---|---:|---:|---:|---:|---:|")
        base = median("raster", "job")
        print("| the CUPS raster brovane makes, straight to hpcups | %.0f | | | | %.0f |"
              % (base, median("raster", "driver")))
        for label, program in builds:
            print("| URF through brovane (%s: %s) | %.0f | %.0f (%.1f%%) | %.0f | %.0f | %.0f |" % (
                label, program, median(label, "job"), median(label, "job") - base,
                100 * (median(label, "job") - base) / median(label, "job"), median(label, "brovane"),
                median(label, "brovane_cpu"), median(label, "driver")))
    finally:
        clean_up(sched, top)


if __name__ == "__main__":
    try:
        main()
    except Failure as failure:
        log("FAILED: " + str(failure))
        sys.exit(1)
