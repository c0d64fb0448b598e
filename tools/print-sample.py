#!/usr/bin/env python3
# Prints the bundled sample URF job through a private CUPS scheduler to the
# 600 dpi colour queue, and writes the raster it produced with a PNG preview.
#
# python3 tools/print-sample.py BUILD-DIR OUTPUT-DIR

import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from privatecups import Failure, Scheduler, add_queue, find_tools, log, run, submit, wait_job  # noqa: E402

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main(build, outdir):
    missing = find_tools(["cupsd", "lpadmin", "lp"])
    if missing:
        raise Failure("missing " + ", ".join(missing) + " (Debian packages cups-daemon, cups-client)")
    os.umask(0o022)
    top = tempfile.mkdtemp(prefix="print-sample-", dir="/tmp")
    os.chmod(top, 0o755)
    sched = None
    try:
        # The filters installed as CUPS finds them, a queue with the shipped PPD
        # whose device is a file the scheduler writes.
        prefix = os.path.join(top, "prefix")
        run(["cmake", "--install", build, "--prefix", prefix])
        device = os.path.join(top, "device")
        os.makedirs(device)
        os.chmod(device, 0o777)
        sched = Scheduler(top, os.path.join(prefix, "lib", "cups", "filter"), os.geteuid() == 0)
        sched.start(os.path.join(build, "tools", "jobstate"))
        ppd = os.path.join(prefix, "share", "ppd", "printfilters", "colour-600.ppd")
        add_queue(sched, "colour", ppd, "file://" + os.path.join(device, "colour.ras"))

        job = submit(sched, "colour", os.path.join(SOURCE, "samples", "sample.urf"))
        state = wait_job(sched, os.path.join(build, "tools", "jobstate"), job)
        log("job %d on the colour queue: %s" % (job, state))
        with open(os.path.join(outdir, "sample.log"), "w") as f:
            f.write("\n".join("%s %s" % e for e in sched.job_log(job)) + "\n")
        if state != "completed":
            raise Failure("the job ended %s; its log is in %s" % (state, os.path.join(outdir, "sample.log")))

        raster = os.path.join(outdir, "sample.ras")
        shutil.copy(os.path.join(device, "colour.ras"), raster)
        preview = subprocess.run([os.path.join(build, "tools", "rasterpreview"), raster,
                                  os.path.join(outdir, "sample")], stdout=subprocess.PIPE, check=True)
        log("CUPS raster the printer received: " + raster)
        for line in preview.stdout.decode().split("\n"):
            if line:
                log("PNG preview:                      " + line)
        log("Job log (scheduler's error_log):  " + os.path.join(outdir, "sample.log"))
    finally:
        if sched is not None:
            sched.stop()
        shutil.rmtree(top, ignore_errors=True)


if __name__ == "__main__":
    try:
        main(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]))
    except Failure as failure:
        log("FAILED: " + str(failure))
        sys.exit(1)
