#!/usr/bin/env python3
# Benchmark driver: makes the inputs, checks that each filter and its libcups-only
# reference write the same bytes, times both and prints the table.

# Started by bench/run.sh, which builds the programs first.
"""Benchmark of brovane, calmeric and dunsiple against libcups-only references.

Every case runs the filter and its reference alternately (after one unmeasured
run of each), so a change in the machine's load hits both alike. CPU time is
user + system time of the program (wait4), wall time runs from its start to
the end of its output; the medians are printed. Output goes to /dev/null; a
second figure sends it through a pipe into `cat > /dev/null`.
"""

import argparse
import hashlib
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PPD_DIR = os.path.join(ROOT, 'tests', 'ppd')
ARGS = ['1', 'bench', 'bench', '1', '']  # job user title copies options

# Workload sizes: (pages of the document, photo width, photo height, photo pages).
# A4 at 300 dpi is 2480 x 3508; the tiny set keeps CI's run short.
FULL = {'doc_pages': 16, 'photo': (2480, 3508), 'photo_pages': 8, 'cmyk_doc_pages': 2,
        'cmyk_photo': (2480, 3508), 'runs': 7}
TINY = {'doc_pages': 1, 'photo': (620, 877), 'photo_pages': 1, 'cmyk_doc_pages': 1,
        'cmyk_photo': (310, 438), 'runs': 2}


def log(text):
    print(text, file=sys.stderr, flush=True)


def run_checked(argv, stdout=subprocess.PIPE):
    result = subprocess.run(argv, stdout=stdout, stderr=subprocess.PIPE)
    if result.returncode != 0:
        sys.exit('bench: %s failed (%d): %s' % (' '.join(argv), result.returncode,
                                                result.stderr.decode(errors='replace')[-2000:]))
    return result


def ghostscript(outfile, source, *options):
    run_checked(['gs', '-q', '-dNOPAUSE', '-dBATCH', '-dSAFER', *options,
                 '-sOutputFile=' + outfile, source])


def make_workloads(build, work, size):
    """Writes every input into `work`; the same bytes on every run."""
    os.makedirs(work, exist_ok=True)
    tool = os.path.join(build, 'bench', 'workloads')
    doc = os.path.join(ROOT, 'bench', 'document.ps')
    files = {}

    def path(name):
        files[name] = os.path.join(work, name)
        return files[name]

    for name, space in (('doc-rgb.urf', 19), ('doc-grey.urf', 18)):
        ghostscript(path(name), doc, '-sDEVICE=urf', '-r300', '-dcupsColorSpace=%d' % space,
                    '-dcupsBitsPerColor=8', '-dPAGES=%d' % size['doc_pages'])
    # One page of the same document: peak memory must not grow with pages.
    ghostscript(path('doc-rgb-1.urf'), doc, '-sDEVICE=urf', '-r300', '-dcupsColorSpace=19',
                '-dcupsBitsPerColor=8', '-dPAGES=1')
    width, height = size['photo']
    for name, kind in (('photo-rgb.urf', 'rgb'), ('photo-grey.urf', 'grey')):
        with open(path(name), 'wb') as out:
            run_checked([tool, 'urf', kind, str(width), str(height), str(size['photo_pages']), '300'], stdout=out)

    cups = ['-sDEVICE=cups', '-dcupsColorSpace=6', '-dcupsBitsPerColor=8', '-r600', '-sPAPERSIZE=a4']
    ghostscript(path('doc-cmyk.ras'), doc, *cups, '-dPAGES=%d' % size['cmyk_doc_pages'])
    ghostscript(path('doc-cmyk-1.ras'), doc, *cups, '-dPAGES=1')
    width, height = size['cmyk_photo']
    samples = os.path.join(work, 'photo-cmyk.samples')
    with open(samples, 'wb') as out:
        run_checked([tool, 'cmyk', str(width), str(height)], stdout=out)
    ghostscript(path('photo-cmyk.ras'), os.path.join(ROOT, 'bench', 'photo-cmyk.ps'), *cups,
                '--permit-file-read=' + work + '/', '-sSAMPLES=' + samples,
                '-dWIDTH=%d' % width, '-dHEIGHT=%d' % height)
    os.remove(samples)
    return files


