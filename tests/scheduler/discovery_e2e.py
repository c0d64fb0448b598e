#!/usr/bin/env python3
# Phones find an enabled printer by DNS-SD: Debian's scheduler with its stock
# configuration, a brlaser queue and exactly the administrator's commands of
# the README (ADMIN_STEPS); then what a phone does: browse for
# _ipp._tcp,_universal, read the TXT record, print a URF job (an iPhone's) and
# a PWG raster job (an Android phone's) of the kind it asks for to the URI
# found. Undone, the queue is no longer found that way.
#
# python3 discovery_e2e.py [--enable PROGRAM] [--filter-dir DIR] [--mime-dir DIR] [--require]
#
# It runs as root in network, mount and UTS namespaces of its own (host name
# printserver, loopback only) with its own /run, spool, cache and log folders,
# a D-Bus system bus, avahi-daemon and cupsd, stopped by process id at the
# end. A --filter-dir or --mime-dir other than the installed one goes over the
# system folder (a copy of it with our files added) in that mount namespace
# only. ippfind and ipptool resolve printserver.local with libnss-mdns, taken
# out of its package (apt-get download) and loaded through LD_LIBRARY_PATH.
#
# Exit status: 0 passed, 1 failed, 77 skipped (not root, or a tool missing;
# with --require that fails instead).

import argparse
import fcntl
import glob
import grp
import json
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from privatecups import TOOLS, find_tools, Failure, log, run, download_packages  # noqa: E402

QUEUE = "brother"
# The README's commands, in order, once the package is installed and the
# queue exists; "brovane-enable" is the --enable program.
ADMIN_STEPS = (
    ("cupsctl", "--share-printers"),
    ("brovane-enable", QUEUE),
)
FILTERS, MIME = "/usr/lib/cups/filter", "/usr/share/cups/mime"
BRLASER_DRV, BRLASER_PPD = "/usr/share/cups/drv/brlaser.drv", "brl2340d.ppd"
TOOL_NAMES = ("unshare", "mount", "dbus-daemon", "avahi-daemon", "cupsd", "cupsctl", "lpadmin", "ippfind", "ipptool",
              "gs", "ppdc", "apt-get", "dpkg-deb")
TYPES = ("_ipp._tcp,_universal", "_ipps._tcp,_universal")  # what phones browse for
LOCAL_URI = "ipp://localhost/printers/" + QUEUE
ERROR_LOG = "/var/log/cups/error_log"
# ippfind runs this for each service it finds: its IPPFIND_ variables as one
# JSON line (no braces: ippfind takes {name} for its own variables).
DUMP = "import json, os; print(json.dumps(dict(i for i in os.environ.items() if i[0].startswith('IPPFIND_'))))"


def outer(args):
    """Gets what needs the network, then runs the test in its namespaces."""
    missing = [] if os.geteuid() == 0 else ["root"]
    missing += find_tools(TOOL_NAMES) + [p for p in (
        args.enable, os.path.join(args.filter_dir, "brovane"), os.path.join(args.filter_dir, "brovane-pwg"),
        os.path.join(args.mime_dir, "printfilters.convs"),
        BRLASER_DRV, os.path.join(FILTERS, "rastertobrlaser")) if not os.path.exists(p)]
    if missing:
        log("%s: missing %s" % ("FAIL" if args.require else "SKIP", ", ".join(missing)))
        return 1 if args.require else 77
    top = tempfile.mkdtemp(prefix="discovery-e2e-")
    inner = None
    try:
        debs, why = download_packages(top, ["libnss-mdns"])
        if why:
            log(("FAIL: " if args.require else "SKIP: ") + why)
            return 1 if args.require else 77
        run([TOOLS["dpkg-deb"], "-x", debs["libnss-mdns"], os.path.join(top, "nss")])
        run([TOOLS["ppdc"], "-d", os.path.join(top, "ppd"), BRLASER_DRV])
        inner = subprocess.Popen([TOOLS["unshare"], "-n", "-m", "-u", sys.executable, os.path.abspath(__file__),
                                  "--inner", top] + sys.argv[1:])
        return inner.wait()
    finally:
        if inner is not None and inner.poll() is None:
            inner.terminate()  # it stops its daemons on the way out
            inner.wait()
        shutil.rmtree(top, ignore_errors=True)


def mount(*argv):
    run([TOOLS["mount"]] + list(argv))


