#!/usr/bin/python3
"""Re-encodes images with Pillow and puts them into one PDF with img2pdf.

    pillow_pdf.py QUALITY OUT.pdf FILE...

Pillow decodes each file and saves it as a JPEG at QUALITY (its default 4:2:0 sampling,
libjpeg-turbo underneath, as in Debian's python3-pil); img2pdf then embeds those JPEGs
as they are, one page each. That is how a Python script would do what folimo-cli's
default settings do; Pillow's own PDF writer would need every image open at once.
One process, one image decoded at a time; the encoded JPEGs are kept until img2pdf
writes the document, as it needs them all.
"""
import io
import sys

import img2pdf
from PIL import Image


def reencode(path, quality):
    with Image.open(path) as image:
        if image.mode not in ("RGB", "L", "CMYK"):
            image = image.convert("RGB")
        out = io.BytesIO()
        image.save(out, "JPEG", quality=quality)
        return out.getvalue()


def main(argv):
    if len(argv) < 4:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    quality, output, files = int(argv[1]), argv[2], argv[3:]
    jpegs = [reencode(path, quality) for path in files]
    with open(output, "wb") as out:
        out.write(img2pdf.convert(jpegs))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
