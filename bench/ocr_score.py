#!/usr/bin/env python3
"""Scores recognised text against the pages' ground truth.

    bench/ocr_score.py [--goal PERCENT] TEXT_DIR RESULT_DIR [LABEL]

For every TEXT_DIR/NAME.txt that has a RESULT_DIR/NAME.txt: the share of the truth found
in the result, in order, as the longest common subsequence over the truth's length.
English pages (en-*) are compared word by word, Chinese pages (zh-*) character by
character with all white space ignored, since recognisers set spaces between Han
characters as they please. Both sides are NFKC-normalised first (full-width commas
and Latin ligatures become their plain forms) and typographic quotes and dashes made
plain; a word loses the punctuation at its ends, so "said," and "said" are one word,
but its case and inner hyphens count.

Prints a line per page and, last, the lowest score and whether every page reached the
goal (default 99.5 %). Exits 0 either way: a benchmark reports, it does not fail.
"""

import argparse
import string
import sys
import unicodedata
from pathlib import Path

PLAIN = str.maketrans({"‘": "'", "’": "'", "“": '"', "”": '"', "–": "-", "—": "-"})


def normalise(text):
    return unicodedata.normalize("NFKC", text).translate(PLAIN)


def words(text):
    stripped = (w.strip(string.punctuation) for w in normalise(text).split())
    return [w for w in stripped if w]


def han_chars(text):
    return [c for c in normalise(text) if not c.isspace()]


def lcs_length(a, b):
    # One row at a time: the pages hold a few hundred words or a thousand characters.
    if len(b) > len(a):
        a, b = b, a
    prev = [0] * (len(b) + 1)
    for x in a:
        cur = [0]
        for j, y in enumerate(b):
            cur.append(prev[j] + 1 if x == y else max(prev[j + 1], cur[j]))
        prev = cur
    return prev[-1]


def score(name, truth, result):
    unit = han_chars if name.startswith("zh") else words
    t, r = unit(truth), unit(result)
    found = lcs_length(t, r)
    return found, len(t), len(r)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--goal", type=float, default=99.5)
    parser.add_argument("text_dir", type=Path)
    parser.add_argument("result_dir", type=Path)
    parser.add_argument("label", nargs="?", default="")
    args = parser.parse_args()
    lowest = None
    for truth_file in sorted(args.text_dir.glob("*.txt")):
        result_file = args.result_dir / truth_file.name
        if not result_file.exists():
            continue
        found, total, got = score(truth_file.stem, truth_file.read_text(encoding="utf-8"),
                                  result_file.read_text(encoding="utf-8", errors="replace"))
        pct = 100.0 * found / total if total else 0.0
        unit = "characters" if truth_file.stem.startswith("zh") else "words"
        print(f"  {args.label}{truth_file.stem}: {found} of {total} {unit} in order "
              f"({got} recognised) {pct:6.2f} %")
        lowest = pct if lowest is None else min(lowest, pct)
    if lowest is None:
        print(f"  {args.label}no pages scored", file=sys.stderr)
        return
    verdict = "every page reaches" if lowest >= args.goal else "BELOW"
    print(f"  {args.label}lowest {lowest:.2f} %: {verdict} the goal of {args.goal} %")


if __name__ == "__main__":
    main()
