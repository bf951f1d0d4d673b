#!/usr/bin/env bash
# The file list's thumbnails for 1,000 photographs (the corpus's 200 five times, under
# distinct names), beside gdk-pixbuf's thumbnailer on the same files in the same run.
#   bench/thumbnails.sh [CORPUS_DIR]
# Runs, each on as many worker threads (or peer processes) as cores:
#  - cold: an empty cache, every thumbnail made and written to the shared cache's layout;
#  - warm: the same again, every thumbnail read back from the cache;
#  - made without the cache, by TurboJPEG's scaled decode and by QImageReader's scaled
#    size (the two ways of DCT scaling, measured to choose);
#  - the same photographs with a 160-pixel EXIF thumbnail added (the photo's own bytes
#    unchanged), cold, as from a camera;
#  - the list as the window drives it (bench_list_thumbnails), cold and warm, both sets;
#  - the peer: gdk-pixbuf-thumbnailer -s 128 per file, `nproc` at a time.
# Environment: RUNS (best of, default 3), BUILD (default build-bench, configured and built
# here unless FOLIMO_BENCH_BUILT=1).
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
corpus=${1:-${CORPUS:-/tmp/folimo-corpus}}
RUNS=${RUNS:-3}
build=${BUILD:-$top/build-bench}
work=$(mktemp -d /tmp/folimo-thumbs-XXXXXX)
trap 'rm -rf "$work"' EXIT
# shellcheck source=bench/measure.sh
source "$top/bench/measure.sh"

if [ ! -d "$corpus/jpg" ]; then
    maker="$top/../shared/bench/make_corpus.sh"
    [ -x "$maker" ] || { echo "no corpus at $corpus and no $maker to build one" >&2; exit 1; }
    bash "$maker" "$corpus"
fi
if [ "${FOLIMO_BENCH_BUILT:-0}" != 1 ]; then
    cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
        >/dev/null
    cmake --build "$build" --target bench_thumbnails bench_list_thumbnails >/dev/null
fi
thumbs="$build/bench/bench_thumbnails"
cores=$(nproc)

# 1,000 rows: hard links where the file system allows, so the photographs are read from
# the same cached pages as a folder of 1,000 would be after a first look.
mkdir -p "$work/rows" "$work/exif"
for round in 0 1 2 3 4; do
    for photo in "$corpus"/jpg/*.jpg; do
        row="$work/rows/r${round}_$(basename "$photo")"
        ln "$photo" "$row" 2>/dev/null || cp "$photo" "$row"
    done
done
mapfile -t rows < <(find "$work/rows" -name '*.jpg' | sort)

# The same rows with an EXIF thumbnail of 160 pixels on the longer side (an APP1 segment
# after SOI and JFIF, as cameras write it), made with Pillow.
/usr/bin/python3 - "$work/rows" "$work/exif" <<'EOF'
import io, os, struct, sys
from PIL import Image
src, dst = sys.argv[1], sys.argv[2]
cache = {}
for name in sorted(os.listdir(src)):
    data = open(os.path.join(src, name), 'rb').read()
    key = name.split('_', 1)[1]
    if key not in cache:
        with Image.open(io.BytesIO(data)) as im:
            im = im.convert('RGB')
            im.thumbnail((160, 160))
            out = io.BytesIO()
            im.save(out, 'JPEG', quality=75)
            cache[key] = out.getvalue()
    small = cache[key]
    ifd0 = struct.pack('<H', 1) + struct.pack('<HHII', 0x0112, 3, 1, 1) + struct.pack('<I', 26)
    ifd1 = struct.pack('<H', 2) + struct.pack('<HHII', 0x0201, 4, 1, 26 + 2 + 24 + 4) + \
        struct.pack('<HHII', 0x0202, 4, 1, len(small)) + struct.pack('<I', 0)
    tiff = b'II*\0' + struct.pack('<I', 8) + ifd0 + ifd1 + small
    payload = b'Exif\0\0' + tiff
    segment = b'\xff\xe1' + struct.pack('>H', len(payload) + 2) + payload
    at = 2
    if data[2:4] == b'\xff\xe0':
        at = 4 + struct.unpack('>H', data[4:6])[0]
    open(os.path.join(dst, name), 'wb').write(data[:at] + segment + data[at:])
EOF
mapfile -t exif_rows < <(find "$work/exif" -name '*.jpg' | sort)

with_exif=0
for photo in "$corpus"/jpg/*.jpg; do
    if identify -format '%[EXIF:JPEGInterchangeFormat]' "$photo" 2>/dev/null | grep -q '[0-9]'; then
        with_exif=$((with_exif + 1))
    fi
done
echo "${#rows[@]} rows from $(find "$corpus/jpg" -name '*.jpg' | wc -l) photographs," \
     "$with_exif of which carry an EXIF thumbnail; $cores worker threads"

# shellcheck disable=SC2016
measure "cold cache, ${#rows[@]} photos" \
    bash -c 'rm -rf "$1"; shift; exec "$@"' _ "$work/cache" \
    "$thumbs" -j "$cores" --cache "$work/cache" "${rows[@]}"
cold=$last_wall
measure "warm cache, ${#rows[@]} photos" \
    "$thumbs" -j "$cores" --cache "$work/cache" "${rows[@]}"
measure "made, TurboJPEG scaled decode" "$thumbs" -j "$cores" --make "${rows[@]}"
measure "made, QImageReader scaled size" "$thumbs" -j "$cores" --qt-reader "${rows[@]}"
# shellcheck disable=SC2016
measure "cold cache, all with EXIF thumbnails" \
    bash -c 'rm -rf "$1"; shift; exec "$@"' _ "$work/exifcache" \
    "$thumbs" -j "$cores" --cache "$work/exifcache" "${exif_rows[@]}"
exif=$last_wall

# As the window gets them: the rows in view first, then a screenful at a time, with the
# list's information thread running and the window's longest stall.
for set in rows exif; do
    rm -rf "$work/listcache"
    if [ "$set" = rows ]; then files=("${rows[@]}"); else files=("${exif_rows[@]}"); fi
    printf '%-10s cold: ' "$set"
    "$build/bench/bench_list_thumbnails" --cache "$work/listcache" "${files[@]}"
    printf '%-10s warm: ' "$set"
    "$build/bench/bench_list_thumbnails" --cache "$work/listcache" "${files[@]}"
done

mkdir -p "$work/peer"
# shellcheck disable=SC2016
printf '#!/bin/sh\nexec gdk-pixbuf-thumbnailer -s 128 "$1" "%s/$(basename "$1").png"\n' \
    "$work/peer" >"$work/peer.sh"
chmod +x "$work/peer.sh"
# shellcheck disable=SC2016
measure "gdk-pixbuf-thumbnailer -s 128, $cores at a time" \
    bash -c 'printf "%s\0" "${@:2}" | xargs -0 -n 1 -P "$1" "$0"' "$work/peer.sh" "$cores" \
    "${rows[@]}"
peer=$last_wall
# shellcheck disable=SC2016
measure "gdk-pixbuf-thumbnailer, with EXIF thumbnails" \
    bash -c 'printf "%s\0" "${@:2}" | xargs -0 -n 1 -P "$1" "$0"' "$work/peer.sh" "$cores" \
    "${exif_rows[@]}"
peer_exif=$last_wall
printf '%-46s %8s x\n' "gdk-pixbuf-thumbnailer / folimo, cold" "$(ratio "$peer" "$cold")"
printf '%-46s %8s x\n' "the same with EXIF thumbnails" "$(ratio "$peer_exif" "$exif")"
