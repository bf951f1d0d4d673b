#!/usr/bin/env python3
"""Makes the text recognition benchmark's pages: A4 at 300 dpi, made to look scanned.

    bench/ocr_pages.py OUT_DIR [TEXT_DIR]

Every TEXT_DIR/*.txt (default bench/ocr_texts) becomes OUT_DIR/NAME.jpg: the text set
in 11 pt (DejaVu Serif for en-*, WenQuanYi Zen Hei for zh-*) with one-inch margins,
then turned by 0.3 to 1 degree, blurred a little, given paper and ink that are not
pure white and black, grain, and saved as a grey JPEG of quality 85 that records
300 dpi, as a document scanner delivers it. The same files always give the same pages:
every random choice comes from a seed fixed by the page's name. The text file is the
page's ground truth; the lines are broken here, so its own line breaks do not matter
beyond the blank lines between paragraphs.

ImageMagick's policy on Debian refuses text read from files (@file) and single text
images wider than 16,000 pixels, so the broken lines are drawn with -annotate.
"""

import random
import subprocess
import sys
import textwrap
import zlib
from pathlib import Path

WIDTH, HEIGHT = 2480, 3508  # A4 at 300 dpi
MARGIN = 300  # one inch
POINT = 11 * 300 / 72  # 11 pt in pixels at 300 dpi

# Characters a Chinese line may not begin with: they stay at the end of the line before.
NO_LINE_START = "，。、；：？！）》」』”’"


def wrap_latin(paragraph):
    # 72 characters of DejaVu Serif at 11 pt stay inside the 1,880 pixels between margins.
    return textwrap.wrap(" ".join(paragraph.split()), width=72, break_on_hyphens=False)


def wrap_han(paragraph, per_line=38):
    text = "".join(paragraph.split())
    lines, line = [], ""
    for ch in text:
        if len(line) >= per_line and ch not in NO_LINE_START:
            lines.append(line)
            line = ""
        line += ch
    if line:
        lines.append(line)
    return lines


def layout(text, han):
    paragraphs = [p for p in text.split("\n\n") if p.strip()]
    lines = []
    for p in paragraphs:
        lines += wrap_han(p) if han else wrap_latin(p)
        lines.append("")
    # ImageMagick reads % and backslash escapes in annotation text.
    return "\n".join(lines).rstrip().replace("\\", "\\\\").replace("%", "%%")


def make_page(text_file, out_file):
    han = text_file.name.startswith("zh")
    rng = random.Random(zlib.crc32(text_file.name.encode()))
    angle = rng.uniform(0.3, 1.0) * rng.choice((-1, 1))
    blur = rng.uniform(0.6, 0.9)
    noise = rng.uniform(0.12, 0.2)
    paper = rng.randint(232, 244)
    ink = rng.randint(20, 40)
    cmd = [
        "convert", "-size", f"{WIDTH}x{HEIGHT}", "xc:white",
        "-font", "WenQuanYi-Zen-Hei" if han else "DejaVu-Serif",
        "-pointsize", f"{POINT:.2f}", "-interline-spacing", "18" if han else "10",
        "-fill", "black", "-gravity", "northwest",
        "-annotate", f"+{MARGIN}+{MARGIN}", layout(text_file.read_text(encoding="utf-8"), han),
        "-background", "white", "-rotate", f"{angle:.3f}",
        "-gravity", "center", "-extent", f"{WIDTH}x{HEIGHT}",
        "-blur", f"0x{blur:.2f}",
        "+level", f"{ink / 255:.1%},{paper / 255:.1%}",
        "-colorspace", "Gray",
        # A seed makes ImageMagick add the noise on one thread, so the grain is the same
        # on every run.
        "-seed", str(rng.randint(1, 1 << 30)), "-attenuate", f"{noise:.2f}",
        "+noise", "Gaussian",
        "-density", "300", "-units", "PixelsPerInch", "-quality", "85",
        str(out_file),
    ]
    subprocess.run(cmd, check=True)
    return angle


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    out = Path(sys.argv[1])
    texts = Path(sys.argv[2]) if len(sys.argv) == 3 else Path(__file__).parent / "ocr_texts"
    out.mkdir(parents=True, exist_ok=True)
    files = sorted(texts.glob("*.txt"))
    if not files:
        sys.exit(f"no *.txt in {texts}")
    for f in files:
        angle = make_page(f, out / (f.stem + ".jpg"))
        print(f"{f.stem}.jpg: turned {angle:+.2f} degrees")


if __name__ == "__main__":
    main()