class Program:
    """One program of a case: the filter, its reference, or the read floor."""

    def __init__(self, label, argv, ppd=None):
        self.label = label
        self.argv = argv
        self.ppd = ppd
        self.cpu = []
        self.wall = []
        self.rss = []
        self.pipe_cpu = []
        self.pipe_wall = []
        self.digest = None
        self.out_bytes = 0


def runner_argv(build, program, infile, runs, warmups, pipe=False):
    argv = [os.path.join(build, 'bench', 'runner'), '-i', infile, '-n', str(runs), '-w', str(warmups)]
    if pipe:
        argv.append('-p')
    if program.ppd:
        argv += ['-e', 'PPD=' + program.ppd]
    return argv + ['--'] + program.argv


def measure(build, program, infile, pipe=False, warmups=0):
    out = run_checked(runner_argv(build, program, infile, 1, warmups, pipe)).stdout.decode()
    fields = out.split()
    user, system, wall, rss, status = float(fields[1]), float(fields[2]), float(fields[3]), int(fields[4]), int(fields[5])
    if status != 0:
        sys.exit('bench: %s exited with %d' % (' '.join(program.argv), status))
    if pipe:
        program.pipe_cpu.append(user + system)
        program.pipe_wall.append(wall)
    else:
        program.cpu.append(user + system)
        program.wall.append(wall)
        program.rss.append(rss)