def overlay_copy(system, copy, files):
    shutil.copytree(system, copy, symlinks=True)
    for path in files:
        shutil.copy(path, copy)
    os.chmod(copy, 0o755)
    mount("--bind", copy, system)


def wait_for(what, test, seconds=15):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        result = test()
        if result:
            return result
        time.sleep(0.2)
    raise Failure("no %s within %d s" % (what, seconds))


def read(path):
    with open(path, errors="replace") as f:
        return f.read()


def answers(path):
    with socket.socket(socket.AF_UNIX) as s:
        return s.connect_ex(path) == 0


def setup(top, args, daemons):
    socket.sethostname("printserver")
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:  # ip link set lo up (SIOCGIFFLAGS, SIOCSIFFLAGS)
        flags = struct.unpack("16sH22x", fcntl.ioctl(s, 0x8913, struct.pack("16sH22x", b"lo", 0)))[1]
        fcntl.ioctl(s, 0x8914, struct.pack("16sH22x", b"lo", flags | 1))
    for path in ("/run", "/var/spool/cups", "/var/cache/cups", "/var/log/cups"):
        mount("-t", "tmpfs", "tmpfs", path)
    for path in ("/run/dbus", "/run/avahi-daemon", "/run/cups", "/var/spool/cups/tmp"):
        os.makedirs(path)
    for path, mode in (("/var/spool/cups", 0o710), ("/var/spool/cups/tmp", 0o1770), ("/var/cache/cups", 0o770)):
        os.chown(path, 0, grp.getgrnam("lp").gr_gid)
        os.chmod(path, mode)
    # The scheduler's configuration as a fresh installation has it (cupsd
    # makes its ssl folder itself), and mDNS host names for the clients.
    etc = os.path.join(top, "etc-cups")
    os.makedirs(etc)
    for name in ("cupsd.conf", "cups-files.conf"):
        shutil.copy("/usr/share/cups/%s.default" % name, os.path.join(etc, name))
    mount("--bind", etc, "/etc/cups")
    with open(os.path.join(top, "nsswitch.conf"), "w") as nss:
        nss.write(re.sub(r"(?m)^hosts:.*$", "hosts: files mdns4_minimal [NOTFOUND=return] dns",
                         read("/etc/nsswitch.conf")))
    mount("--bind", nss.name, "/etc/nsswitch.conf")
    if os.path.realpath(args.filter_dir) != FILTERS:
        overlay_copy(FILTERS, os.path.join(top, "filter"),
                     [os.path.join(args.filter_dir, name) for name in ("brovane", "brovane-pwg")])
    if os.path.realpath(args.mime_dir) != MIME:
        overlay_copy(MIME, os.path.join(top, "mime"),
                     [os.path.join(args.mime_dir, "printfilters." + e) for e in ("types", "convs")])
    # Each daemon in the foreground, started once the one before it takes
    # connections (avahi-daemon needs the bus, cupsd avahi-daemon).
    with open(os.path.join(top, "daemons.log"), "w") as out:
        for argv, path in (([TOOLS["dbus-daemon"], "--system", "--nofork"], "/run/dbus/system_bus_socket"),
                           ([TOOLS["avahi-daemon"], "--no-drop-root", "--no-chroot"], "/run/avahi-daemon/socket"),
                           ([TOOLS["cupsd"], "-f"], "/run/cups/cups.sock")):
            daemons.append(subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=out))
            wait_for(argv[0] + " on " + path, lambda: answers(path) or daemons[-1].poll() is not None)
            if daemons[-1].poll() is not None:
                raise Failure("%s exited with %d" % (argv[0], daemons[-1].returncode))


