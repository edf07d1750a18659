#!/usr/bin/env python3
"""Prints the benchmarks' summary lines, and with a baseline each figure's ratio to it.

    compare.py SUMMARIES [BASELINE_LABEL]

SUMMARIES holds one line per run, as bench/run.sh writes it: the invocation's number, "this" or
"base", and the program's summary line, separated by tabs. For each invocation this prints the
summary line of this code with each figure replaced by its median over the runs, and, where the
baseline ran too, a line with the ratio of each figure that differs (this code / baseline):
below 1, this code takes less (time, bytes) or gives less (rates).

Where the two lines have the same shape, the ratio line is the summary line itself with each
figure as "this/baseline (xR)". Otherwise a figure is named by the key before "=" (rows_ms=280)
or else by the words before it (all listed after 58.1 ms), and figures the two lines do not
share are left out.
"""

import re
import statistics
import sys
from collections import OrderedDict

NUMBER = re.compile(r"[-+]?\d+(?:\.\d+)?")


def figures(line):
    """The line's text with each number replaced by {}, and its numbers by name, in order."""
    named = OrderedDict()
    skeleton = []
    last = 0
    for match in NUMBER.finditer(line):
        before = line[last : match.start()]
        skeleton.append(before)
        skeleton.append("{}")
        key = re.search(r"(\w+)=$", before)
        if key:
            name = key.group(1)
        else:
            words = re.findall(r"[A-Za-z_/%]+", line[: match.start()])
            name = " ".join(words[-3:]) if words else "value"
        base, index = name, 2
        while name in named:
            name = "%s (%d)" % (base, index)
            index += 1
        named[name] = float(match.group())
        last = match.end()
    skeleton.append(line[last:])
    return "".join(skeleton), named


def medians(lines):
    """The first line's skeleton and the median of each figure over the lines that share it."""
    skeleton, _ = figures(lines[0])
    values = OrderedDict()
    for line in lines:
        shape, named = figures(line)
        if shape != skeleton:
            continue
        for name, value in named.items():
            values.setdefault(name, []).append(value)
    return skeleton, OrderedDict((k, statistics.median(v)) for k, v in values.items())


def number(value):
    if value == int(value):
        return "%d" % value
    return "%g" % value if abs(value) >= 100 else "%.3g" % value


def pair(value, base):
    """A figure beside the baseline's: "a" when equal, else "a/b (xR)"."""
    if value == base:
        return number(value)
    if base == 0:
        return "%s/0" % number(value)
    return "%s/%s (x%.2f)" % (number(value), number(base), value / base)


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    label = sys.argv[2] if len(sys.argv) == 3 else ""
    runs = OrderedDict()
    with open(sys.argv[1], encoding="utf-8") as summaries:
        for row in summaries:
            parts = row.rstrip("\n").split("\t", 2)
            if len(parts) == 3:
                runs.setdefault(parts[0], {"this": [], "base": []})[parts[1]].append(parts[2])
    for sides in runs.values():
        if not sides["this"]:
            print("(no summary from this code: the run failed)")
            continue
        skeleton, ours = medians(sides["this"])
        shown = skeleton.format(*(number(v) for v in ours.values()))
        count = len(sides["this"])
        print(shown + ("" if count == 1 else "   [median of %d runs]" % count))
        if not sides["base"]:
            if label:
                print("    %s: no figures (the program or an option is newer)" % label)
            continue
        base_skeleton, theirs = medians(sides["base"])
        if base_skeleton == skeleton:
            # The same line, each figure as this code's/the baseline's and their ratio.
            inline = skeleton.format(*(pair(v, theirs[k]) for k, v in ours.items()))
            print("    against %s (%d runs): %s" % (label, len(sides["base"]), inline))
            continue
        ratios = []
        for name, value in ours.items():
            if name in theirs and theirs[name] != value:
                if theirs[name] == 0:
                    ratios.append("%s %s/0" % (name, number(value)))
                else:
                    ratios.append(
                        "%s %s/%s x%.2f"
                        % (name, number(value), number(theirs[name]), value / theirs[name])
                    )
        print("    against %s (%d runs): %s" % (label, len(sides["base"]), ", ".join(ratios) or "same figures"))


if __name__ == "__main__":
    main()