def digest(program, infile):
    """sha256 and length of the program's output, streamed."""
    env = dict(os.environ)
    if program.ppd:
        env['PPD'] = program.ppd
    h = hashlib.sha256()
    total = 0
    with open(infile, 'rb') as stdin:
        proc = subprocess.Popen(program.argv, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
        while True:
            chunk = proc.stdout.read(1 << 20)
            if not chunk:
                break
            h.update(chunk)
            total += len(chunk)
        if proc.wait() != 0:
            sys.exit('bench: %s exited with %d' % (' '.join(program.argv), proc.returncode))
    program.digest = h.hexdigest()
    program.out_bytes = total


def instructions(program, infile):
    """Instructions the program executes on the input, counted by callgrind:
    the same count on every run, however loaded the machine is."""
    env = dict(os.environ)
    if program.ppd:
        env['PPD'] = program.ppd
    with open(infile, 'rb') as stdin:
        result = subprocess.run(['valgrind', '--tool=callgrind', '--callgrind-out-file=/dev/null'] + program.argv,
                                stdin=stdin, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    for line in result.stderr.decode(errors='replace').splitlines():
        if 'Collected :' in line:
            return int(line.split(':')[-1])
    sys.exit('bench: callgrind counted nothing for %s' % ' '.join(program.argv))


def median(values):
    return statistics.median(values) if values else float('nan')


def load_average():
    try:
        return '%.2f %.2f %.2f' % os.getloadavg()
    except OSError:
        return 'unknown'


def cpu_model():
    try:
        out = subprocess.run(['lscpu'], capture_output=True, text=True).stdout
        for line in out.splitlines():
            if line.startswith('Model name:'):
                return line.split(':', 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument('--build', required=True, help='build folder with the filters and bench tools')
    parser.add_argument('--tiny', action='store_true', help='small inputs and two runs a case (for CI)')
    parser.add_argument('--runs', type=int, help='measured runs a program (default 7, tiny 2)')
    parser.add_argument('--keep', action='store_true', help='keep the generated inputs')
    parser.add_argument('--markdown', help='also write the table to this file')
    parser.add_argument('--only', help='run only the cases whose title contains this text')
    parser.add_argument('--unhardened', help='build folder of the same filters without hardening: each case '
                        'also times them and counts both programs\' instructions (valgrind), for the cost of '
                        'the protections')
    options = parser.parse_args()
    build = os.path.abspath(options.build)
    size = TINY if options.tiny else FULL
    runs = options.runs or size['runs']
    work = os.path.join(build, 'work-tiny' if options.tiny else 'work')

    started = time.monotonic()
    log('bench: making the inputs in %s' % work)
    files = make_workloads(build, work, size)
    bin_ = {name: os.path.join(build, name, name) for name in ('brovane', 'calmeric', 'dunsiple')}
    baseline = os.path.join(build, 'bench', 'urf_baseline')
    dither_bench = os.path.join(build, 'bench', 'dither_bench')

    def ppd(name):
        return os.path.join(PPD_DIR, name + '.ppd')

    def brovane_case(title, infile, printer):
        return (title, files[infile], [Program('brovane', [bin_['brovane']] + ARGS, ppd(printer)),
                                       Program('libcups', [baseline, 'brovane'], ppd(printer))])

    def calmeric_case(title, infile):
        return (title, files[infile], [Program('calmeric', [bin_['calmeric']] + ARGS),
                                       Program('libcups', [baseline, 'calmeric'])])

    def dunsiple_case(title, infile):
        return (title, files[infile], [Program('dunsiple', [bin_['dunsiple']] + ARGS, ppd('cmyk-600')),
                                       Program('per-pixel', [dither_bench, 'reference']),
                                       Program('read floor', [dither_bench, 'read-only'])])

    doc_pages, photo_pages = size['doc_pages'], size['photo_pages']
    cases = [
        brovane_case('brovane document 24-bit, 300 dpi PPD (scale 1), %dp' % doc_pages, 'doc-rgb.urf', 'colour-300'),
        brovane_case('brovane document 24-bit, 600 dpi PPD (scale 2), %dp' % doc_pages, 'doc-rgb.urf', 'colour-600'),
        brovane_case('brovane photo 24-bit, 300 dpi PPD (scale 1), %dp' % photo_pages, 'photo-rgb.urf', 'colour-300'),
        brovane_case('brovane photo 24-bit, 600 dpi PPD (scale 2), %dp' % photo_pages, 'photo-rgb.urf', 'colour-600'),
        brovane_case('brovane document grey, colour PPD (grey to RGB), %dp' % doc_pages, 'doc-grey.urf', 'colour-300'),
        brovane_case('brovane document grey, receipt PPD (1-bit), %dp' % doc_pages, 'doc-grey.urf', 'receipt'),
        brovane_case('brovane photo grey, colour PPD (grey to RGB), %dp' % photo_pages, 'photo-grey.urf', 'colour-300'),
        brovane_case('brovane photo grey, receipt PPD (1-bit), %dp' % photo_pages, 'photo-grey.urf', 'receipt'),
        calmeric_case('calmeric document 24-bit, %dp' % doc_pages, 'doc-rgb.urf'),
        calmeric_case('calmeric document grey, %dp' % doc_pages, 'doc-grey.urf'),
        calmeric_case('calmeric photo 24-bit, %dp' % photo_pages, 'photo-rgb.urf'),
        calmeric_case('calmeric photo grey, %dp' % photo_pages, 'photo-grey.urf'),
        dunsiple_case('dunsiple document CMYK 600 dpi, %dp' % size['cmyk_doc_pages'], 'doc-cmyk.ras'),
        dunsiple_case('dunsiple photo CMYK 600 dpi, 1p', 'photo-cmyk.ras'),
    ]

    if options.only:
        cases = [case for case in cases if options.only in case[0]]
    # The same filter built without hardening goes last in each case, so the
    # references keep their places.
    if options.unhardened:
        for _, _, programs in cases:
            filter_ = programs[0]
            name = os.path.basename(filter_.argv[0])
            programs.append(Program('unhardened', [os.path.join(os.path.abspath(options.unhardened), name, name)]
                                    + filter_.argv[1:], filter_.ppd))

    log('bench: checking that each filter and its reference write the same bytes')
    mismatches = 0
    for title, infile, programs in cases:
        for program in programs:
            digest(program, infile)
        for other in [programs[1]] + [p for p in programs[2:] if p.label == 'unhardened']:
            if programs[0].digest != other.digest:
                mismatches += 1
                log('bench: OUTPUTS DIFFER: %s (%s vs %s)' % (title, programs[0].label, other.label))

    log('bench: timing %d cases, %d runs a program' % (len(cases), runs))
    for title, infile, programs in cases:
        for program in programs:  # one unmeasured run each: caches and page cache warm
            measure(build, program, infile, warmups=1)
            program.cpu.clear(), program.wall.clear(), program.rss.clear()
        for _ in range(runs):
            for program in programs:
                measure(build, program, infile)
        # Through a pipe: the filter and the URF reference only.
        for _ in range(runs):
            for program in programs[:2]:
                measure(build, program, infile, pipe=True)

    # Peak memory against the number of pages.
    growth = []
    for name, printer, one, many in (('brovane', 'colour-600', 'doc-rgb-1.urf', 'doc-rgb.urf'),
                                     ('calmeric', None, 'doc-rgb-1.urf', 'doc-rgb.urf'),
                                     ('dunsiple', 'cmyk-600', 'doc-cmyk-1.ras', 'doc-cmyk.ras')):
        program = Program(name, [bin_[name]] + ARGS, ppd(printer) if printer else None)
        for infile in (files[one], files[many]):
            measure(build, program, infile)
        growth.append((name, printer, program.rss[0], program.rss[1]))

    lines = []
    out = lines.append
    out('Machine: %s, %d cores; load average before/after: %s / %s; %s' % (
        cpu_model(), os.cpu_count() or 0, LOAD_AT_START, load_average(), 'tiny inputs' if options.tiny else
        'full inputs'))
    out('Medians of %d runs; CPU = user + system of the program; output to /dev/null, and through a pipe '
        'into cat.' % runs)
    out('')
    out('| case | program | CPU ms | wall ms | peak RSS MiB | output MB/s | CPU vs reference | '
        'pipe: CPU ms | pipe: wall ms | same output |')
    out('|---|---|---:|---:|---:|---:|---:|---:|---:|---|')
    for title, infile, programs in cases:
        reference_cpu = median(programs[1].cpu)
        for index, program in enumerate(programs):
            cpu, wall = median(program.cpu), median(program.wall)
            rate = '%.0f' % (program.out_bytes / 1e6 / wall) if program.out_bytes and wall > 0 else '-'
            ratio = '%.2fx' % (cpu / reference_cpu) if index == 0 and reference_cpu > 0 else ''
            pipe_cpu = '%.1f' % (median(program.pipe_cpu) * 1e3) if program.pipe_cpu else ''
            pipe_wall = '%.1f' % (median(program.pipe_wall) * 1e3) if program.pipe_wall else ''
            same = ''
            if index == 0:
                same = 'yes' if program.digest == programs[1].digest else 'NO'
            out('| %s | %s | %.1f | %.1f | %.2f | %s | %s | %s | %s | %s |' % (
                title if index == 0 else '', program.label, cpu * 1e3, wall * 1e3,
                median(program.rss) / 1024, rate, ratio, pipe_cpu, pipe_wall, same))
    out('')
    out('dunsiple, work beyond reading the raster (CPU minus the read floor):')
    for title, infile, programs in cases:
        if programs[0].label != 'dunsiple':
            continue
        floor = median(programs[2].cpu)
        fast, slow = median(programs[0].cpu) - floor, median(programs[1].cpu) - floor
        ratio = '%.1fx faster' % (slow / fast) if fast > 0 else 'below timer resolution'
        out('- %s: per-pixel %.1f ms, dunsiple %.1f ms: %s; whole process %.2fx the read floor' % (
            title, slow * 1e3, fast * 1e3, ratio, median(programs[0].cpu) / floor if floor > 0 else float('nan')))
    out('')
    if options.unhardened:
        out('Cost of the hardening: the filter built as shipped against the same sources built without '
            '(FILTERS_HARDENING=OFF), same run; median CPU, and instructions counted by callgrind:')
        out('')
        out('| case | CPU ms hardened | CPU ms without | CPU ratio | instructions hardened | without | '
            'instruction ratio |')
        out('|---|---:|---:|---:|---:|---:|---:|')
        for title, infile, programs in cases:
            hardened, plain = median(programs[0].cpu), median(programs[-1].cpu)
            count, plain_count = instructions(programs[0], infile), instructions(programs[-1], infile)
            out('| %s | %.1f | %.1f | %.3fx | %d | %d | %.4fx |' % (
                title, hardened * 1e3, plain * 1e3, hardened / plain if plain > 0 else float('nan'),
                count, plain_count, count / plain_count))
        out('')
    out('Peak RSS against pages:')
    for name, printer, one, many in growth:
        pages = size['cmyk_doc_pages'] if name == 'dunsiple' else doc_pages
        out('- %s%s: 1 page %.2f MiB, %d page%s %.2f MiB' % (
            name, ' (' + printer + ')' if printer else '', one / 1024, pages, '' if pages == 1 else 's', many / 1024))
    out('')
    out('bench: %d cases in %.0f s%s' % (len(cases), time.monotonic() - started,
                                         '' if not mismatches else ', %d WITH DIFFERENT OUTPUT' % mismatches))
    text = '\n'.join(lines)
    print(text)
    if options.markdown:
        with open(options.markdown, 'w') as f:
            f.write(text + '\n')
    if not options.keep:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if mismatches else 0


LOAD_AT_START = load_average()

if __name__ == '__main__':
    sys.exit(main())
