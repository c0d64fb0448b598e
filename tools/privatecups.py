# A private CUPS scheduler for tests and demonstrations: cupsd from Debian's
# cups-daemon with its own folders, a unix socket, and only our filters.

import ctypes
import grp
import os
import re
import shutil
import signal
import subprocess
import time

SYSTEM_SERVERBIN = "/usr/lib/cups"
SYSTEM_DATADIR = "/usr/share/cups"

# Programs the test runs, found on PATH or in the system folders (an
# ordinary user's PATH often lacks /usr/sbin, where cupsd and lpadmin are).
TOOLS = {}
TOOL_PATH = os.pathsep.join([os.environ.get("PATH", ""), "/usr/sbin", "/usr/bin", "/sbin", "/bin"])


def find_tools(names):
    """Fills TOOLS; returns the names that can't be found."""
    missing = []
    for name in names:
        path = shutil.which(name, path=TOOL_PATH)
        if path:
            TOOLS[name] = path
        else:
            missing.append(name)
    return missing


class Failure(Exception):
    pass


class Skip(Exception):
    """A tool the test needs is missing: exit status 77."""


def log(message):
    print(message, flush=True)


def check(condition, message):
    if not condition:
        raise Failure(message)


def run(argv, env=None, check_status=True, timeout=120, **kwargs):
    result = subprocess.run(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout,
                            **kwargs)
    if check_status and result.returncode != 0:
        raise Failure("%s exited with %d\nstdout: %s\nstderr: %s" % (
            " ".join(argv), result.returncode, result.stdout.decode(errors="replace"),
            result.stderr.decode(errors="replace")))
    return result


