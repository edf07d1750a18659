#!/usr/bin/env python3
"""Every relative link of the README, docs/*.md and bench/README.md names a file of the tree, every
#anchor a heading of the file it points into (GitHub's way of making anchors from headings), and
every path of the tree they name in their text (src/..., network/..., scripts/...) exists.

    links_test.py ROOT
"""
import glob
import os
import re
import sys


def anchors(path):
    found, seen, fenced = set(), {}, False
    for line in open(path, encoding="utf-8"):
        if line.startswith("```"):
            fenced = not fenced
        heading = None if fenced else re.match(r"^(#+)\s+(.*)", line)
        if not heading:
            continue
        anchor = re.sub(r"[^\w\- ]", "", heading.group(2).strip().lower()).replace(" ", "-")
        count = seen.get(anchor, 0)
        seen[anchor] = count + 1
        found.add(anchor if count == 0 else f"{anchor}-{count}")
    return found


def broken_links(path):
    text = re.sub(r"```.*?```", "", open(path, encoding="utf-8").read(), flags=re.S)
    for match in re.finditer(r"\]\(([^)\s]+)\)|src=\"([^\"]+)\"", text):
        target = match.group(1) or match.group(2)
        if re.match(r"[a-z]+:", target):
            continue  # another site, mail
        name, _, anchor = target.partition("#")
        full = os.path.normpath(os.path.join(os.path.dirname(path), name)) if name else path
        if not os.path.exists(full):
            yield f"{path}: {target} names no file"
        elif anchor and full.endswith(".md") and anchor not in anchors(full):
            yield f"{path}: {target} names no heading of {full}"


# A path of the tree named in the text: one of its top folders, then names (a trailing dot or
# comma ends the sentence, not the path).
TREE_PATH = re.compile(r"(?<![\w/.\-])((?:src|network|tests|scripts|tools|bench|cmake|packaging|fuzz)"
                       r"/[\w./\-]*[\w/])")


def missing_paths(root, path):
    for line_number, line in enumerate(open(path, encoding="utf-8"), 1):
        for match in TREE_PATH.finditer(line):
            if not os.path.exists(os.path.join(root, match.group(1))):
                yield f"{path}:{line_number}: {match.group(1)} is no file or folder of the tree"


def main():
    root = sys.argv[1]
    files = [os.path.join(root, "README.md"), os.path.join(root, "bench", "README.md")]
    files += sorted(glob.glob(os.path.join(root, "docs", "*.md")))
    problems = [problem for path in files for problem in broken_links(path)]
    problems += [problem for path in files for problem in missing_paths(root, path)]
    for problem in problems:
        print("FAILED:", problem)
    print(f"{len(files)} files, {len(problems)} broken links or paths")
    return 1 if problems or len(files) < 2 else 0


if __name__ == "__main__":
    sys.exit(main())
