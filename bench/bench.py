#!/usr/bin/env python3
# Benchmark driver: makes the inputs, checks that each filter and its libcups-only
# reference write the same bytes, times both and the floors and prints the tables.

# Started by bench/run.sh, which builds the programs first.
"""Benchmark of brovane (URF, and PWG raster through brovane-rasterin), calmeric
and dunsiple against libcups-only references and against the floors: reading
the job and writing the output at the least cost.

Every case runs the filter, its reference and the floors alternately, so a
change in the machine's load hits all alike.
Each program is run four ways: its input from the file itself as standard
input (the first filter of a chain gets the spool file) or through a pipe that
a feeder child fills from the file (every later filter reads a pipe), and its
output to /dev/null or into a pipe of the system's default size that a drain
child empties one row a read, as the printer's driver reads it through
libcups. The filters and their references are also run a fifth way, into a
pipe enlarged to 1 MiB and emptied 64 KiB a read, as earlier reports measured.
CPU time is user + system time of the program alone (wait4); the medians are
printed.
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
INPUTS = ('file', 'pipe')
# Where cupsBytesPerLine sits in a CUPS raster stream: the 4-byte sync word,
# then the page header's four 64-byte strings and 34 four-byte fields.
RASTER_ROW_BYTES_AT = 4 + 392
RASTER_WIDTH_AT = 4 + 372  # cupsWidth
# The ways a program runs: (input, output). A round runs them in this order.
# 'pipe' output is an ordinary pipe read a row at a time, as a driver reads;
# 'big' the enlarged pipe of earlier reports, for the filters and references.
FILE_NULL, FILE_PIPE, PIPE_NULL, PIPE_PIPE, FILE_BIG = (('file', 'null'), ('file', 'pipe'), ('pipe', 'null'),
                                                        ('pipe', 'pipe'), ('file', 'big'))
MODES = (FILE_NULL, FILE_PIPE, PIPE_NULL, PIPE_PIPE, FILE_BIG)
TO_NULL = (FILE_NULL, PIPE_NULL)
MODE_NAMES = {FILE_NULL: 'file/null', FILE_PIPE: 'file/pipe', PIPE_NULL: 'pipe/null', PIPE_PIPE: 'pipe/pipe',
              FILE_BIG: 'file/1 MiB pipe (old)'}
FILTERS = ('brovane', 'calmeric', 'dunsiple')
# brovane built to read CUPS and PWG raster (what Android phones send); an
# earlier build folder may not have it, and its cases then compare nothing.
RASTER_FILTER = 'brovane-rasterin'
# The floors' block sizes, the fastest of the block table in docs/benchmarks.md
# (bench/run.sh --blocks): reads into one buffer, from the file and out of the
# pipe; writes of the output into the pipe (to /dev/null any size costs nothing).
INPUT_BLOCK = {'file': '256K', 'pipe': '256K'}
OUTPUT_BLOCK = '256K'
BLOCK_SIZES = ('8K', '16K', '32K', '64K', '128K', '256K', '512K', '1M')

# Workload sizes. A4 is 2480 x 3508 at 300 dpi and 4960 x 7016 at 600 dpi;
# the phone-like inputs are rendered at the printer's own resolution. The tiny
# set keeps CI's run short (its 600 dpi document is cut to A6, in points).
FULL = {'doc_pages': 16, 'photo': (2480, 3508), 'photo_pages': 8, 'cmyk_doc_pages': 2,
        'cmyk_photo': (2480, 3508), 'phone_photo': (4960, 7016), 'phone_photo_pages': 2,
        'phone_doc_pages': 4, 'phone_doc_media': None, 'receipt_doc_pages': 16, 'cmyk_raster': (4960, 7016),
        'runs': 5}
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


def program_path(folder, name):
    """A filter in a build folder: each in its own directory, brovane's builds in brovane's."""
    return os.path.join(folder, name.split('-')[0], name)


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

        # PWG raster as a phone's print service sends it: sRGB (19) and sgray
        # (18) 8-bit, black (3) 1-bit.
        def pwg_document(dpi, space, bits, pages):
            return lambda out: ghostscript(out, doc, '-sDEVICE=pwgraster', '-r%d' % dpi,
                                           '-dcupsColorSpace=%d' % space, '-dcupsBitsPerColor=%d' % bits,
                                           '-dPAGES=%d' % pages)

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
            # The office document as PWG raster, for brovane-rasterin.
            'doc-srgb.pwg': pwg_document(300, 19, 8, size['doc_pages']),
            'doc-srgb-1.pwg': pwg_document(300, 19, 8, 1),
            'doc-sgray.pwg': pwg_document(300, 18, 8, size['doc_pages']),
            'doc-black-300.pwg': pwg_document(300, 3, 1, size['doc_pages']),
            'doc-black-203.pwg': pwg_document(203, 3, 1, size['receipt_doc_pages']),
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
    """Measured runs of one program run one way."""

    def __init__(self):
        self.cpu = []
        self.wall = []
        self.rss = []
        self.feeder = []
        self.waits = []
        self.drain = []
        self.faults = []


class Program:
    """One program of a case: the filter, its reference, a floor, or the
    filter from another build (`compare`). `modes` are the ways it is run;
    `infile` replaces the case's input (the output floor reads none)."""

    def __init__(self, label, argv, ppd=None, role='filter', modes=MODES, infile=None):
        self.label = label
        self.argv = argv
        self.ppd = ppd
        self.role = role
        self.modes = modes
        self.infile = infile
        self.runs = {mode: Series() for mode in modes}
        self.digest = {}  # input way -> (sha256, bytes)
        self.row_bytes = 0  # cupsBytesPerLine of the output's first page: the drain's read size


