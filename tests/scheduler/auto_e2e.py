#!/usr/bin/env python3
"""The installed package's brovane-enable over a print server's life, under one private scheduler: every
queue enabled at once and the status of each, automatic enabling of a queue added and of a queue whose PPD a
driver upgrade replaced (while a queue the administrator gave back stays as it is), and the package removed,
installed again and purged with queues enabled: each queue's own PPD back byte for byte, and its own
formats printed."""

# sudo python3 auto_e2e.py --deb PACKAGE.deb --jobstate PATH
#
# Runs where the package is installed (.ci/packages): /usr/sbin/brovane-enable, the filters in
# /usr/lib/cups/filter, the MIME files in /usr/share/cups/mime. The package's maintainer scripts talk to
# this scheduler through CUPS_SERVER and CUPS_SERVERROOT, as the system's scheduler's are found by
# default. Ends with the package purged (removed and installed again on the way).

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
sys.path.insert(0, HERE)
from privatecups import TOOLS, Failure, Skip, check, clean_up, find_tools, log, run, run_test, Scheduler, add_queue, wait_job  # noqa: E402,E501
import drivers_e2e  # noqa: E402

ENABLE = "/usr/sbin/brovane-enable"
FILTERS = "/usr/lib/cups/filter"
MIME = "/usr/share/cups/mime"
SETTINGS = "/etc/printfilters"
SERVED = ("laserjet", "zebra")      # 1-bit black drivers brovane serves
REFUSED = ("deskjet", "generic")    # banded CMYK; PostScript


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--deb", required=True, help="the package, to install again after its removal")
    parser.add_argument("--jobstate", required=True)
    args = parser.parse_args()
    missing = find_tools(["cupsd", "lpadmin", "ipptool", "ppdc", "gs", "apt-get", "dpkg-deb"])
    if missing or not os.path.exists(drivers_e2e.SAMPLE_DRV) or not os.path.exists(ENABLE):
        raise Skip("missing %s" % ", ".join(missing or [drivers_e2e.SAMPLE_DRV, ENABLE]))
    check(os.geteuid() == 0, "the package is installed and removed: root only")
    os.umask(0o022)
    top = tempfile.mkdtemp(prefix="auto-e2e-", dir="/tmp")
    sched = watcher = None
    try:
        os.chmod(top, 0o755)
        work = os.path.join(top, "work")
        os.makedirs(work)
        ppd_dir = os.path.join(work, "ppd")
        run([TOOLS["ppdc"], "-d", ppd_dir, drivers_e2e.SAMPLE_DRV])
        filters = os.path.join(top, "filter")
        os.makedirs(filters)
        for name in ("brovane", "brovane-pwg"):
            os.symlink(os.path.join(FILTERS, name), os.path.join(filters, name))
        drivers = drivers_e2e.fetch_drivers(work)
        for name in drivers_e2e.DRIVERS:
            shutil.copy(os.path.join(drivers, name), os.path.join(filters, name))
        sched = Scheduler(top, filters, True)
        for name in ("printfilters.types", "printfilters.convs"):
            shutil.copy(os.path.join(MIME, name), os.path.join(sched.data, "mime", name))
        port = drivers_e2e.free_port()
        with open(os.path.join(sched.root, "cupsd.conf"), "a") as f:
            f.write("Listen 127.0.0.1:%d\n" % port)
        sched.start(args.jobstate)
        client = drivers_e2e.Client(work, port, sched.env)
        # brovane-enable, the watcher and the package's scripts find this scheduler as the system's.
        env = dict(sched.env, CUPS_SERVERROOT=sched.root, CUPS_SERVERBIN=sched.bin,
                   DEBIAN_FRONTEND="noninteractive", PATH=os.environ.get("PATH", "/usr/sbin:/usr/bin:/sbin:/bin"))
        outdir = os.path.join(top, "out")
        os.makedirs(outdir)
        os.chmod(outdir, 0o777)
        devices = {}

        def add(queue, ppd):
            devices[queue] = drivers_e2e.JobDevice(os.path.join(outdir, queue))
            add_queue(sched, queue, ppd, "file://" + os.path.join(outdir, queue))

        for queue in SERVED + REFUSED:
            add(queue, os.path.join(ppd_dir, queue + ".ppd"))
        stored = lambda queue: os.path.join(sched.root, "ppd", queue + ".ppd")  # noqa: E731
        original = {q: read_bytes(stored(q)) for q in SERVED + REFUSED}

        def enabled(queue):
            return b"printer/vnd.printfilters-raster" in read_bytes(stored(queue)) and \
                "image/urf" in client.attributes(queue)[0]

        def enable(*arguments):
            result = run([ENABLE] + list(arguments), env=env, check_status=False, timeout=300)
            lines = result.stdout.decode().splitlines()
            log("$ brovane-enable %s -> %d\n%s" % (" ".join(arguments), result.returncode, "\n".join(
                "  " + line for line in lines)))
            return result.returncode, lines, result.stderr.decode()

        # --all: a line a queue, on standard output; the served queues advertise URF, the others are as they were.
        status, lines, errors = enable("--all")
        check(status == 0 and len(lines) == 4, "--all: status %d, %s %s" % (status, lines, errors))
        for queue in SERVED:
            check(any(line.startswith("brovane-enable: %s: takes URF and PWG raster jobs now" % queue)
                      for line in lines) and enabled(queue), "--all did not enable %s: %s" % (queue, lines))
        for queue in REFUSED:
            check(any(line.startswith("brovane-enable: %s: not changed: " % queue) for line in lines) and
                  read_bytes(stored(queue)) == original[queue], "--all on %s: %s" % (queue, lines))
        status, again, _ = enable("--all")
        check(status == 0 and sum("nothing to change" in line for line in again) == 2,
              "--all a second time: %s" % again)

        # --status: a line a queue and the setting; what phones are offered, or why not.
        status, lines, errors = enable("--status")
        check(status == 0 and len(lines) == 5, "--status: status %d, %s %s" % (status, lines, errors))
        for queue, pattern in (("zebra", r"enabled: phones are offered image/urf and image/pwg-raster at 203 dpi, "
                                          r"grey only \(urf-supported \S*RS203\S*, pwg-raster-document-type-"
                                          r"supported black_1,sgray_8\); phones won't find it: the scheduler "
                                          r"does not share printers"),
                               ("laserjet", r"enabled: phones are offered image/urf and image/pwg-raster at 300 dpi"),
                               ("deskjet", r"not enabled: its driver rastertohp takes 1-bit raster of colour "
                                           r"space \d+, banded"),
                               ("generic", r"not enabled: a PostScript printer")):
            check(any(re.match(r"brovane-enable: %s: %s" % (queue, pattern), line) for line in lines),
                  "--status on %s: %s" % (queue, lines))
        check(lines[-1].startswith("brovane-enable: automatic enabling is off"), "--status: %s" % lines[-1])

        # --auto on, and the watcher running as its service runs it (this machine may have no systemd).
        status, lines, errors = enable("--auto", "on")
        check(status == 0 and read_bytes(os.path.join(SETTINGS, "auto")) == b"on\n" and
              lines[-1].startswith("brovane-enable: automatic enabling is on"),
              "--auto on: %d %s %s" % (status, lines, errors))
        def within(seconds, what, test):
            deadline = time.monotonic() + seconds
            while time.monotonic() < deadline:
                if test():
                    return time.monotonic() - (deadline - seconds)
                time.sleep(0.2)
            raise Failure("%s within %d s; the watcher said:\n%s" % (what, seconds, read_bytes(
                os.path.join(work, "watch.log")).decode(errors="replace") if watcher else ""))

        watch_log = os.path.join(work, "watch.log")
        with open(watch_log, "wb") as log_file:
            watcher = subprocess.Popen([ENABLE, "--watch"], env=env, stdout=log_file, stderr=subprocess.STDOUT)
        within(10, "the watcher did not start", lambda: b"watching" in read_bytes(watch_log))

        # A queue added, and a queue whose PPD is replaced as a driver upgrade replaces it: enabled again.
        add("newlabel", os.path.join(ppd_dir, "zebra.ppd"))
        original["newlabel"] = original["zebra"]
        took = within(20, "newlabel not enabled", lambda: enabled("newlabel"))
        log("a queue added: enabled by the watcher in %.1f s" % took)
        run([TOOLS["lpadmin"], "-h", sched.socket, "-p", "zebra", "-P", os.path.join(ppd_dir, "zebra.ppd")],
            env=sched.env)
        took = within(20, "zebra not enabled again after its PPD was replaced", lambda: enabled("zebra"))
        log("a queue given a new PPD (lpadmin -P, as a driver upgrade does): enabled again in %.1f s" % took)

        # A queue given back by the administrator stays given back, while the watcher goes on enabling others.
        status, lines, errors = enable("--undo", "laserjet")
        check(status == 0 and read_bytes(stored("laserjet")) == original["laserjet"], "--undo laserjet: %s" % errors)
        add("probe", os.path.join(ppd_dir, "zebra.ppd"))
        original["probe"] = original["zebra"]
        within(20, "probe not enabled", lambda: enabled("probe"))
        time.sleep(2)
        check(read_bytes(stored("laserjet")) == original["laserjet"], "the watcher enabled laserjet again after --undo")
        status, lines, _ = enable("--status")
        check(any(line.startswith("brovane-enable: laserjet: not enabled: given back with --undo") for line in lines),
              "--status after --undo: %s" % lines)
        log("laserjet, given back with --undo, stayed as it was")
        ours = ("zebra", "newlabel", "probe")

        # The package removed (its service stops first: here the watcher the test runs): every queue's own PPD.
        watcher.terminate()
        watcher.wait(10)
        watcher = None

        def package(*command):
            result = run(["apt-get", "-y", "--no-install-recommends"] + list(command), env=env, check_status=False,
                         timeout=600)
            check(result.returncode == 0, "apt-get %s: %s" % (" ".join(command), result.stdout.decode()[-2000:]))

        def given_back(when):
            for queue in ours + SERVED + REFUSED:
                check(read_bytes(stored(queue)) == original[queue], "%s: %s has not its own PPD" % (when, queue))
                check("image/urf" not in client.attributes(queue)[0], "%s: %s takes URF" % (when, queue))

        package("remove", "printfilters")
        given_back("after apt-get remove")
        log("apt-get remove: every queue has its own PPD again, byte for byte")
        package("install", os.path.abspath(args.deb))
        for queue in ours:
            check(enabled(queue), "reinstalled with --auto on: %s not enabled again" % queue)
        check(read_bytes(stored("laserjet")) == original["laserjet"], "reinstalled: laserjet enabled against --undo")
        log("installed again with --auto on: %s enabled again, laserjet left as given back" % ", ".join(ours))
        package("purge", "printfilters")
        given_back("after apt-get purge")
        check(not os.path.exists(SETTINGS), "%s left after the purge" % SETTINGS)
        # The queues print their own formats: a CUPS raster page through their own driver alone.
        for queue, driver in (("zebra", "rastertolabel"), ("laserjet", "rastertohp")):
            page = os.path.join(work, "page-%s.ras" % queue)
            run([TOOLS["gs"], "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=cups", "-sOutputFile=" + page,
                 "-c", "0 setgray 10 10 50 50 rectfill showpage"], env=dict(os.environ, PPD=stored(queue)))
            before = len(devices[queue].received())
            out = run(client.argv("print", queue, page, ["-d", "format=application/vnd.cups-raster"]),
                      env=sched.env).stdout.decode()
            job = int(re.search(r"job-id \(integer\) = (\d+)", out).group(1))
            check(wait_job(sched, args.jobstate, job) == "completed", "a raster job on %s after the purge" % queue)
            chain, lines = drivers_e2e.filters_of(sched, job)
            got = devices[queue].settle(before)
            check(chain == [driver] and len(got) > 0, "%s after the purge: %s, %d bytes printed" % (
                queue, lines, len(got)))
        log("apt-get purge: every queue has its own PPD again, byte for byte, prints its own formats; %s gone" %
            SETTINGS)
    finally:
        if watcher is not None:
            watcher.terminate()
            watcher.wait(10)
        clean_up(sched, top)


if __name__ == "__main__":
    run_test(main)