def main_inner(args):
    top, failures, daemons, seen = args.inner, [], [], {}
    find_tools(TOOL_NAMES)
    nss = glob.glob(os.path.join(top, "nss", "**", "libnss_mdns4_minimal.so.2"), recursive=True)
    env = dict((k, v) for k, v in os.environ.items() if not k.startswith("CUPS_"))
    # brovane-enable keeps what it notes (a queue given back) in the test's folder, not the machine's.
    env.update(LANG="C", LC_ALL="C", LD_LIBRARY_PATH=os.path.dirname(nss[0]),
               BROVANE_ENABLE_CONF=os.path.join(top, "printfilters"))

    def expect(condition, message):
        if not condition:
            failures.append(message)
            log("FAIL: " + message)

    def browse(types=TYPES):
        """The queue's services as a phone sees them: {regtype: IPPFIND_ variables}."""
        out = run([TOOLS["ippfind"]] + list(types) + ["-T", "3", "-x", sys.executable, "-c", DUMP, ";"],
                  env=env, check_status=False).stdout.decode()
        found = [json.loads(line) for line in out.splitlines() if line.startswith("{")]
        return {s["IPPFIND_SERVICE_REGTYPE"]: s for s in found
                if s.get("IPPFIND_SERVICE_URI", "").endswith("/printers/" + QUEUE)}

    def browse_until(what, test):
        found = {}  # the last look
        try:
            wait_for(what, lambda: found.clear() or found.update(browse()) or test(found), 20)
        except Failure as failure:
            expect(False, "%s: found %s" % (failure, found or "nothing"))
        return found

    def pdl(found, regtype="_ipp._tcp"):
        return found.get(regtype, {}).get("IPPFIND_TXT_PDL", "")

    def attributes():
        out = run([TOOLS["ipptool"], "-tv", "-T", "5", LOCAL_URI, "get-printer-attributes.test"], env=env,
                  check_status=False).stdout.decode()
        return dict(re.findall(r"(?m)^\s+([a-z0-9-]+) \([^)]*\) = (.*)$", out))

    def admin(step):
        result = run([args.enable if step[0] == "brovane-enable" else TOOLS[step[0]]] + list(step[1:]), env=env,
                     check_status=False)
        log("$ %s -> %d %s" % (" ".join(step), result.returncode, result.stdout.decode().strip()))
        expect(result.returncode == 0, "%s: %s" % (" ".join(step), result.stderr.decode(errors="replace").strip()))
        return result.stdout.decode()

    try:
        setup(top, args, daemons)
        run([TOOLS["lpadmin"], "-p", QUEUE, "-E", "-v", "file:///dev/null", "-P",
             os.path.join(top, "ppd", BRLASER_PPD)], env=env)

        # (1) The stock configuration listens on localhost only: nothing to find.
        found = browse(("_ipp._tcp", "_ipps._tcp"))
        expect(not found, "advertised before the printers were shared: %s" % found)
        enable_at = [step[0] for step in ADMIN_STEPS].index("brovane-enable")
        for step in ADMIN_STEPS[:enable_at]:
            admin(step)
        # (2) Shared (the scheduler restarts itself): found, but no URF yet.
        found = browse_until("shared queue under _ipp._tcp,_universal", lambda f: "_ipp._tcp" in f)
        seen["pdl shared"] = pdl(found)
        seen["TXT URF shared"] = found.get("_ipp._tcp", {}).get("IPPFIND_TXT_URF", "")
        expect("image/urf" not in pdl(found) and "image/pwg-raster" not in pdl(found),
               "pdl has image/urf or image/pwg-raster before brovane-enable: " + pdl(found))
        said = "".join(admin(step) for step in ADMIN_STEPS[enable_at:])
        # brovane-enable reports the queue announced, and nothing in the way.
        expect('phones find it: announced by DNS-SD as "%s @ printserver"' % QUEUE in said and
               "won't find it" not in said, "brovane-enable reported: " + said)
        # Not a README step: the stock LogLevel (warn) logs no filters, and
        # the job's filter chain is what the check below looks at.
        run([TOOLS["cupsctl"], "LogLevel=debug"], env=env)
        wait_for("restart with LogLevel debug", lambda: os.path.exists(ERROR_LOG) and
                 re.search(r"(?m)^D \[", read(ERROR_LOG)))
        attrs = wait_for("Get-Printer-Attributes", attributes)

        # (3) Enabled: found as phones look for it, the TXT as the queue says.
        found = browse_until("image/urf and image/pwg-raster in the pdl under _ipp._tcp and _ipps._tcp",
                             lambda f: all("image/urf" in pdl(f, t.split(",")[0]) and
                                           "image/pwg-raster" in pdl(f, t.split(",")[0]) for t in TYPES))
        ipp = found.get("_ipp._tcp", {})
        txt_urf, urf = ipp.get("IPPFIND_TXT_URF", ""), attrs.get("urf-supported", "")
        formats = attrs.get("document-format-supported", "")
        seen.update({"pdl enabled": pdl(found), "TXT URF": txt_urf, "urf-supported": urf,
                     "service types": " ".join(sorted(found)), "URI": ipp.get("IPPFIND_SERVICE_URI"),
                     "printer-dns-sd-name": attrs.get("printer-dns-sd-name"), "document-format-supported": formats})
        expect(txt_urf and txt_urf == urf, "TXT URF %r, urf-supported %r" % (txt_urf, urf))
        expect(attrs.get("printer-is-shared") == "true", "printer-is-shared: %s" % attrs.get("printer-is-shared"))
        expect("image/urf" in formats.split(",") and "image/pwg-raster" in formats.split(","),
               "document-format-supported lacks image/urf or image/pwg-raster: " + formats)
        private = [f for f in (formats + "," + pdl(found)).split(",")
                   if f.startswith(("application/vnd.printfilters", "printer/"))]
        expect(not private, "private types advertised: %s" % ", ".join(private))

        # (4) A job of the kind the TXT asks for (8-bit grey at its first
        # resolution) to the URI found, as an iPhone sends it (URF) and as an
        # Android phone does (PWG raster): brovane or brovane-pwg, then the
        # driver, no error.
        resolution = re.search(r"RS(\d+)", txt_urf)
        sample = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "samples", "sample.ps")
        for device, kind, ours in (("urf", "image/urf", "brovane"), ("pwgraster", "image/pwg-raster", "brovane-pwg")):
            job = os.path.join(top, "job." + device)
            run([TOOLS["gs"], "-q", "-dSAFER", "-dNOPAUSE", "-dBATCH", "-sDEVICE=" + device, "-dcupsColorSpace=18",
                 "-dcupsBitsPerColor=8", "-r" + (resolution.group(1) if resolution else "300"),
                 "-sOutputFile=" + job, sample])
            if not ipp.get("IPPFIND_SERVICE_URI"):
                break
            out = run([TOOLS["ipptool"], "-tv", "-T", "60", "-f", job, "-d", "filetype=" + kind,
                       ipp["IPPFIND_SERVICE_URI"], "print-job-and-wait.test"], env=env,
                      check_status=False).stdout.decode()
            number = re.search(r"job-id \(integer\) = (\d+)", out)
            states = re.findall(r"job-state \(enum\) = (\S+)", out) or ["none"]
            seen["job " + kind] = "%s, %s" % (number and number.group(1), states[-1])
            expect(number and states[-1] == "completed", "the %s job did not complete:\n%s" % (kind, out[-1500:]))
            marker = "[Job %s] " % (number.group(1) if number else "?")
            lines = [line for line in read(ERROR_LOG).splitlines() if marker in line]
            seen["filters " + kind] = " ".join(re.findall(r"Started filter /usr/lib/cups/filter/(\S+)",
                                                          "\n".join(lines)))
            expect(seen["filters " + kind] == ours + " rastertobrlaser", "filters run: %s" % seen["filters " + kind])
            errors = [line for line in lines if line.startswith("E ")]
            expect(not errors, "errors logged:\n" + "\n".join(errors))

        # (5) Undone: still shared, URF gone from the TXT.
        admin(("brovane-enable", "--undo", QUEUE))
        found = browse_until("pdl without image/urf and image/pwg-raster after --undo",
                             lambda f: "_ipp._tcp" in f and "image/urf" not in pdl(f) and
                             "image/pwg-raster" not in pdl(f))
        seen["pdl undone"] = pdl(found)
    except Failure as failure:
        expect(False, str(failure))
    finally:
        for daemon in reversed(daemons):
            daemon.terminate()
            try:
                daemon.wait(10)
            except subprocess.TimeoutExpired:
                daemon.kill()
                daemon.wait()
    if failures and os.path.exists(os.path.join(top, "daemons.log")):
        log("daemons' output:\n" + read(os.path.join(top, "daemons.log"))[-3000:])
    for key, value in seen.items():
        log("%-26s %s" % (key + ":", value or "(empty)"))
    log("FAILED: %d check(s)" % len(failures) if failures else "PASS")
    return 1 if failures else 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--enable", default="/usr/sbin/brovane-enable", help="the brovane-enable program")
    parser.add_argument("--filter-dir", default=FILTERS, help="folder with brovane")
    parser.add_argument("--mime-dir", default=MIME, help="folder with printfilters.types and .convs")
    parser.add_argument("--require", action="store_true", help="a missing tool fails the test")
    parser.add_argument("--inner", help=argparse.SUPPRESS)
    args = parser.parse_args()
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, lambda number, frame: sys.exit(128 + number))
    if args.inner:
        return main_inner(args)
    started = time.monotonic()
    status = outer(args)
    log("%.1f s" % (time.monotonic() - started))
    return status


if __name__ == "__main__":
    sys.exit(main())