class Scheduler:
    def __init__(self, top, filter_dir, as_root):
        self.top = top
        self.as_root = as_root
        self.root = os.path.join(top, "root")
        self.bin = os.path.join(top, "bin")
        self.data = os.path.join(top, "data")
        self.spool = os.path.join(top, "spool")
        self.logdir = os.path.join(top, "log")
        self.error_log = os.path.join(self.logdir, "error_log")
        self.socket = os.path.join(top, "cupsd.sock")
        self.process = None
        for d in (self.root, self.bin, self.data, os.path.join(self.data, "mime"), os.path.join(self.data, "banners"),
                  self.spool, os.path.join(self.spool, "tmp"), os.path.join(top, "cache"), os.path.join(top, "state"),
                  self.logdir, os.path.join(top, "client"), os.path.join(top, "home")):
            os.makedirs(d, exist_ok=True)
        # The scheduler's own helpers (cups-exec above all) from the system,
        # the filter folder from our installation and nothing else.
        for helper in ("backend", "cgi-bin", "daemon", "monitor", "notifier"):
            if os.path.isdir(os.path.join(SYSTEM_SERVERBIN, helper)):
                os.symlink(os.path.join(SYSTEM_SERVERBIN, helper), os.path.join(self.bin, helper))
        check(os.path.exists(os.path.join(self.bin, "daemon", "cups-exec")),
              "cupsd's helper %s/daemon/cups-exec is missing" % SYSTEM_SERVERBIN)
        os.symlink(filter_dir, os.path.join(self.bin, "filter"))
        # Types only: no conversion rules, so no filter but the PPD's runs.
        shutil.copy(os.path.join(SYSTEM_DATADIR, "mime", "mime.types"), os.path.join(self.data, "mime"))

        files = [
            "ServerRoot " + self.root,
            "ServerBin " + self.bin,
            "DataDir " + self.data,
            "RequestRoot " + self.spool,
            "TempDir " + os.path.join(self.spool, "tmp"),
            "CacheDir " + os.path.join(top, "cache"),
            "StateDir " + os.path.join(top, "state"),
            "ErrorLog " + self.error_log,
            "AccessLog " + os.path.join(self.logdir, "access_log"),
            "PageLog " + os.path.join(self.logdir, "page_log"),
            "Printcap " + os.path.join(top, "state", "printcap"),
            "FileDevice Yes",
        ]
        if as_root:
            # Filters run as lp, as on a print server.
            files += ["User lp", "Group lp"]
        else:
            # Without root cupsd runs everything as the caller; it still wants
            # a system group that exists.
            files += ["SystemGroup " + grp.getgrgid(os.getgid()).gr_name]
        with open(os.path.join(self.root, "cups-files.conf"), "w") as f:
            f.write("\n".join(files) + "\n")

        conf = [
            "LogLevel debug",
            "MaxLogSize 0",
            "Listen " + self.socket,
            "Browsing No",
            "BrowseLocalProtocols none",
            "DefaultAuthType None",
            "WebInterface No",
            "PreserveJobHistory Yes",
        ]
        # A sanitizer build of the filters needs its options under cupsd too.
        for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
            if os.environ.get(name):
                conf.append("SetEnv %s %s" % (name, os.environ[name]))
        conf += [
            "<Location />", "  Order allow,deny", "  Allow all", "</Location>",
            "<Policy default>",
            "  JobPrivateAccess all", "  JobPrivateValues none",
            "  SubscriptionPrivateAccess all", "  SubscriptionPrivateValues none",
            "  <Limit All>", "    Order deny,allow", "  </Limit>",
            "</Policy>",
        ]
        with open(os.path.join(self.root, "cupsd.conf"), "w") as f:
            f.write("\n".join(conf) + "\n")

        # Where AppArmor is on, Debian's profile for /usr/sbin/cupsd keeps it
        # out of folders like this one; a copy of the program runs unconfined.
        self.cupsd = TOOLS["cupsd"]
        try:
            with open("/sys/module/apparmor/parameters/enabled") as f:
                apparmor = f.read().strip() == "Y"
        except OSError:
            apparmor = False
        if apparmor:
            self.cupsd = os.path.join(top, "cupsd")
            shutil.copy(TOOLS["cupsd"], self.cupsd)
            log("AppArmor is on: running a copy of %s" % TOOLS["cupsd"])

        self.env = dict(os.environ)
        for name in list(self.env):
            if name.startswith("CUPS_"):
                del self.env[name]
        # Client programs read no lpoptions or client.conf of this machine.
        self.env.update(LANG="C", LC_ALL="C", HOME=os.path.join(top, "home"), CUPS_SERVER=self.socket,
                        CUPS_SERVERROOT=os.path.join(top, "client"))

    def argv(self, *extra):
        return [self.cupsd] + list(extra) + ["-c", os.path.join(self.root, "cupsd.conf"),
                                        "-s", os.path.join(self.root, "cups-files.conf")]

    def start(self, jobstate, seconds=20):
        """Starts cupsd and waits until it answers; it loads every queue
        first, which with thousands of them takes longer than the default."""
        result = run(self.argv("-t"), env=self.env, check_status=False)
        check(result.returncode == 0, "cupsd rejects its configuration:\n" + result.stdout.decode(errors="replace")
              + result.stderr.decode(errors="replace"))

        def child_setup():
            # The scheduler goes when this script goes, even on SIGKILL.
            try:
                ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
            except OSError:
                pass

        with open(os.path.join(self.logdir, "stderr"), "w") as stderr:
            self.process = subprocess.Popen(self.argv("-f"), env=self.env, stdin=subprocess.DEVNULL,
                                            stdout=subprocess.DEVNULL, stderr=stderr, start_new_session=True,
                                            preexec_fn=child_setup)
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise Failure("cupsd exited with %d at start-up:\n%s" % (self.process.returncode, self.tail()))
            if os.path.exists(self.socket):
                if run([jobstate, self.socket, "list"], env=self.env, check_status=False).returncode == 0:
                    return
            time.sleep(0.1)
        raise Failure("cupsd did not answer on %s within %d s:\n%s" % (self.socket, seconds, self.tail()))

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        # A filter that ignored the scheduler's SIGTERM outlives it: end each
        # one that the log names and that still runs from this folder.
        try:
            with open(self.error_log, errors="replace") as f:
                pids = set(int(m) for m in re.findall(r"Started (?:filter|backend) \S+ \(PID (\d+)\)", f.read()))
        except OSError:
            pids = set()
        for pid in pids:
            try:
                with open("/proc/%d/cmdline" % pid, "rb") as f:
                    if self.top.encode() in f.read():
                        os.kill(pid, signal.SIGKILL)
                        log("killed filter process %d left behind by cupsd" % pid)
            except OSError:
                pass

    def tail(self, lines=60):
        try:
            with open(self.error_log, errors="replace") as f:
                return "".join(f.readlines()[-lines:])
        except OSError:
            return "(no error_log)"

    def job_log(self, job):
        """(level letter, message) of every error_log line of a job."""
        marker = "[Job %d] " % job
        entries = []
        with open(self.error_log, errors="replace") as f:
            for line in f:
                at = line.find(marker)
                if at >= 0:
                    entries.append((line[0], line[at + len(marker):].rstrip("\n")))
        return entries


