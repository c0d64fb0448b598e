#!/usr/bin/env python3
# Runs the filters of two builds on the same hostile and ordinary inputs and reports every
# difference in output, messages, exit status or where a file on standard input is left.
"""Compare two builds of the filters, input by input.

    tools/compare-builds.py BEFORE_BUILD AFTER_BUILD [--extra FILE...] [--mutations N] [--timeout S]

Inputs: the fuzz corpora, tests/crashers, samples/sample.urf, every extra file
given, and mutations of the URF and raster seeds (cut at many points, bytes
flipped). URF inputs go through brovane (each test PPD in turn), brovane-ps and
calmeric; CUPS raster through brovane-rasterin, brovane-ps-rasterin and
dunsiple. Each run is made three ways: the job as standard input (a regular
file, whose offset is recorded after the run), named as the sixth argument,
and through a pipe fed 4093 bytes at a time. Timing lines and the program
path in the start line are left out of the comparison; of an output past 32
MiB the first 32 MiB are compared, and not the messages. Exits 1 on any
difference.
"""

import argparse
import concurrent.futures
import glob
import hashlib
import os
import random
import re
import subprocess
import sys
import tempfile
import threading

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ARGS = ['9', 'compare', 'compare', '1', '']
URF_PROGRAMS = ['brovane/brovane', 'brovane/brovane-ps', 'calmeric/calmeric']
RASTER_PROGRAMS = ['brovane/brovane-rasterin', 'brovane/brovane-ps-rasterin', 'dunsiple/dunsiple']
URF_PPDS = sorted(p for p in glob.glob(os.path.join(ROOT, 'tests', 'ppd', '*.ppd')) if 'cmyk' not in p)
# Output compared of a job at most: past it both builds are stopped (a
# hostile header can ask for pages of terabytes).
OUTPUT_CAP = 32 << 20
TIMING = re.compile(rb'^DEBUG: \(\w+\) (Real Time|System Time|User Time) *:')


def inputs(mutations, extra):
    files = []
    for pattern in ('fuzz/corpus/brovane_*/*', 'fuzz/corpus/calmeric_urf/*', 'fuzz/corpus/dunsiple_raster/*',
                    'tests/crashers/*.urf', 'tests/crashers/*.ras', 'samples/sample.urf'):
        files += sorted(glob.glob(os.path.join(ROOT, pattern)))
    jobs = [(os.path.relpath(f, ROOT), open(f, 'rb').read()) for f in files]
    rng = random.Random(20261209)
    seeds = [(name, data) for name, data in jobs if len(data) > 44]
    for index in range(mutations):
        name, data = seeds[index % len(seeds)]
        data = bytearray(data)
        if index % 2 == 0:
            cut = rng.randrange(1, len(data))
            jobs.append(('%s cut at %d' % (name, cut), bytes(data[:cut])))
        else:
            for _ in range(rng.randrange(1, 6)):
                data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
            jobs.append(('%s flipped #%d' % (name, index), bytes(data)))
    jobs += [(os.path.basename(f), open(f, 'rb').read()) for f in extra]
    return jobs


def feed(pipe_fd, data):
    try:
        for at in range(0, len(data), 4093):
            os.write(pipe_fd, data[at:at + 4093])
    except OSError:
        pass  # the filter stopped reading
    os.close(pipe_fd)


