#!/usr/bin/env python3
# Benchmark driver: makes the inputs, checks that each filter and its libcups-only
# reference write the same bytes, times both and prints the table.

# Started by bench/run.sh, which builds the programs first.
"""Benchmark of brovane, calmeric and dunsiple against libcups-only references.

Every case runs the filter and its reference alternately (after one unmeasured
run of each), so a change in the machine's load hits both alike. Each program
reads its input twice over: from the file itself as standard input (the first
filter of a chain gets the spool file), and through a pipe that a feeder child
fills from the file (every later filter reads a pipe). CPU time is user +
system time of the program alone (wait4), wall time runs from its start to its
exit; output goes to /dev/null; the medians are printed.
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
MODES = ('file', 'pipe')
FILTERS = ('brovane', 'calmeric', 'dunsiple')

# Workload sizes. A4 is 2480 x 3508 at 300 dpi and 4960 x 7016 at 600 dpi;
# the phone-like inputs are rendered at the printer's own resolution. The tiny
# set keeps CI's run short (its 600 dpi document is cut to A6, in points).
FULL = {'doc_pages': 16, 'photo': (2480, 3508), 'photo_pages': 8, 'cmyk_doc_pages': 2,
        'cmyk_photo': (2480, 3508), 'phone_photo': (4960, 7016), 'phone_photo_pages': 2,
        'phone_doc_pages': 4, 'phone_doc_media': None, 'receipt_doc_pages': 16, 'cmyk_raster': (4960, 7016),
        'runs': 7}
TINY = {'doc_pages': 1, 'photo': (620, 877), 'photo_pages': 1, 'cmyk_doc_pages': 1,
        'cmyk_photo': (310, 438), 'phone_photo': (1240, 1754), 'phone_photo_pages': 2,
        'phone_doc_pages': 1, 'phone_doc_media': (298, 421), 'receipt_doc_pages': 1, 'cmyk_raster': (620, 877),
        'runs': 2}


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
                 '-sOutputFile=' + outfile, source], stdout=subprocess.DEVNULL)


class Inputs:
    """The inputs, each written into `work` when a case first needs it; the
    same bytes on every run."""

    def __init__(self, build, work, size):
        os.makedirs(work, exist_ok=True)
        self.work = work
        self.paths = {}
        tool = os.path.join(build, 'bench', 'workloads')
        doc = os.path.join(ROOT, 'bench', 'document.ps')
        cups = ['-sDEVICE=cups', '-dcupsColorSpace=6', '-dcupsBitsPerColor=8', '-r600', '-sPAPERSIZE=a4']

        def urf_document(dpi, space, pages, media=None):
            fixed = ['-dDEVICEWIDTHPOINTS=%d' % media[0], '-dDEVICEHEIGHTPOINTS=%d' % media[1],
                     '-dFIXEDMEDIA'] if media else []
            return lambda out: ghostscript(out, doc, '-sDEVICE=urf', '-r%d' % dpi, '-dcupsColorSpace=%d' % space,
                                           '-dcupsBitsPerColor=8', '-dPAGES=%d' % pages, *fixed)

        def generated(*argv):
            def make(out):
                with open(out, 'wb') as f:
                    run_checked([tool, *[str(a) for a in argv]], stdout=f)
            return make

        def cmyk_photo(out):
            width, height = size['cmyk_photo']
            samples = os.path.join(work, 'photo-cmyk.samples')
            generated('cmyk', width, height)(samples)
            ghostscript(out, os.path.join(ROOT, 'bench', 'photo-cmyk.ps'), *cups,
                        '--permit-file-read=' + work + '/', '-sSAMPLES=' + samples,
                        '-dWIDTH=%d' % width, '-dHEIGHT=%d' % height)
            os.remove(samples)

        photo, phone = size['photo'], size['phone_photo']
        self.recipes = {
            # Office documents at 300 dpi; one page of the same for peak memory against pages.
            'doc-rgb.urf': urf_document(300, 19, size['doc_pages']),
            'doc-grey.urf': urf_document(300, 18, size['doc_pages']),
            'doc-rgb-1.urf': urf_document(300, 19, 1),
            # What phones send: the page rendered at the printer's resolution.
            'doc-rgb-600.urf': urf_document(600, 19, size['phone_doc_pages'], size['phone_doc_media']),
            'doc-grey-203.urf': urf_document(203, 18, size['receipt_doc_pages']),
            'photo-rgb.urf': generated('urf', 'rgb', photo[0], photo[1], size['photo_pages'], 300),
            'photo-grey.urf': generated('urf', 'grey', photo[0], photo[1], size['photo_pages'], 300),
            'photo-rgb-600.urf': generated('urf', 'rgb', phone[0], phone[1], size['phone_photo_pages'], 600),
            'photo-rgb-600-1.urf': generated('urf', 'rgb', phone[0], phone[1], 1, 600),
            # CMYK raster for dunsiple: two from Ghostscript, one uncompressed from libcups.
            'doc-cmyk.ras': lambda out: ghostscript(out, doc, *cups, '-dPAGES=%d' % size['cmyk_doc_pages']),
            'doc-cmyk-1.ras': lambda out: ghostscript(out, doc, *cups, '-dPAGES=1'),
            'photo-cmyk.ras': cmyk_photo,
            'photo-cmyk-dense.ras': generated('raster', size['cmyk_raster'][0], size['cmyk_raster'][1], 1, 600),
        }

    def path(self, name):
        if name not in self.paths:
            log('bench: making %s' % name)
            path = os.path.join(self.work, name)
            self.recipes[name](path)
            self.paths[name] = path
        return self.paths[name]


class Series:
    """Measured runs of one program reading its input one way."""

    def __init__(self):
        self.cpu = []
        self.wall = []
        self.rss = []
        self.feeder = []
        self.waits = []


class Program:
    """One program of a case: the filter, its reference, the read floor, or the
    filter from another build (`compare`)."""

    def __init__(self, label, argv, ppd=None, role='filter'):
        self.label = label
        self.argv = argv
        self.ppd = ppd
        self.role = role
        self.runs = {mode: Series() for mode in MODES}
        self.digest = {}  # mode -> (sha256, bytes)


class Case:
    def __init__(self, title, input_name, programs):
        self.title = title
        self.input_name = input_name
        self.programs = programs

    def role(self, role):
        return [p for p in self.programs if p.role == role]


def runner_argv(build, program, infile, mode, runs, warmups):
    argv = [os.path.join(build, 'bench', 'runner'), '-i', infile, '-n', str(runs), '-w', str(warmups)]
    if mode == 'pipe':
        argv.append('-p')
    if program.ppd:
        argv += ['-e', 'PPD=' + program.ppd]
    return argv + ['--'] + program.argv


def measure(build, program, infile, mode, warmups=0):
    out = run_checked(runner_argv(build, program, infile, mode, 1, warmups)).stdout.decode()
    fields = out.split()
    user, system, wall, rss, status = float(fields[1]), float(fields[2]), float(fields[3]), int(fields[4]), int(fields[5])
    if status != 0:
        sys.exit('bench: %s exited with %d' % (' '.join(program.argv), status))
    series = program.runs[mode]
    series.cpu.append(user + system)
    series.wall.append(wall)
    series.rss.append(rss)
    series.feeder.append(float(fields[6]))
    series.waits.append(int(fields[7]))


def program_env(program):
    env = dict(os.environ)
    if program.ppd:
        env['PPD'] = program.ppd
    return env


def start_with_input(argv, program, infile, mode, **kwargs):
    """Starts `argv` with the input as a file or through a pipe from cat."""
    if mode == 'file':
        with open(infile, 'rb') as stdin:
            return subprocess.Popen(argv, stdin=stdin, env=program_env(program), **kwargs)
    feeder = subprocess.Popen(['cat', infile], stdout=subprocess.PIPE)
    proc = subprocess.Popen(argv, stdin=feeder.stdout, env=program_env(program), **kwargs)
    feeder.stdout.close()
    proc.feeder = feeder
    return proc


def finish(proc):
    status = proc.wait()
    feeder = getattr(proc, 'feeder', None)
    if feeder is not None:
        feeder.wait()
    return status


def digest(program, infile, mode):
    """sha256 and length of the program's output, streamed."""
    h = hashlib.sha256()
    total = 0
    proc = start_with_input(program.argv, program, infile, mode, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    while True:
        chunk = proc.stdout.read(1 << 20)
        if not chunk:
            break
        h.update(chunk)
        total += len(chunk)
    if finish(proc) != 0:
        sys.exit('bench: %s exited with %d (input %s)' % (' '.join(program.argv), proc.returncode, mode))
    program.digest[mode] = (h.hexdigest(), total)


def instructions(program, infile, mode):
    """Instructions the program executes on the input, counted by callgrind:
    the same count on every run, however loaded the machine is."""
    proc = start_with_input(['valgrind', '--tool=callgrind', '--callgrind-out-file=/dev/null'] + program.argv,
                            program, infile, mode, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    err = proc.stderr.read()
    finish(proc)
    for line in err.decode(errors='replace').splitlines():
        if 'Collected :' in line:
            return int(line.split(':')[-1])
    sys.exit('bench: callgrind counted nothing for %s' % ' '.join(program.argv))


def median(values):
    return statistics.median(values) if values else float('nan')


def ms(values):
    return '%.1f' % (median(values) * 1e3) if values else ''


def ratio(numerator, denominator, digits=2):
    a, b = median(numerator), median(denominator)
    return '%.*fx' % (digits, a / b) if numerator and denominator and b > 0 else ''


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


def check_outputs(cases):
    """Compares the digests; returns the number of differences and, per
    program, the text of its "same output" cell."""
    mismatches = 0
    cells = {}

    def differ(case, what):
        nonlocal mismatches
        mismatches += 1
        log('bench: OUTPUTS DIFFER: %s (%s)' % (case.title, what))

    for case in cases:
        for program in case.programs:
            if program.digest['file'] != program.digest['pipe']:
                differ(case, '%s: from the file and through the pipe' % program.label)
                cells[id(program)] = 'NO: file vs pipe'
        filter_, reference = case.programs[0], case.role('reference')[0]
        if filter_.digest['file'] != reference.digest['file']:
            differ(case, '%s vs %s' % (filter_.label, reference.label))
            cells[id(filter_)] = 'NO'
        cells.setdefault(id(filter_), 'yes')
        for other in case.role('compare'):
            if other.digest['file'] != filter_.digest['file']:
                differ(case, '%s vs %s' % (filter_.label, other.label))
                cells[id(other)] = 'NO'
            cells.setdefault(id(other), 'yes')
    return mismatches, cells


def main_table(out, cases, cells):
    out('| case | program | file: CPU ms | file: wall ms | file: vs reference | pipe: CPU ms | pipe: wall ms | '
        'pipe: vs reference | peak RSS MiB file / pipe | same output |')
    out('|---|---|---:|---:|---:|---:|---:|---:|---:|---|')
    for case in cases:
        reference = case.role('reference')[0]
        for index, program in enumerate(case.programs):
            f, p = program.runs['file'], program.runs['pipe']
            vs_file = vs_pipe = ''
            if program.role in ('filter', 'compare'):
                vs_file = ratio(f.cpu, reference.runs['file'].cpu)
                vs_pipe = ratio(p.cpu, reference.runs['pipe'].cpu)
            out('| %s | %s | %s | %s | %s | %s | %s | %s | %.2f / %.2f | %s |' % (
                case.title if index == 0 else '', program.label, ms(f.cpu), ms(f.wall), vs_file, ms(p.cpu),
                ms(p.wall), vs_pipe, median(f.rss) / 1024, median(p.rss) / 1024, cells.get(id(program), '')))


def dunsiple_summary(out, cases):
    out('dunsiple, work beyond reading the raster (CPU minus the read floor):')
    for case in cases:
        floors = case.role('floor')
        if not floors:
            continue
        parts = []
        for mode in MODES:
            floor = median(floors[0].runs[mode].cpu)
            whole = median(case.programs[0].runs[mode].cpu)
            fast, slow = whole - floor, median(case.role('reference')[0].runs[mode].cpu) - floor
            faster = '%.1fx faster' % (slow / fast) if fast > 0 else 'below timer resolution'
            parts.append('%s: per-pixel %.1f ms, dunsiple %.1f ms: %s; whole process %.2fx the read floor' % (
                mode, slow * 1e3, fast * 1e3, faster, whole / floor if floor > 0 else float('nan')))
        out('- %s: %s' % (case.title, '; '.join(parts)))


def memory_summary(out, cases):
    out('Literal-heavy photos written unchanged, against the memory floor (every byte of the job copied once '
        'out of memory, nothing decoded or written):')
    for case in cases:
        floors = case.role('memory')
        if not floors:
            continue
        parts = []
        for mode in MODES:
            floor = median(floors[0].runs[mode].cpu)
            parts.append('%s: %s %.2fx the floor, libcups %.2fx' % (
                mode, case.programs[0].label, median(case.programs[0].runs[mode].cpu) / floor,
                median(case.role('reference')[0].runs[mode].cpu) / floor))
        out('- %s: %s' % (case.title, '; '.join(parts)))


def feeder_note(out, cases):
    """What the pipe's feeder spent, and whether a program ever had to wait
    for it: a program that found the pipe empty slept (ru_nvcsw)."""
    feeder, share, waits = 0.0, 0.0, 0
    for case in cases:
        for program in case.programs:
            series = program.runs['pipe']
            cpu = median(series.cpu)
            feeder = max(feeder, median(series.feeder))
            share = max(share, median(series.feeder) / cpu if cpu > 0 else 0.0)
            waits = max(waits, max(series.waits, default=0))
    out('Through the pipe (1 MiB, kept filled by a feeder that splices the file in and never waits in the pipe): '
        'the feeder took at most %.1f ms of CPU a run (median), %.0f%% of the program\'s; a program that finds the '
        'pipe empty sleeps, and none slept more than %d times in a run (voluntary context switches).'
        % (feeder * 1e3, share * 100, waits))


def comparison_table(out, cases, label, names, modes_counted, cells):
    """The filter against the same filter from another build (`names`: what
    the two builds are called), from the file and through the pipe."""
    old, new = names
    head = ('| case | file: CPU ms %s | %s | %s/%s | pipe: CPU ms %s | %s | %s/%s | peak RSS MiB file %s / %s |'
            % (old, new, new, old, old, new, new, old, old, new))
    rule = '|---|---:|---:|---:|---:|---:|---:|---:|'
    for mode in modes_counted:
        head += ' %s: instructions %s | %s | %s/%s |' % (mode, old, new, new, old)
        rule += '---:|---:|---:|'
    out(head + ' same output |')
    out(rule + '---|')
    for case in cases:
        after = case.programs[0]
        before = [p for p in case.role('compare') if p.label == label][0]
        row = '| %s |' % case.title
        for mode in MODES:
            row += ' %s | %s | %s |' % (ms(before.runs[mode].cpu), ms(after.runs[mode].cpu),
                                        ratio(after.runs[mode].cpu, before.runs[mode].cpu, 3))
        row += ' %.2f / %.2f |' % (median(before.runs['file'].rss) / 1024, median(after.runs['file'].rss) / 1024)
        infile = case.infile
        for mode in modes_counted:
            count_old, count_new = instructions(before, infile, mode), instructions(after, infile, mode)
            row += ' %d | %d | %.4fx |' % (count_old, count_new, count_new / count_old)
        out(row + ' %s |' % cells.get(id(before), ''))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument('--build', required=True, help='build folder with the filters and bench tools')
    parser.add_argument('--tiny', action='store_true', help='small inputs and two runs a case (for CI)')
    parser.add_argument('--runs', type=int, help='measured runs a program and input mode (default 7, tiny 2)')
    parser.add_argument('--keep', action='store_true', help='keep the generated inputs')
    parser.add_argument('--markdown', help='also write the table to this file')
    parser.add_argument('--only', help='run only the cases whose title contains this text')
    parser.add_argument('--unhardened', help='build folder of the same filters without hardening: each case '
                        'also times them and counts both programs\' instructions (valgrind), for the cost of '
                        'the protections')
    parser.add_argument('--before', help='build folder of an earlier tree: each case also times its filters, '
                        'which must write the same bytes, and a before/after table is printed')
    parser.add_argument('--instructions', action='store_true', help='with --before: also count both builds\' '
                        'instructions with callgrind, from the file and through the pipe (slow)')
    options = parser.parse_args()
    if options.instructions and not options.before:
        parser.error('--instructions goes with --before')
    build = os.path.abspath(options.build)
    size = TINY if options.tiny else FULL
    runs = options.runs or size['runs']
    work = os.path.join(build, 'work-tiny' if options.tiny else 'work')

    started = time.monotonic()
    inputs = Inputs(build, work, size)
    bin_ = {name: os.path.join(build, name, name) for name in FILTERS}
    baseline = os.path.join(build, 'bench', 'urf_baseline')
    dither_bench = os.path.join(build, 'bench', 'dither_bench')
    others = []  # (label, build folder) of the filters compared with these
    if options.unhardened:
        others.append(('unhardened', os.path.abspath(options.unhardened)))
    if options.before:
        others.append(('before', os.path.abspath(options.before)))
    for label, folder in others:
        for name in FILTERS:
            if not os.access(os.path.join(folder, name, name), os.X_OK):
                sys.exit('bench: no %s in %s (--%s)' % (os.path.join(name, name), folder, label))

    def ppd(name):
        return os.path.join(PPD_DIR, name + '.ppd')

    # Literal-heavy photos written unchanged also get the memory floor: every
    # byte of the job brought from memory once, nothing else.
    def memory_floor(memory):
        return [Program('memory floor', [baseline, 'touch'], role='memory')] if memory else []

    def brovane_case(title, infile, printer, memory=False):
        return Case(title, infile, [Program('brovane', [bin_['brovane']] + ARGS, ppd(printer)),
                                    Program('libcups', [baseline, 'brovane'], ppd(printer), 'reference')]
                    + memory_floor(memory))

    def calmeric_case(title, infile, memory=False):
        return Case(title, infile, [Program('calmeric', [bin_['calmeric']] + ARGS),
                                    Program('libcups', [baseline, 'calmeric'], role='reference')]
                    + memory_floor(memory))

    def dunsiple_case(title, infile):
        return Case(title, infile, [Program('dunsiple', [bin_['dunsiple']] + ARGS, ppd('cmyk-600')),
                                    Program('per-pixel', [dither_bench, 'reference'], role='reference'),
                                    Program('read floor', [dither_bench, 'read-only'], role='floor')])

    doc_pages, photo_pages = size['doc_pages'], size['photo_pages']
    phone_photo, phone_doc = size['phone_photo_pages'], size['phone_doc_pages']
    cases = [
        brovane_case('brovane document 24-bit, 300 dpi PPD (scale 1), %dp' % doc_pages, 'doc-rgb.urf', 'colour-300'),
        brovane_case('brovane document 24-bit, 600 dpi PPD (scale 2), %dp' % doc_pages, 'doc-rgb.urf', 'colour-600'),
        brovane_case('brovane photo 24-bit, 300 dpi PPD (scale 1), %dp' % photo_pages, 'photo-rgb.urf', 'colour-300',
                     True),
        brovane_case('brovane photo 24-bit, 600 dpi PPD (scale 2), %dp' % photo_pages, 'photo-rgb.urf', 'colour-600'),
        brovane_case('brovane document grey, colour PPD (grey to RGB), %dp' % doc_pages, 'doc-grey.urf', 'colour-300'),
        brovane_case('brovane document grey, receipt PPD (1-bit), %dp' % doc_pages, 'doc-grey.urf', 'receipt'),
        brovane_case('brovane photo grey, colour PPD (grey to RGB), %dp' % photo_pages, 'photo-grey.urf', 'colour-300'),
        brovane_case('brovane photo grey, receipt PPD (1-bit), %dp' % photo_pages, 'photo-grey.urf', 'receipt'),
        brovane_case('brovane phone photo 24-bit 600 dpi, 600 dpi PPD (scale 1), %dp' % phone_photo,
                     'photo-rgb-600.urf', 'colour-600', True),
        brovane_case('brovane phone document 24-bit 600 dpi, 600 dpi PPD (scale 1), %dp' % phone_doc,
                     'doc-rgb-600.urf', 'colour-600'),
        brovane_case('brovane phone document grey 203 dpi, receipt PPD (scale 1, 1-bit), %dp'
                     % size['receipt_doc_pages'], 'doc-grey-203.urf', 'receipt'),
        calmeric_case('calmeric document 24-bit, %dp' % doc_pages, 'doc-rgb.urf'),
        calmeric_case('calmeric document grey, %dp' % doc_pages, 'doc-grey.urf'),
        calmeric_case('calmeric photo 24-bit, %dp' % photo_pages, 'photo-rgb.urf', True),
        calmeric_case('calmeric photo grey, %dp' % photo_pages, 'photo-grey.urf'),
        calmeric_case('calmeric phone photo 24-bit 600 dpi, %dp' % phone_photo, 'photo-rgb-600.urf', True),
        calmeric_case('calmeric phone document 24-bit 600 dpi, %dp' % phone_doc, 'doc-rgb-600.urf'),
        dunsiple_case('dunsiple document CMYK 600 dpi, %dp' % size['cmyk_doc_pages'], 'doc-cmyk.ras'),
        dunsiple_case('dunsiple photo CMYK 600 dpi, 1p', 'photo-cmyk.ras'),
        dunsiple_case('dunsiple photo CMYK 600 dpi, uncompressed from libcups, 1p', 'photo-cmyk-dense.ras'),
    ]

    if options.only:
        cases = [case for case in cases if options.only in case.title]
    # The same filter from the other builds goes last in each case, so the
    # references keep their places.
    for case in cases:
        filter_ = case.programs[0]
        name = os.path.basename(filter_.argv[0])
        for label, folder in others:
            case.programs.append(Program(label, [os.path.join(folder, name, name)] + filter_.argv[1:], filter_.ppd,
                                         'compare'))
    for case in cases:
        case.infile = inputs.path(case.input_name)

    log('bench: checking that each filter and its reference write the same bytes, from the file and through a pipe')
    for case in cases:
        for program in case.programs:
            for mode in MODES:
                digest(program, case.infile, mode)
    mismatches, cells = check_outputs(cases)

    log('bench: timing %d cases, %d runs a program and input mode' % (len(cases), runs))
    for case in cases:
        # One unmeasured run of each program each way: caches and page cache warm.
        for program in case.programs:
            for mode in MODES:
                measure(build, program, case.infile, mode, warmups=1)
                program.runs[mode] = Series()
        # Each round runs every program from the file, then every program through the pipe.
        for _ in range(runs):
            for mode in MODES:
                for program in case.programs:
                    measure(build, program, case.infile, mode)

    # Peak memory against the number of pages, from the file (where mapped
    # input would count), for these filters and those of the other builds.
    growth_runs = [('brovane', 'colour-600', 'document', 'doc-rgb-1.urf', 'doc-rgb.urf', doc_pages),
                   ('calmeric', None, 'document', 'doc-rgb-1.urf', 'doc-rgb.urf', doc_pages),
                   ('brovane', 'colour-600', 'phone photo 600 dpi', 'photo-rgb-600-1.urf', 'photo-rgb-600.urf',
                    phone_photo),
                   ('calmeric', None, 'phone photo 600 dpi', 'photo-rgb-600-1.urf', 'photo-rgb-600.urf', phone_photo),
                   ('dunsiple', 'cmyk-600', 'document', 'doc-cmyk-1.ras', 'doc-cmyk.ras', size['cmyk_doc_pages'])]
    growth = []
    for name, printer, what, one, many, pages in growth_runs:
        row = []
        for label, folder in [('', build)] + others:
            program = Program(name, [os.path.join(folder, name, name)] + ARGS, ppd(printer) if printer else None)
            for infile in (inputs.path(one), inputs.path(many)):
                measure(build, program, infile, 'file', warmups=1)
            row.append((label, program.runs['file'].rss))
        growth.append((name, printer, what, pages, row))

    lines = []
    out = lines.append
    out('Machine: %s, %d cores; load average before/after: %s / %s; %s' % (
        cpu_model(), os.cpu_count() or 0, LOAD_AT_START, load_average(), 'tiny inputs' if options.tiny else
        'full inputs'))
    out('Medians of %d runs; CPU = user + system of the program alone (wait4); input from the file as standard '
        'input, and through a pipe filled from the file by a feeder; output to /dev/null.' % runs)
    out('')
    main_table(out, cases, cells)
    out('')
    feeder_note(out, cases)
    out('')
    if any(case.role('floor') for case in cases):
        dunsiple_summary(out, cases)
        out('')
    if any(case.role('memory') for case in cases):
        memory_summary(out, cases)
        out('')
    if options.unhardened:
        out('Cost of the hardening: the filter built as shipped against the same sources built without '
            '(FILTERS_HARDENING=OFF), same run; median CPU, and instructions counted by callgrind:')
        out('')
        comparison_table(out, cases, 'unhardened', ('without', 'hardened'), ['file'], cells)
        out('')
    if options.before:
        out('Before and after: the filters of %s against these, same run, same alternation; median CPU%s:' % (
            os.path.abspath(options.before), ', and instructions counted by callgrind' if options.instructions
            else ''))
        out('')
        comparison_table(out, cases, 'before', ('before', 'after'), list(MODES) if options.instructions else [],
                         cells)
        out('')
    out('Peak RSS against pages, input from the file:')
    for name, printer, what, pages, row in growth:
        parts = []
        for label, rss in row:
            parts.append('%s1 page %.2f MiB, %d page%s %.2f MiB' % (
                label + ': ' if label else '', rss[0] / 1024, pages, '' if pages == 1 else 's', rss[1] / 1024))
        out('- %s%s, %s: %s' % (name, ' (' + printer + ')' if printer else '', what, '; '.join(parts)))
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