def download_packages(folder, names):
    """apt-get download of Debian packages into `folder`: {name: .deb path},
    or the reason they can't be had. A mirror in mid-sync fails a download
    for a while: tried three times, 20 s apart."""
    os.chmod(folder, 0o777)  # apt's own user writes the download
    for attempt in range(3):
        result = run(["apt-get", "download"] + list(names), check_status=False, cwd=folder, timeout=300)
        debs = {name: os.path.join(folder, f) for name in names for f in os.listdir(folder)
                if f.startswith(name + "_") and f.endswith(".deb")}
        if result.returncode == 0 and len(debs) == len(names):
            return debs, None
        if attempt < 2:
            time.sleep(20)
    return None, "apt-get download %s failed: %s" % (" ".join(names), result.stderr.decode(errors="replace")[-300:])


def add_queue(sched, name, ppd, device):
    run([TOOLS["lpadmin"], "-h", sched.socket, "-p", name, "-P", ppd, "-v", device, "-E"], env=sched.env)


def submit(sched, queue, path, options=()):
    argv = [TOOLS["lp"], "-h", sched.socket, "-d", queue]
    for option in options:
        argv += ["-o", option]
    out = run(argv + [path], env=sched.env).stdout.decode()
    match = re.search(r"request id is \S+-(\d+)", out)
    check(match, "lp gave no request id: " + out)
    return int(match.group(1))


def wait_job(sched, jobstate, number, timeout=90):
    result = run([jobstate, sched.socket, "wait", str(number), str(timeout)], env=sched.env, check_status=False,
                 timeout=timeout + 30)
    check(result.returncode in (0, 2), "jobstate failed: " + result.stderr.decode(errors="replace"))
    state = result.stdout.decode().split()[1]
    if result.returncode == 2:
        raise Failure("job %d still %s after %d s\n%s" % (number, state, timeout, sched.tail()))
    return state


def clean_up(sched, top):
    """Stops the scheduler and removes the test's folder (kept when
    SCHED_E2E_KEEP=1, to look at afterwards)."""
    if sched is not None:
        sched.stop()
    if os.environ.get("SCHED_E2E_KEEP") == "1":
        log("kept " + top)
    else:
        shutil.rmtree(top, ignore_errors=True)


def run_test(main):
    """Runs a test's main(): exit status 0 passed, 1 failed (Failure), 77
    skipped (Skip); SIGTERM, SIGINT and SIGHUP end it through its cleanup."""
    def on_signal(number, frame):
        raise SystemExit(128 + number)

    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, on_signal)
    started = time.monotonic()
    try:
        main()
    except Skip as skip:
        log("SKIP: " + str(skip))
        raise SystemExit(77)
    except Failure as failure:
        log("FAIL: " + str(failure))
        raise SystemExit(1)
    log("PASS in %.1f s" % (time.monotonic() - started))
