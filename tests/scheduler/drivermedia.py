# What an enabled queue offers phones of its paper: the margins of each size
# (media-col-database) and its photo papers and trays (media-type-supported,
# media-source-supported), read from the scheduler's answers, and the job
# attributes a phone's photo job sends to get the driver's photo paper.
#
#   answers = drivermedia.ask(ipptool, "ipp://127.0.0.1:PORT/printers/QUEUE", env)
#   photo = drivermedia.check_queue(answers, stored_ppd, enable_says)
#
# check_queue raises privatecups.Failure when the queue offers what the
# driver does not print; it returns the photo job's media-col members, e.g.
# {"media-type": "photographic-glossy", "media-source": "photo"}, and under
# "expect" the options the driver should then get (e.g. {"MediaType":
# "GlossyPaper", "InputSlot": "PhotoTray"}), to be found in the job's argv[5]
# in the scheduler's log (check_job_options).
#
# Send them inside media-col, as phones do: the scheduler (2.4) turns media-col's media-type and
# media-source into the PPD's MediaType and InputSlot choices, but passes
# top-level media-type and media-source attributes to the filters as they
# are, and the drivers then print on their default paper from their default tray.

import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from privatecups import Failure, check  # noqa: E402

WANTED = ("media-col-database", "media-type-supported", "media-source-supported", "media-col-ready",
          "media-col-default", "document-format-supported")

GET_MEDIA = """{
  OPERATION Get-Printer-Attributes
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri printer-uri $uri
  ATTR keyword requested-attributes %s
  STATUS successful-ok
}
""" % ",".join(WANTED)

# Words in a MediaType choice's text that make it a photo paper, and in an
# InputSlot choice's name or text that make it a photo tray.
PHOTO_PAPER = re.compile(r"photo|glossy|luster|satin|semigloss", re.I)
PHOTO_TRAY = re.compile(r"photo", re.I)


def ask(ipptool, uri, env=None, timeout=60):
    """The scheduler's answers for the queue at `uri`, through ipptool: the
    text ipptool -tv prints, parsed by parse_answers."""
    with tempfile.NamedTemporaryFile("w", suffix=".test", delete=False) as f:
        f.write(GET_MEDIA)
        test = f.name
    try:
        result = subprocess.run([ipptool, "-tv", "-T", str(timeout), uri, test], env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=timeout + 30)
    finally:
        os.unlink(test)
    text = result.stdout.decode(errors="replace")
    check("media-col-database" in text, "no media-col-database from %s: %s %s" % (
        uri, text[-500:], result.stderr.decode(errors="replace")[-300:]))
    return parse_answers(text)


def split_values(value):
    """A 1setOf value as ipptool prints it: commas at the outer level part the values."""
    values, depth, start = [], 0, 0
    for at, char in enumerate(value):
        depth += {"{": 1, "}": -1}.get(char, 0)
        if char == "," and depth == 0:
            values.append(value[start:at])
            start = at + 1
    values.append(value[start:])
    return [v for v in values if v != ""]


def parse_answers(text):
    """{attribute name: [values]} from ipptool -tv's lines "name (type) = values"."""
    answers = {}
    for line in text.splitlines():
        match = re.match(r"\s+([a-z0-9-]+) \([^)]*\) = (.*)$", line)
        if match:
            answers[match.group(1)] = split_values(match.group(2))
    return answers


def media_cols(answers, name="media-col-database"):
    """((x, y), (top, bottom, left, right)) of each collection, in hundredths of mm."""
    cols = []
    for value in answers.get(name, []):
        size = re.search(r"x-dimension=(\d+) y-dimension=(\d+)", value)
        margins = [re.search(r"media-%s-margin=(\d+)" % side, value) for side in ("top", "bottom", "left", "right")]
        if size and all(margins):
            cols.append(((int(size.group(1)), int(size.group(2))), tuple(int(m.group(1)) for m in margins)))
    return cols


def ppd_entries(ppd_path, keyword):
    """(option, text, value) of each "*Keyword Option/Text: value" line of a PPD."""
    entries = []
    opener = __import__("gzip").open if ppd_path.endswith(".gz") else open
    with opener(ppd_path, "rt", encoding="latin-1") as f:
        for line in f:
            match = re.match(r"\*%s\s+([^/:\s]+)(?:/([^:]*))?:\s*(.*)$" % re.escape(keyword), line)
            if match:
                entries.append((match.group(1), match.group(2) or match.group(1), match.group(3).strip()))
    return entries