def run(build, program, ppd, path, data, mode, timeout):
    env = {'PATH': '/usr/bin:/bin', 'PPD': ppd or ''}
    argv = [os.path.join(build, program)] + ARGS
    stdin_fd = None
    feeder = None
    if mode == 'arg':
        argv.append(path)
        stdin_fd = os.open('/dev/null', os.O_RDONLY)
    elif mode == 'stdin':
        stdin_fd = os.open(path, os.O_RDONLY)
    else:
        read_end, write_end = os.pipe()
        stdin_fd = read_end
    proc = subprocess.Popen(argv, stdin=stdin_fd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    if mode == 'pipe':
        os.close(read_end)
        feeder = threading.Thread(target=feed, args=(write_end, data))
        feeder.start()
    digest = hashlib.sha256()
    err = []
    reader = threading.Thread(target=lambda: err.append(proc.stderr.read()))
    reader.start()
    # A job of millions of rows is stopped: only whether both builds ran that
    # long is compared, not how far each got.
    timer = threading.Timer(timeout, proc.kill)
    timer.start()
    # So is a job whose output passes OUTPUT_CAP: its first OUTPUT_CAP bytes
    # are compared, and the program is stopped there.
    total, capped = 0, False
    while True:
        chunk = proc.stdout.read(min(1 << 20, OUTPUT_CAP - total))
        if not chunk:
            break
        digest.update(chunk)
        total += len(chunk)
        if total == OUTPUT_CAP:
            capped = True
            proc.kill()
            break
    status = proc.wait()
    timer.cancel()
    if capped:
        status, err = 'capped', [b'']
    elif not timer.is_alive() and status == -9:
        status, digest, err = 'timeout', hashlib.sha256(), [b'']
    reader.join()
    if feeder:
        feeder.join()
    offset = (os.lseek(stdin_fd, 0, os.SEEK_CUR) if mode == 'stdin' and status not in ('timeout', 'capped')
              else None)
    os.close(stdin_fd) if mode != 'pipe' or stdin_fd is None else None
    lines = [line for line in err[0].split(b'\n') if not TIMING.match(line)]
    text = b'\n'.join(lines).replace(os.path.join(build, program).encode(), b'PROGRAM')
    return (digest.hexdigest(), hashlib.sha256(text).hexdigest(), status, offset), text


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('before')
    parser.add_argument('after')
    parser.add_argument('--extra', nargs='*', default=[], help='more inputs (benchmark files, say)')
    parser.add_argument('--mutations', type=int, default=2000)
    parser.add_argument('--jobs', type=int, default=os.cpu_count() or 2)
    parser.add_argument('--timeout', type=float, default=30, help='seconds a run may take (both builds must then '
                        'time out alike)')
    options = parser.parse_args()
    before, after = os.path.abspath(options.before), os.path.abspath(options.after)
    work = tempfile.mkdtemp(prefix='compare-builds-')

    cases = []
    for index, (name, data) in enumerate(inputs(options.mutations, options.extra)):
        path = os.path.join(work, '%06d' % index)
        with open(path, 'wb') as f:
            f.write(data)
        raster = data[:4] in (b'RaS2', b'RaS3', b'RaSt', b'2SaR', b'3SaR', b'tSaR')
        for program in (RASTER_PROGRAMS if raster else URF_PROGRAMS):
            if program.startswith('dunsiple'):
                ppd = os.path.join(ROOT, 'tests', 'ppd', 'cmyk-600.ppd')
            elif program.startswith('calmeric'):
                ppd = None
            else:
                ppd = URF_PPDS[index % len(URF_PPDS)]
            for mode in ('stdin', 'arg', 'pipe'):
                cases.append((name, program, ppd, path, data, mode))

    def compare(case):
        name, program, ppd, path, data, mode = case
        a, text_a = run(before, program, ppd, path, data, mode, options.timeout)
        b, text_b = run(after, program, ppd, path, data, mode, options.timeout)
        return case, a == b, a, b, text_a, text_b

    differences = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=options.jobs) as pool:
        for case, same, a, b, text_a, text_b in pool.map(compare, cases):
            if not same:
                differences += 1
                name, program, ppd, _, _, mode = case
                print('DIFFERENT: %s, %s, %s, %s:\n  before %s\n  after  %s' % (
                    name, program, os.path.basename(ppd or '-'), mode, a, b))
                if a[1] != b[1]:
                    print('  messages before:\n%s\n  after:\n%s' % (text_a.decode(errors='replace')[-1500:],
                                                                 text_b.decode(errors='replace')[-1500:]))
    inputs_count = len({case[3] for case in cases})
    print('compare-builds: %d inputs, %d runs a build, %d different' % (inputs_count, len(cases), differences))
    for f in glob.glob(os.path.join(work, '*')):
        os.remove(f)
    os.rmdir(work)
    return 1 if differences else 0


if __name__ == '__main__':
    sys.exit(main())
