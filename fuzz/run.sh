#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for SECONDS (default 60) on a seed
# corpus made with ImageMagick.   fuzz/run.sh [SECONDS] [TARGET...]
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
seconds=${1:-60}
shift || true
build="$top/build-fuzz"
BUILD_DIR="$build" bash "$top/scripts/build-fuzz.sh" >/dev/null

seeds="$build/seeds"
if [ ! -d "$seeds" ]; then
    mkdir -p "$seeds"/{bmp,gif,png,jpeg,tiff,webp,heif,psd,ico,mng,jbig,raw,any,plan,transcode}
    pattern=(-size 24x16 gradient:red-blue)
    convert "${pattern[@]}" "$seeds/bmp/a.bmp"
    convert "${pattern[@]}" -type Palette "$seeds/bmp/p.bmp"
    convert "${pattern[@]}" -type Palette -compress RLE "BMP3:$seeds/bmp/rle.bmp"
    convert "${pattern[@]}" "$seeds/gif/a.gif"
    convert "${pattern[@]}" -alpha set "$seeds/png/a.png"
    convert "${pattern[@]}" -interlace PNG "$seeds/png/i.png"
    convert "${pattern[@]}" "$seeds/jpeg/a.jpg"
    convert "${pattern[@]}" -interlace JPEG "$seeds/jpeg/p.jpg"
    convert "${pattern[@]}" -sampling-factor 1x1 "$seeds/jpeg/s.jpg"
    # Wide enough (16 blocks and more) for full-resolution colour to be halved while it
    # streams, once with restart markers.
    convert -size 136x24 gradient:red-blue -sampling-factor 1x1 "$seeds/jpeg/w.jpg"
    convert -size 136x24 gradient:red-blue -sampling-factor 1x1 -define jpeg:restart-interval=2 \
        "$seeds/jpeg/r.jpg"
    # Progressive, with coefficients enough to be held packed: full-resolution colour and
    # 4:2:2 (whose rows stream while the decoder holds them).
    convert -size 1700x1700 xc:tan -sampling-factor 1x1 -interlace JPEG "$seeds/jpeg/pp.jpg"
    convert -size 1700x1700 xc:tan -sampling-factor 2x1 -interlace JPEG "$seeds/jpeg/pr.jpg"
    convert "${pattern[@]}" -compress lzw "$seeds/tiff/a.tif"
    convert "${pattern[@]}" -type Palette "$seeds/tiff/p.tif"
    convert "${pattern[@]}" "$seeds/webp/a.webp"
    # HEIC from heif-enc, AVIF from avifenc (heif-enc's AV1 encoder aborts here): plain,
    # with alpha, 10-bit, and turned and mirrored.
    convert "${pattern[@]}" "$seeds/heif/src.png"
    convert "${pattern[@]}" -alpha set -channel A -fx 'i/w' +channel "$seeds/heif/alpha.png"
    convert "${pattern[@]}" -depth 16 "$seeds/heif/deep.png"
    heif-enc -q 50 -o "$seeds/heif/a.heic" "$seeds/heif/src.png" >/dev/null
    heif-enc -q 50 -o "$seeds/heif/alpha.heic" "$seeds/heif/alpha.png" >/dev/null
    heif-enc -q 50 -b 10 -o "$seeds/heif/deep.heic" "$seeds/heif/deep.png" >/dev/null
    avifenc -s 10 "$seeds/heif/src.png" "$seeds/heif/a.avif" >/dev/null
    avifenc -s 10 -p "$seeds/heif/alpha.png" "$seeds/heif/alpha.avif" >/dev/null
    avifenc -s 10 -d 10 --irot 1 --imir 0 "$seeds/heif/deep.png" "$seeds/heif/turned.avif" >/dev/null
    rm "$seeds"/heif/*.png
    convert "${pattern[@]}" "$seeds/psd/a.psd"
    convert "${pattern[@]}" -define icon:auto-resize=16 "$seeds/ico/a.ico"
    convert "${pattern[@]}" "$seeds/mng/a.mng"
    convert -size 24x16 pattern:checkerboard -monochrome pbm:- | pbmtojbg > "$seeds/jbig/a.jbg"
    for format in bmp gif png jpeg tiff webp heif psd ico mng jbig; do
        cp "$seeds/$format"/a.* "$seeds/any/"
    done
    cp "$seeds/jpeg/a.jpg" "$seeds/png/a.png" "$seeds/plan/"
    # The transcoder's inputs start with a byte of settings: quality 30, quality 90
    # (the colour kept whole) and quality 58 grey.
    for jpeg in "$seeds"/jpeg/*.jpg; do
        for settings in 035 131 235; do
            { printf "\\$settings"; cat "$jpeg"; } > "$seeds/transcode/$settings-$(basename "$jpeg")"
        done
    done
fi

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(bmp gif png jpeg tiff webp heif psd ico mng jbig raw any plan transcode)
for t in "${targets[@]}"; do
    exe="$build/fuzz/fuzz_decode_$t"
    [ "$t" = plan ] && exe="$build/fuzz/fuzz_plan_image"
    [ "$t" = transcode ] && exe="$build/fuzz/fuzz_transcode"
    work="$build/corpus/$t"
    mkdir -p "$work"
    echo "== $t: ${seconds}s"
    cd "$work/.."
    # Inputs that once found a fault stay in every run.
    cp "$top"/fuzz/regressions/* "$work/" 2>/dev/null || true
    "$exe" -max_total_time="$seconds" -rss_limit_mb=2048 -max_len=65536 -timeout=10 \
        -print_final_stats=1 "$work" "$seeds/$t" 2>&1 | grep -E "^stat::number_of_executed_units|ERROR|SUMMARY" || true
done