def bordered_sizes(ppd_path):
    """(width, length) in hundredths of mm of each size whose *ImageableArea is
    not the whole sheet, with the margins (top, bottom, left, right) in points."""
    dims = {o: [float(x) for x in v.strip('"').split()] for o, _, v in ppd_entries(ppd_path, "PaperDimension")}
    sizes = []
    for option, _, value in ppd_entries(ppd_path, "ImageableArea"):
        area = [float(x) for x in value.strip('"').split()]
        if option not in dims or len(area) != 4:
            continue
        width, length = dims[option]
        margins = (length - area[3], area[1], area[0], width - area[2])
        if max(margins) >= 0.5:
            sizes.append((option, (round(width * 2540 / 72), round(length * 2540 / 72)), margins))
    return sizes


def near(a, b, slack=60):
    return abs(a - b) <= slack


def check_margins(answers, ppd_path, enable_says=""):
    """The margins the queue offers: every size the (enabled) PPD gives margins
    is offered with margins (none of them zero where the PPD's is not); where
    brovane-enable said it gave the driver's own margins and no size is
    borderless, no size is offered at zero margins alone. Returns the number
    of sizes offered with margins."""
    cols = media_cols(answers)
    check(cols, "no media-col-database entries: %s" % answers.get("media-col-database"))
    offered = 0
    for option, dims, margins in bordered_sizes(ppd_path):
        same = [m for d, m in cols if near(d[0], dims[0]) and near(d[1], dims[1])]
        if not same:
            continue  # the scheduler lists one of sizes of the same dimensions
        check(any(all(v > 0 for v, pt in zip(m, margins) if pt >= 0.5) for m in same),
              "%s has margins %s pt in the PPD, but the queue offers it with %s" % (option, margins, same))
        offered += 1
    said = re.search(r"margins: the driver's own for (\d+) sizes(?: \(borderless for (\d+)\))?", enable_says)
    if said:
        check(offered > 0, "brovane-enable gave the driver's margins (%s), but no size is offered with them"
              % said.group(0))
        if not said.group(2):
            borderless_only = sorted(set(d for d, m in cols if not any(m))
                                     - set(d for d, m in cols if any(m)))
            check(not borderless_only, "brovane-enable said no size is borderless, but the queue offers sizes %s "
                  "at zero margins only" % borderless_only)
    return offered


def photo_choices(answers, ppd_path):
    """[(keyword, choice, text)] of the PPD's MediaType choices that are photo
    papers, with the keyword the scheduler offers each under: media-type-supported
    lists the choices in their order, one keyword each."""
    choices = ppd_entries(ppd_path, "MediaType")
    offered = answers.get("media-type-supported", [])
    check(len(offered) == len(choices), "media-type-supported has %d keywords for %d MediaType choices: %s" % (
        len(offered), len(choices), offered))
    return [(k, c, t) for k, (c, t, _) in zip(offered, choices) if PHOTO_PAPER.search(t)]


def photo_source(answers, ppd_path):
    """(keyword, choice) of a photo tray among the InputSlot choices, or None."""
    choices = ppd_entries(ppd_path, "InputSlot")
    offered = answers.get("media-source-supported", [])
    if len(offered) != len(choices):
        return None
    for keyword, (choice, text, _) in zip(offered, choices):
        if PHOTO_TRAY.search(choice) or PHOTO_TRAY.search(text):
            return keyword, choice
    return None


def check_queue(answers, ppd_path, enable_says=""):
    """Checks what an enabled queue offers of its paper (see check_margins)
    and returns the job attributes of a photo job for it:
    {"media-type": keyword, "media-source": keyword (where it has a photo
    tray), "expect": {"MediaType": choice, "InputSlot": choice}}, the keywords
    as the queue offers them, a standard photographic-* one where it offers
    one. Empty when the PPD has no photo paper."""
    check_margins(answers, ppd_path, enable_says)
    papers = photo_choices(answers, ppd_path)
    job = {}
    if papers:
        standard = [p for p in papers if p[0].startswith("photographic")]
        glossy = [p for p in standard if p[0] == "photographic-glossy"]
        named = [p for p in papers if re.search(r"glossy", p[2], re.I)]
        keyword, choice, _ = (glossy or standard or named or papers)[0]
        job = {"media-type": keyword, "expect": {"MediaType": choice}}
    source = photo_source(answers, ppd_path)
    if source:
        job["media-source"] = source[0]
        job.setdefault("expect", {})["InputSlot"] = source[1]
    for name in ("media-type", "media-source"):
        if name in job:
            check(job[name] in answers.get(name + "-supported", []), "%s %s not offered" % (name, job[name]))
    return job


def check_job_options(argv5, job):
    """The options the scheduler gave the driver for a job sent with `job`'s
    attributes (argv[5] of the job's filters in its log): the driver's own
    choices named under "expect"."""
    options = dict(re.findall(r"(\S+?)=(\S+)", argv5))
    for name, choice in job.get("expect", {}).items():
        check(options.get(name) == choice, "a job with %s got %s=%s, not %s: %s" % (
            {k: v for k, v in job.items() if k != "expect"}, name, options.get(name), choice, argv5))