class Case:
    def __init__(self, title, input_name, programs, unchanged=False):
        self.title = title
        self.input_name = input_name
        self.programs = programs
        # A 24-bit photo at scale 1: literal runs in, the same pixels out, so
        # moving the bytes is most of the job (the floors' target).
        self.unchanged = unchanged

    def role(self, role):
        return [p for p in self.programs if p.role == role]


def runner_argv(build, program, infile, mode, runs, warmups):
    argv = [os.path.join(build, 'bench', 'runner'), '-i', program.infile or infile, '-n', str(runs),
            '-w', str(warmups)]
    if mode[0] == 'pipe':
        argv.append('-p')
    if mode[1] == 'pipe':
        argv += ['-P', str(program.row_bytes)]
    if mode[1] == 'big':
        argv.append('-Q')
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
    series.drain.append(float(fields[8]))
    series.faults.append(int(fields[9]))


def time_alternately(build, programs, infile, runs, warmups):
    """`warmups` unmeasured runs of each program each of its ways (caches and
    page cache warm), then `runs` rounds, each running every program one way
    after the other, way by way, so that a change in the machine's load falls
    on all."""
    for program in programs:
        for mode in program.modes:
            if warmups:
                measure(build, program, infile, mode, warmups=warmups)
                program.runs[mode] = Series()
    for _ in range(runs):
        for mode in MODES:
            for program in programs:
                if mode in program.modes:
                    measure(build, program, infile, mode)


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
    head = b''
    proc = start_with_input(program.argv, program, infile, mode, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    while True:
        chunk = proc.stdout.read(1 << 20)
        if not chunk:
            break
        h.update(chunk)
        if len(head) < RASTER_ROW_BYTES_AT + 4:
            head += chunk[:RASTER_ROW_BYTES_AT + 4]
        total += len(chunk)
    # cupsBytesPerLine of the first page header (written in this machine's
    # order); dunsiple writes packed rows with no header, two pixels a byte,
    # so its rows are half its input's cupsWidth.
    if head[:4] in (b'RaS3', b'3SaR'):
        program.row_bytes = int.from_bytes(head[RASTER_ROW_BYTES_AT:RASTER_ROW_BYTES_AT + 4], sys.byteorder)
    else:
        with open(infile, 'rb') as f:
            first = f.read(RASTER_WIDTH_AT + 4)
        program.row_bytes = max(1, int.from_bytes(first[RASTER_WIDTH_AT:], sys.byteorder) // 2)
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
            if program.digest and program.digest['file'] != program.digest['pipe']:
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


def cpu(program, mode):
    """Median CPU seconds of the program run one way (NaN if not run so)."""
    return median(program.runs[mode].cpu) if mode in program.runs else float('nan')


def floor_cpu(case, mode):
    """The input floor read the case's way plus the output floor written its
    way, less one start of the floors program: the two floors are two
    processes, a filter one, and on this kind of machine a start is not small."""
    return (cpu(case.role('input floor')[0], (mode[0], 'null')) + cpu(case.role('output floor')[0], ('file', mode[1]))
            - cpu(case.role('start')[0], FILE_NULL))


def times(value, base):
    return '%.2fx' % (value / base) if base > 0 and value == value and base == base else ''


def mode_heads(what):
    return ' | '.join('%s: %s' % (MODE_NAMES[mode], what) for mode in MODES)


def main_table(out, cases, cells):
    out('| case | program | ' + ' | '.join('%s: CPU ms | vs ref' % MODE_NAMES[mode] for mode in MODES)
        + ' | peak RSS MiB | same output |')
    out('|---|---|' + '---:|---:|' * len(MODES) + '---:|---|')
    for case in cases:
        reference = case.role('reference')[0]
        shown = [p for p in case.programs if p.role in ('filter', 'reference', 'floor', 'compare')]
        for index, program in enumerate(shown):
            row = '| %s | %s |' % (case.title if index == 0 else '', program.label)
            for mode in MODES:
                if mode not in program.runs:
                    row += ' | |'
                    continue
                vs = times(cpu(program, mode), cpu(reference, mode)) if program.role in ('filter', 'compare') else ''
                row += ' %.1f | %s |' % (cpu(program, mode) * 1e3, vs)
            rss = max(median(program.runs[mode].rss) for mode in program.modes)
            out(row + ' %.2f | %s |' % (rss / 1024, cells.get(id(program), '')))
        row = '| | input + output floor - start |'
        for mode in MODES:
            row += ' %.1f | |' % (floor_cpu(case, mode) * 1e3)
        out(row + ' | |')


def floor_table(out, cases):
    out('| case | input MB | output MB | input floor: file ms | pipe ms | output floor: null ms | pipe ms | '
        '1 MiB pipe ms | start ms |')
    out('|---|---:|---:|---:|---:|---:|---:|---:|---:|')
    for case in cases:
        inp, outp, start = case.role('input floor')[0], case.role('output floor')[0], case.role('start')[0]
        out('| %s | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f |' % (
            case.title, os.path.getsize(case.infile) / 1e6, case.programs[0].digest['file'][1] / 1e6,
            cpu(inp, ('file', 'null')) * 1e3, cpu(inp, ('pipe', 'null')) * 1e3,
            cpu(outp, FILE_NULL) * 1e3, cpu(outp, FILE_PIPE) * 1e3, cpu(outp, FILE_BIG) * 1e3,
            cpu(start, FILE_NULL) * 1e3))


def ratio_table(out, cases):
    """Each filter against its reference and against its floors, the four ways."""
    out('| case | vs reference: ' + ' | '.join(MODE_NAMES[mode] for mode in MODES)
        + ' | vs floors: ' + ' | '.join(MODE_NAMES[mode] for mode in MODES) + ' |')
    out('|---|' + '---:|' * (2 * len(MODES)))
    for case in cases:
        filter_, reference = case.programs[0], case.role('reference')[0]
        row = '| %s%s |' % (case.title, ' (written unchanged)' if case.unchanged else '')
        row += ''.join(' %s |' % times(cpu(filter_, mode), cpu(reference, mode)) for mode in MODES)
        row += ''.join(' %s |' % times(cpu(filter_, mode), floor_cpu(case, mode)) for mode in MODES)
        out(row)


def dunsiple_table(out, cases):
    out('| case | read floor ms: file / pipe | per-pixel beyond it ms: file / pipe | dunsiple beyond it ms: '
        'file / pipe | dunsiple vs read floor: ' + ' | '.join(MODE_NAMES[mode] for mode in MODES) + ' |')
    out('|---|---:|---:|---:|' + '---:|' * len(MODES))
    for case in cases:
        floors = case.role('floor')
        if not floors:
            continue
        floor, filter_, reference = floors[0], case.programs[0], case.role('reference')[0]
        base = {way: cpu(floor, (way, 'null')) for way in INPUTS}
        row = '| %s | %.1f / %.1f | %.1f / %.1f | %.1f / %.1f |' % (
            case.title, base['file'] * 1e3, base['pipe'] * 1e3,
            (cpu(reference, ('file', 'null')) - base['file']) * 1e3,
            (cpu(reference, ('pipe', 'null')) - base['pipe']) * 1e3,
            (cpu(filter_, ('file', 'null')) - base['file']) * 1e3,
            (cpu(filter_, ('pipe', 'null')) - base['pipe']) * 1e3)
        row += ''.join(' %s |' % times(cpu(filter_, mode), base[mode[0]]) for mode in MODES)
        out(row)


def target_table(out, cases, growth):
    """The issue's targets against this run's ratios: the worst case of each,
    and how many cases are within."""
    out('| target | ways | within (cases x ways) | worst |')
    out('|---|---|---:|---|')

    def check(title, ways, items, limit):
        # items: (case title, way, ratio)
        items = [item for item in items if item[2] == item[2]]
        if not items:
            return
        within = len([item for item in items if item[2] <= limit])
        worst = max(items, key=lambda item: item[2])
        out('| %s | %s | %d of %d%s | %.2fx (%s, %s) |' % (
            title, ', '.join(MODE_NAMES[way] for way in ways), within, len(items),
            '' if within < len(items) else ': met', worst[2], worst[0], MODE_NAMES[worst[1]]))

    # The targets hold for what phones send most, the phone photos and
    # documents (the phone-like cases); the other URF cases and
    # brovane-rasterin's PWG cases are held to the same, in a row of their own.
    converters = [case for case in cases if not case.role('floor')]
    groups = (('phone photos and documents', [case for case in converters if 'phone' in case.title]),
              ('the other cases', [case for case in converters if 'phone' not in case.title]))
    for group, chosen in groups:
        for limit, ways, where in ((0.6, (FILE_NULL,), 'from the file'),
                                   (0.8, (FILE_PIPE, PIPE_NULL, PIPE_PIPE), 'through ordinary pipes')):
            check('%s: brovane and calmeric CPU <= %.1fx libcups, %s' % (group, limit, where), ways,
                  [(case.title, way, cpu(case.programs[0], way) / cpu(case.role('reference')[0], way))
                   for case in chosen for way in ways], limit)
        ways = (FILE_NULL, FILE_PIPE, PIPE_NULL, PIPE_PIPE)
        check('%s: CPU <= 1.3x input floor + output floor' % group, ways,
              [(case.title, way, cpu(case.programs[0], way) / floor_cpu(case, way))
               for case in chosen for way in ways], 1.3)
    # The read floor writes nothing: with the output into a pipe dunsiple also
    # pays for its output, which the target leaves out; both are shown.
    for ways, what in ((TO_NULL, 'output to /dev/null'), ((FILE_PIPE, PIPE_PIPE), 'output into a pipe')):
        check('dunsiple <= 1.1x the libcups read floor, %s' % what, ways,
              [(case.title, way, cpu(case.programs[0], way) / cpu(case.role('floor')[0], (way[0], 'null')))
               for case in cases if case.role('floor') for way in ways], 1.1)
    rss = [(case.title, way, median(case.programs[0].runs[way].rss) * 1024 / 1e6) for case in cases
           for way in case.programs[0].modes]
    if rss:
        worst = max(rss, key=lambda item: item[2])
        out('| peak RSS < 8 MB | all | %d of %d%s | %.2f MB (%s, %s) |' % (
            len([item for item in rss if item[2] < 8]), len(rss), ': met' if worst[2] < 8 else '', worst[2],
            worst[0], MODE_NAMES[worst[1]]))
    steps = [(name, what, (row[0][1][1] - row[0][1][0]) * 1024 / 1e6) for name, printer, what, pages, row in growth]
    if steps:
        worst = max(steps, key=lambda item: abs(item[2]))
        out('| peak RSS flat in the page count | file/null | | %+.2f MB from 1 page to all (%s, %s) |' % (
            worst[2], worst[0], worst[1]))


def feeder_note(out, cases):
    """What the pipes' feeder and drains spent, and whether a program ever had
    to wait for them: one that found its input pipe empty or its output pipe
    full slept (ru_nvcsw)."""
    feeder, waits_in = 0.0, 0
    drain, waits_out = {'pipe': 0.0, 'big': 0.0}, {'pipe': 0, 'big': 0}
    for case in cases:
        for program in case.programs:
            for mode, series in program.runs.items():
                if mode[0] == 'pipe':
                    feeder = max(feeder, median(series.feeder))
                    waits_in = max(waits_in, max(series.waits, default=0))
                if mode[1] in drain:
                    drain[mode[1]] = max(drain[mode[1]], median(series.drain))
                    waits_out[mode[1]] = max(waits_out[mode[1]], max(series.waits, default=0))
    out('Pipes: the feeder, which splices the file into a 1 MiB input pipe and never waits in it, took at most '
        '%.1f ms of CPU a run (median); the drain of the ordinary output pipe (the system\'s default size, one '
        'row a read) at most %.1f ms, that of the 1 MiB pipe (64 KiB a read) %.1f ms; none is counted as the '
        'program\'s. A program that finds its input pipe empty or its output pipe full sleeps: at most %d times '
        'in a run with the input through the pipe, %d with the output into the ordinary pipe, %d into the 1 MiB '
        'one (voluntary context switches, of any cause).'
        % (feeder * 1e3, drain['pipe'] * 1e3, drain['big'] * 1e3, waits_in, waits_out['pipe'], waits_out['big']))


def comparison_table(out, cases, label, names, modes_counted, cells):
    """The filter against the same filter from another build (`names`: what
    the two builds are called), every way."""
    old, new = names
    head = '| case |'
    rule = '|---|'
    for mode in MODES:
        head += ' %s: CPU ms %s | %s | %s/%s |' % (MODE_NAMES[mode], old, new, new, old)
        rule += '---:|---:|---:|'
    head += ' peak RSS MiB file %s / %s |' % (old, new)
    rule += '---:|'
    for way in modes_counted:
        head += ' %s: instructions %s | %s | %s/%s |' % (way, old, new, new, old)
        rule += '---:|---:|---:|'
    out(head + ' same output |')
    out(rule + '---|')
    missing = []
    for case in cases:
        after = case.programs[0]
        before = [p for p in case.role('compare') if p.label == label]
        if not before:
            missing.append(case.title)
            continue
        before = before[0]
        row = '| %s |' % case.title
        for mode in MODES:
            row += ' %s | %s | %s |' % (ms(before.runs[mode].cpu), ms(after.runs[mode].cpu),
                                        ratio(after.runs[mode].cpu, before.runs[mode].cpu, 3))
        row += ' %.2f / %.2f |' % (median(before.runs[FILE_NULL].rss) / 1024, median(after.runs[FILE_NULL].rss) / 1024)
        infile = case.infile
        for way in modes_counted:
            count_old, count_new = instructions(before, infile, way), instructions(after, infile, way)
            row += ' %d | %d | %.4fx |' % (count_old, count_new, count_new / count_old)
        out(row + ' %s |' % cells.get(id(before), ''))
    if missing:
        out('')
        out('Not in the %s build (no %s there): %s.' % (label, RASTER_FILTER, '; '.join(missing)))


def block_table(out, build, infile, row_bytes, runs, warmups):
    """The input floor read in blocks of each size, from the file and through
    the pipe, and the output floor written in the same blocks into the
    ordinary pipe (read `row_bytes` at a time) and into the 1 MiB one (the
    input's byte count), alternately; and the file mapped a window at a time
    instead, for comparison."""
    floors = os.path.join(build, 'bench', 'floors')
    size = os.path.getsize(infile)
    programs = []
    for block in BLOCK_SIZES:
        programs.append(Program('read ' + block, [floors, 'read', block], role='read', modes=TO_NULL))
        programs.append(Program('write ' + block, [floors, 'write', str(size), block], role='write',
                                modes=(FILE_PIPE, FILE_BIG), infile='/dev/null'))
    mapped = Program('map 256K', [floors, 'map', '256K'], role='map', modes=(FILE_NULL,))
    programs.append(mapped)
    for program in programs:
        program.row_bytes = row_bytes
    time_alternately(build, programs, infile, runs, warmups)
    out('| block | input floor from the file: CPU ms | page faults | through the pipe: CPU ms | '
        'output floor into the ordinary pipe: CPU ms | into the 1 MiB pipe: CPU ms |')
    out('|---:|---:|---:|---:|---:|---:|')
    for block in BLOCK_SIZES:
        read = [p for p in programs if p.label == 'read ' + block][0]
        write = [p for p in programs if p.label == 'write ' + block][0]
        out('| %s | %.1f | %d | %.1f | %.1f | %.1f |' % (
            block.replace('K', ' KiB').replace('M', ' MiB'), cpu(read, FILE_NULL) * 1e3,
            median(read.runs[FILE_NULL].faults), cpu(read, PIPE_NULL) * 1e3, cpu(write, FILE_PIPE) * 1e3,
            cpu(write, FILE_BIG) * 1e3))
    out('| mapped, 256 KiB windows | %.1f | %d | | | |' % (cpu(mapped, FILE_NULL) * 1e3,
                                                           median(mapped.runs[FILE_NULL].faults)))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument('--build', required=True, help='build folder with the filters and bench tools')
    parser.add_argument('--tiny', action='store_true', help='small inputs and two runs a case (for CI)')
    parser.add_argument('--runs', type=int, help='measured runs a program and way (default 5, tiny 2)')
    parser.add_argument('--keep', action='store_true', help='keep the generated inputs')
    parser.add_argument('--markdown', help='also write the tables to this file')
    parser.add_argument('--only', help='run only the cases whose title contains this text (and no block table)')
    parser.add_argument('--blocks', action='store_true', help='only the block table: the floors read and write '
                        'in blocks of 8 KiB to 1 MiB, on the largest URF input')
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
    # No unmeasured runs: the output check has just run every program of a
    # case on its input, which warms the page cache and the programs' pages
    # as well, and four ways of every program take long enough.
    warmups = 0
    work = os.path.join(build, 'work-tiny' if options.tiny else 'work')

    started = time.monotonic()
    inputs = Inputs(build, work, size)
    lines = []
    out = lines.append

    def header(what):
        out('Machine: %s, %d cores; load average before/after: %s / %s; %s' % (
            cpu_model(), os.cpu_count() or 0, LOAD_AT_START, load_average(),
            'tiny inputs' if options.tiny else 'full inputs'))
        out('Medians of %d runs; CPU = user + system of the program alone (wait4). %s' % (runs, what))
        out('')

    def finish_report(ending, status):
        out(ending)
        text = '\n'.join(lines)
        print(text)
        if options.markdown:
            with open(options.markdown, 'w') as f:
                f.write(text + '\n')
        if not options.keep:
            shutil.rmtree(work, ignore_errors=True)
        return status

    largest = 'photo-rgb-600.urf'
    block_title = ('Floors against block size, on the phone photo 24-bit 600 dpi (%d pages): its bytes read into '
                   'one buffer from the file and through the pipe, and as many written into the ordinary pipe '
                   '(drained one %d-byte row a read) and into the 1 MiB one:'
                   % (size['phone_photo_pages'], size['phone_photo'][0] * 3))
    if options.blocks:
        infile = inputs.path(largest)
        log('bench: timing the floors in blocks of %s to %s, %d runs each' % (BLOCK_SIZES[0], BLOCK_SIZES[-1], runs))
        body = []
        block_table(body.append, build, infile, size['phone_photo'][0] * 3, runs, warmups)
        header('%d MB of URF.' % (os.path.getsize(infile) / 1e6))
        out(block_title)
        out('')
        lines.extend(body)
        out('')
        return finish_report('bench: block table in %.0f s' % (time.monotonic() - started), 0)

    bin_ = {name: program_path(build, name) for name in FILTERS + (RASTER_FILTER,)}
    baseline = os.path.join(build, 'bench', 'urf_baseline')
    dither_bench = os.path.join(build, 'bench', 'dither_bench')
    floors = os.path.join(build, 'bench', 'floors')
    others = []  # (label, build folder) of the filters compared with these
    if options.unhardened:
        others.append(('unhardened', os.path.abspath(options.unhardened)))
    if options.before:
        others.append(('before', os.path.abspath(options.before)))
    for label, folder in others:
        for name in FILTERS:
            if not os.access(program_path(folder, name), os.X_OK):
                sys.exit('bench: no %s in %s (--%s)' % (os.path.join(name, name), folder, label))
        if not os.access(program_path(folder, RASTER_FILTER), os.X_OK):
            log('bench: no %s in %s (--%s): its cases are not compared' % (RASTER_FILTER, folder, label))

    def ppd(name):
        return os.path.join(PPD_DIR, name + '.ppd')

    def brovane_case(title, infile, printer, unchanged=False):
        return Case(title, infile, [Program('brovane', [bin_['brovane']] + ARGS, ppd(printer)),
                                    Program('libcups', [baseline, 'brovane'], ppd(printer), 'reference')], unchanged)

    def calmeric_case(title, infile, unchanged=False):
        return Case(title, infile, [Program('calmeric', [bin_['calmeric']] + ARGS),
                                    Program('libcups', [baseline, 'calmeric'], role='reference')], unchanged)

    # brovane-rasterin on PWG raster against the same libcups glue reading it.
    def raster_case(title, infile, printer):
        return Case(title, infile, [Program(RASTER_FILTER, [bin_[RASTER_FILTER]] + ARGS, ppd(printer)),
                                    Program('libcups', [baseline, 'brovane-raster'], ppd(printer), 'reference')])

    def dunsiple_case(title, infile):
        return Case(title, infile, [Program('dunsiple', [bin_['dunsiple']] + ARGS, ppd('cmyk-600')),
                                    Program('per-pixel', [dither_bench, 'reference'], role='reference'),
                                    Program('read floor', [dither_bench, 'read-only'], role='floor',
                                            modes=TO_NULL)])

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
        raster_case('brovane PWG document sRGB 300 dpi, 600 dpi PPD (scale 2), %dp' % doc_pages, 'doc-srgb.pwg',
                    'colour-600'),
        raster_case('brovane PWG document sgray 300 dpi, colour PPD (grey to RGB), %dp' % doc_pages,
                    'doc-sgray.pwg', 'colour-300'),
        raster_case('brovane PWG document black_1 300 dpi, colour PPD (1-bit to RGB), %dp' % doc_pages,
                    'doc-black-300.pwg', 'colour-300'),
        raster_case('brovane PWG document black_1 203 dpi, receipt PPD (1-bit rows as read), %dp'
                    % size['receipt_doc_pages'], 'doc-black-203.pwg', 'receipt'),
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
    # references keep their places; it is timed every way the filter is.
    for case in cases:
        filter_ = case.programs[0]
        name = os.path.basename(filter_.argv[0])
        for label, folder in others:
            if os.access(program_path(folder, name), os.X_OK):
                case.programs.append(Program(label, [program_path(folder, name)] + filter_.argv[1:], filter_.ppd,
                                             'compare'))
    for case in cases:
        case.infile = inputs.path(case.input_name)

    log('bench: checking that each filter and its reference write the same bytes, from the file and through a pipe')
    for case in cases:
        for program in case.programs:
            for way in INPUTS:
                digest(program, case.infile, way)
    mismatches, cells = check_outputs(cases)

    # The floors of each case: its input read in large blocks, from the file
    # and through the pipe; as many bytes as the filter writes, written to
    # /dev/null and into the pipe.
    for case in cases:
        written = case.programs[0].digest['file'][1]
        case.programs.append(Program('input floor', [floors, 'read', INPUT_BLOCK['file']], role='input floor',
                                     modes=(FILE_NULL,)))
        case.programs.append(Program('input floor', [floors, 'read', INPUT_BLOCK['pipe']], role='input floor',
                                     modes=(PIPE_NULL,)))
        case.programs.append(Program('output floor', [floors, 'write', str(written), OUTPUT_BLOCK],
                                     role='output floor', modes=(FILE_NULL, FILE_PIPE, FILE_BIG),
                                     infile='/dev/null'))
        case.programs.append(Program('start', [floors, 'read', INPUT_BLOCK['file']], role='start', modes=(FILE_NULL,),
                                     infile='/dev/null'))
        # Every program's output is drained as the filter's would be, row by row.
        for program in case.programs:
            program.row_bytes = program.row_bytes or case.programs[0].row_bytes

    log('bench: timing %d cases, %d runs a program and way' % (len(cases), runs))
    for case in cases:
        time_alternately(build, case.programs, case.infile, runs, warmups)

    # The input floor is one program read two ways with blocks chosen for each;
    # its runs are put together under one name for the tables.
    for case in cases:
        first, second = case.role('input floor')
        first.runs.update(second.runs)
        first.modes = TO_NULL
        case.programs.remove(second)

    # Peak memory against the number of pages, from the file, for these
    # filters and those of the other builds.
    growth_runs = [('brovane', 'colour-600', 'document', 'doc-rgb-1.urf', 'doc-rgb.urf', doc_pages),
                   ('calmeric', None, 'document', 'doc-rgb-1.urf', 'doc-rgb.urf', doc_pages),
                   ('brovane', 'colour-600', 'phone photo 600 dpi', 'photo-rgb-600-1.urf', 'photo-rgb-600.urf',
                    phone_photo),
                   ('calmeric', None, 'phone photo 600 dpi', 'photo-rgb-600-1.urf', 'photo-rgb-600.urf', phone_photo),
                   (RASTER_FILTER, 'colour-600', 'PWG document sRGB', 'doc-srgb-1.pwg', 'doc-srgb.pwg', doc_pages),
                   ('dunsiple', 'cmyk-600', 'document', 'doc-cmyk-1.ras', 'doc-cmyk.ras', size['cmyk_doc_pages'])]
    growth = []
    for name, printer, what, one, many, pages in growth_runs:
        row = []
        for label, folder in [('', build)] + others:
            if not os.access(program_path(folder, name), os.X_OK):
                continue
            rss = []
            for infile in (inputs.path(one), inputs.path(many)):
                program = Program(name, [program_path(folder, name)] + ARGS, ppd(printer) if printer else None)
                measure(build, program, infile, FILE_NULL, warmups=1)
                rss.append(program.runs[FILE_NULL].rss[0])
            row.append((label, rss))
        growth.append((name, printer, what, pages, row))

    body = []
    if not options.only:
        log('bench: timing the floors in blocks of %s to %s' % (BLOCK_SIZES[0], BLOCK_SIZES[-1]))
        block_table(body.append, build, inputs.path(largest), size['phone_photo'][0] * 3, runs, warmups)

    header('Four ways, input/output: input from the file (as standard input) or through a pipe a feeder fills from '
           'it; output to /dev/null or into an ordinary pipe (the system\'s default size) that a drain empties one '
           'row a read, as a driver\'s libcups reader does; the filters and references also into a 1 MiB pipe '
           'emptied 64 KiB a read, as earlier reports measured. The floors: input floor, the input read in '
           'blocks of %s (file) and %s (pipe) into one buffer; output floor, the filter\'s output byte count written '
           'in blocks of %s; start, the floors program with nothing to read, counted once in their sum.'
           % (INPUT_BLOCK['file'], INPUT_BLOCK['pipe'], OUTPUT_BLOCK))
    out('Targets:')
    out('')
    target_table(out, cases, growth)
    out('')
    out('Each filter against its reference and against the input floor + the output floor - one start '
        '((written unchanged): a 24-bit photo at scale 1, the pixels written as they are read):')
    out('')
    ratio_table(out, cases)
    out('')
    out('CPU of every program:')
    out('')
    main_table(out, cases, cells)
    out('')
    out('The floors:')
    out('')
    floor_table(out, cases)
    out('')
    feeder_note(out, cases)
    out('')
    if any(case.role('floor') for case in cases):
        out('dunsiple against the libcups read floor (every row read with cupsRasterReadPixels and dropped), and '
            'the work beyond reading (CPU minus the read floor), output to /dev/null:')
        out('')
        dunsiple_table(out, cases)
        out('')
    if body:
        out(block_title)
        out('')
        lines.extend(body)
        out('')
    if options.unhardened:
        out('Cost of the hardening: the filter built as shipped against the same sources built without '
            '(FILTERS_HARDENING=OFF), same run, every way; median CPU, and instructions counted by '
            'callgrind:')
        out('')
        comparison_table(out, cases, 'unhardened', ('without', 'hardened'), ['file'], cells)
        out('')
    if options.before:
        out('Before and after: the filters of %s against these, same run, same alternation, every way; '
            'median CPU%s:' % (os.path.abspath(options.before), ', and instructions counted by callgrind'
                               if options.instructions else ''))
        out('')
        comparison_table(out, cases, 'before', ('before', 'after'), list(INPUTS) if options.instructions else [],
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
    return finish_report('bench: %d cases in %.0f s%s' % (len(cases), time.monotonic() - started, '' if not mismatches
                                                          else ', %d WITH DIFFERENT OUTPUT' % mismatches),
                         1 if mismatches else 0)


LOAD_AT_START = load_average()

if __name__ == '__main__':
    sys.exit(main())
