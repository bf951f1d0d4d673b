#!/usr/bin/env bash
# Hostile inputs and conditions, made here rather than stored: each case asserts what a
# user is told, the exit status, the pages that survive and that nothing is left behind.
#   run.sh FOLIMO_CLI [SANITIZER]
# With a sanitizer named ("address", "thread"), peak memory is not judged (the
# sanitizer's shadow memory counts too).
set -uo pipefail
cli=$(realpath "$1")
sanitized=${2:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

passed=0
failed=0
fail() {
    echo "FAIL [$case]: $*"
    failed=$((failed + 1))
    rss=""
}
ok() {
    echo "ok   [$case]${rss:+ peak $((rss / 1024)) MB}"
    passed=$((passed + 1))
    rss=""
}
rss=""

# Runs folimo-cli with a time limit, recording exit status, standard error and the peak
# memory in kB. The limit catches a hang; a sanitizer makes honest work several times
# slower.
limit=$([ -n "$sanitized" ] && echo 240 || echo 60)
run() {
    /usr/bin/time -f %M -o "$work/rss" timeout -s KILL $limit "$cli" "$@" >"$work/out" 2>"$work/err"
    status=$?
    rss=$(tail -1 "$work/rss" 2>/dev/null | tr -dc 0-9)
}
pages() { pdfinfo "$1" 2>/dev/null | awk '/^Pages:/ {print $2}'; }
clean() { qpdf --check "$1" >/dev/null 2>&1; }
# Nothing but the expected files in a folder: no hidden temporary documents.
only() {
    local dir=$1
    shift
    local have want
    have=$(cd "$dir" && ls -A | sort | tr '\n' ' ')
    want=""
    [ $# -eq 0 ] || want=$(printf '%s\n' "$@" | sort | tr '\n' ' ')
    [ "$have" = "$want" ] || { echo "  folder holds: $have; expected: $want"; return 1; }
}
under_budget() {
    # The budget is 1 GiB unless given in MB; the process as a whole stays inside it,
    # with what the program itself needs beside any image.
    local mb=${1:-1024}
    [ -n "$sanitized" ] || [ "${rss:-0}" -lt $(((mb + 40) * 1024)) ] ||
        { echo "  peak memory ${rss} kB, budget ${mb} MB"; return 1; }
}

convert -size 64x48 xc:orange -quality 90 good.jpg
convert -size 3000x2000 xc: +noise Random -quality 92 big.jpg

# --- Files that are not files ---------------------------------------------------
case=fifo
mkdir fifo && mkfifo fifo/pipe.jpg fifo/pipe.pdf
run -o fifo/out.pdf fifo/pipe.jpg fifo/pipe.pdf good.jpg
{ [ $status -eq 3 ] && grep -q "not a regular file" err && [ "$(pages fifo/out.pdf)" = 1 ] &&
    clean fifo/out.pdf; } && ok || fail "status $status: $(cat err)"

# The pictures beyond the memory budget test the decoders and the budget, which the
# plain and address-sanitized runs judge; under the thread sanitizer they take minutes
# while their threads meet as any picture's do, so that run leaves them out.
if [ "$sanitized" != thread ]; then
# --- Headers that claim more than the file holds ---------------------------------
# A baseline JPEG whose frame header claims 65500 x 65500 pixels.
python3 - <<'PY'
data = bytearray(open("good.jpg", "rb").read())
i = 2
while data[i] == 0xFF and data[i + 1] not in (0xC0, 0xC1, 0xC2):
    i += 2 + int.from_bytes(data[i + 2:i + 4], "big")
data[i + 5:i + 9] = (65500).to_bytes(2, "big") * 2
open("claims-huge.jpg", "wb").write(data)
PY
for encode in jpeg unchanged png; do
    case=claimed-huge-jpeg-$encode
    start=$(date +%s%N)
    run -o "huge-$encode.pdf" --encode $encode claims-huge.jpg good.jpg
    ms=$((($(date +%s%N) - start) / 1000000))
    { [ $status -eq 3 ] && grep -q "claims-huge.jpg" err && [ "$(pages "huge-$encode.pdf")" = 1 ] &&
        [ $ms -lt 20000 ] && under_budget; } && ok || fail "status $status, ${ms} ms, ${rss} kB: $(cat err)"
done

# Small files that decode huge: a PNG of 20000 x 20000 RGBA (1.6 GB decoded, beyond the
# 1 GiB budget) and a GIF whose screen is 20000 x 20000.
python3 - <<'PY'
import struct, zlib
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
w = h = 20000
z = zlib.compressobj(9)
row = bytes(1 + 4 * w)
idat = b"".join(z.compress(row) for _ in range(h)) + z.flush()
open("bomb.png", "wb").write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0))
                             + chunk(b"IDAT", idat) + chunk(b"IEND", b""))
# Header, a 2-colour table, one 1 x 1 frame, trailer.
gif = (b"GIF89a" + struct.pack("<HH", w, h) + b"\x80\x00\x00" + b"\x00" * 6 +
       b"," + struct.pack("<HHHH", 0, 0, 1, 1) + b"\x00" + b"\x02\x02\x44\x01\x00" + b";")
open("bomb.gif", "wb").write(gif)
PY
# Beyond the decode budget the rows stream where the way allows (PNG kept lossless,
# JPEG, PNG and TIFF made JPEG); what needs the whole picture is refused with the reason.
for encode in jpeg unchanged; do
    case=png-bomb-$encode
    run -o "bomb-$encode.pdf" --encode $encode bomb.png good.jpg
    { [ $status -eq 0 ] && [ "$(pages "bomb-$encode.pdf")" = 2 ] && clean "bomb-$encode.pdf" &&
        under_budget; } && ok || fail "status $status, ${rss} kB: $(cat err)"
done
convert -size 800x600 plasma: -alpha set -channel A -evaluate set 50% +channel alpha.png
convert -size 800x600 plasma: -interlace PNG interlaced.png
convert -size 800x600 plasma: -define tiff:rows-per-strip=16 -compress lzw strips.tif
convert -size 800x600 plasma: -orient RightTop turned.tif
while read -r name want options; do
    case=max-memory-$name
    run -o "small-$name.pdf" --max-memory 1M $options good.jpg
    pagesWanted=$([ "$want" = 0 ] && echo 2 || echo 1)
    { [ $status -eq "$want" ] && [ "$(pages "small-$name.pdf")" = $pagesWanted ] &&
        clean "small-$name.pdf" &&
        { [ "$want" = 0 ] || grep -q "more than the 1 MB allowed for one image" err; }; } &&
        ok || fail "status $status: $(cat err)"
done <<'CASES'
jpeg-rows          0 --encode jpeg --jpeg-quality 95 big.jpg
png-alpha-kept     0 --encode unchanged alpha.png
png-alpha-to-jpeg  0 --encode jpeg alpha.png
tiff-to-jpeg       0 --encode jpeg strips.tif
png-interlaced     3 --encode unchanged interlaced.png
tiff-turned        3 --encode jpeg turned.tif
jpeg-to-png        3 --encode png big.jpg
CASES
case=gif-screen-bomb
run -o gif-bomb.pdf bomb.gif good.jpg
{ [ $status -eq 0 ] || [ $status -eq 3 ]; } && clean gif-bomb.pdf && under_budget && ok ||
    fail "status $status, ${rss} kB: $(cat err)"

# Small files whose pictures fit the budget one at a time, but not with the copies made
# around decoding (the samples, their compressed stream, the encoded file), nor three at
# once: a TIFF of 18000 x 18000 zeros (972 MB as RGB), a BMP whose run-length data
# ends at once but claims 20000 x 19000 pixels, and a GIF whose screen is as large.
python3 - <<'PY'
import struct, zlib
w = h = 18000
rows = 64
strip = zlib.compress(bytes(3 * w * rows), 9)
last = zlib.compress(bytes(3 * w * (h % rows or rows)), 9)
count = (h + rows - 1) // rows
sizes = [len(strip)] * (count - 1) + [len(last)]
data_at = 8
ifd_at = data_at + sum(sizes)
entries = 10
extra_at = ifd_at + 2 + 12 * entries + 4
offsets_at, counts_at, bits_at = extra_at, extra_at + 4 * count, extra_at + 8 * count
def entry(tag, kind, n, value):
    return struct.pack("<HHI", tag, kind, n) + (struct.pack("<I", value) if kind == 4 or n > 2
                                                else struct.pack("<HH", value, 0))
offsets = [data_at + sum(sizes[:i]) for i in range(count)]
tiff = (b"II*\0" + struct.pack("<I", ifd_at) + strip * (count - 1) + last +
        struct.pack("<H", entries) +
        entry(256, 4, 1, w) + entry(257, 4, 1, h) + entry(258, 3, 3, bits_at) +
        entry(259, 3, 1, 8) + entry(262, 3, 1, 2) + entry(273, 4, count, offsets_at) +
        entry(277, 3, 1, 3) + entry(278, 4, 1, rows) + entry(279, 4, count, counts_at) +
        entry(284, 3, 1, 1) + b"\0\0\0\0" +
        struct.pack("<%dI" % count, *offsets) + struct.pack("<%dI" % count, *sizes) +
        struct.pack("<3H", 8, 8, 8))
open("bomb.tif", "wb").write(tiff)
w, h = 20000, 19000
palette = b"\0\0\0\0" + b"\xff\xff\xff\0"
pixels = b"\x00\x01"  # end of the bitmap at once: every pixel index 0
offset = 14 + 40 + len(palette)
bmp = (b"BM" + struct.pack("<IHHI", offset + len(pixels), 0, 0, offset) +
       struct.pack("<IiiHHIIiiII", 40, w, h, 1, 8, 1, len(pixels), 2835, 2835, 2, 0) +
       palette + pixels)
open("bomb.bmp", "wb").write(bmp)
gif = (b"GIF89a" + struct.pack("<HH", w, h) + b"\x80\x00\x00" + b"\x00" * 6 +
       b"," + struct.pack("<HHHH", 0, 0, 1, 1) + b"\x00" + b"\x02\x02\x44\x01\x00" + b";")
open("screen.gif", "wb").write(gif)
PY
# Each case is kept under the budget; what cannot be had within it is named, and the
# good page beside it survives.
while read -r name budget files; do
    case=around-decoding-$name
    options=(--encode "${name##*-}")
    [ "$budget" = 1024 ] || options+=(--max-memory "${budget}M")
    run -o "around-$name.pdf" "${options[@]}" $files good.jpg
    kept=$(pages "around-$name.pdf")
    { { [ $status -eq 0 ] || { [ $status -eq 3 ] && grep -q "allowed for one image" err; }; } &&
        [ "${kept:-0}" -ge 1 ] && clean "around-$name.pdf" && under_budget "$budget"; } && ok ||
        fail "status $status, ${rss} kB: $(cat err)"
done <<'CASES'
tiff-unchanged      1024 bomb.tif
tiffs-png           1024 bomb.tif bomb.tif bomb.tif
tiff-small-png      256  bomb.tif
bmp-unchanged       1024 bomb.bmp
bmps-png            1024 bomb.bmp bomb.bmp bomb.bmp
gif-unchanged       1024 screen.gif
gifs-png            1024 screen.gif screen.gif screen.gif
CASES
# Files far larger than the budget are not read whole to find out what they hold: three
# of 700 MB of nothing, named as JPEGs.
for i in 1 2 3; do truncate -s 700M "sparse$i.jpg"; done
case=sparse-files-small-budget
run -o sparse.pdf --max-memory 64M sparse1.jpg sparse2.jpg sparse3.jpg good.jpg
{ [ $status -eq 3 ] && [ "$(pages sparse.pdf)" = 1 ] && clean sparse.pdf &&
    [ "$(grep -c "sparse[123].jpg.*not an image file" err)" = 3 ] && under_budget 64; } && ok ||
    fail "status $status, ${rss} kB: $(cat err)"
rm -f sparse?.jpg
fi

# A PDF whose page tree holds itself.
python3 - <<'PY'
objs = [b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R 2 0 R] /Count 2 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] >>"]
out = bytearray(b"%PDF-1.7\n")
offsets = []
for i, o in enumerate(objs, 1):
    offsets.append(len(out))
    out += b"%d 0 obj\n" % i + o + b"\nendobj\n"
xref = len(out)
out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objs) + 1)
out += b"".join(b"%010d 00000 n \n" % off for off in offsets)
out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objs) + 1, xref)
open("loop.pdf", "wb").write(out)
PY
case=page-tree-loop
run -o loop-out.pdf loop.pdf good.jpg
{ { [ $status -eq 0 ] || [ $status -eq 3 ]; } && clean loop-out.pdf; } && ok ||
    fail "status $status: $(cat err)"

# --- Signals ----------------------------------------------------------------------
many=()
for i in $(seq 1 40); do many+=(big.jpg); done
for signal in TERM HUP INT; do
    case=signal-$signal
    mkdir "sig-$signal"
    "$cli" -o "sig-$signal/out.pdf" "${many[@]}" >/dev/null 2>"$work/err" &
    pid=$!
    sleep 1.5
    kill -s $signal $pid
    wait $pid
    status=$?
    { [ $status -eq $((128 + $(kill -l $signal))) ] && clean "sig-$signal/out.pdf" &&
        only "sig-$signal" out.pdf; } && ok ||
        fail "status $status: $(cat err)"
done
case=signal-KILL
mkdir sig-KILL
"$cli" -o sig-KILL/out.pdf "${many[@]}" >/dev/null 2>&1 &
pid=$!
sleep 1.5
kill -s KILL $pid
wait $pid 2>/dev/null
only sig-KILL && ok || fail "a killed run left files"

# A reader that stops reading the reports does not stop the run.
case=closed-report-stream
mkdir pipe
"$cli" --json -o pipe/out.pdf good.jpg good.jpg good.jpg 2>/dev/null | head -1 >/dev/null
status=${PIPESTATUS[0]}
{ [ $status -eq 0 ] && [ "$(pages pipe/out.pdf)" = 3 ] && clean pipe/out.pdf; } && ok ||
    fail "status $status"

# --- Files that change underneath --------------------------------------------------
case=truncated-during-run
mkdir shrink
for i in $(seq 1 12); do cp big.jpg "shrink/$i.jpg"; done
"$cli" -o shrink/out.pdf shrink/*.jpg >/dev/null 2>"$work/err" &
pid=$!
# The first file stays whole, so that however slowly the run goes (a sanitizer's pace)
# there is a page to keep.
for i in $(seq 2 12); do
    sleep 0.02
    truncate -s 1000 "shrink/$i.jpg"
done
wait $pid
status=$?
{ [ $status -eq 0 ] || [ $status -eq 3 ]; } && clean shrink/out.pdf &&
    only shrink out.pdf $(seq -f %g.jpg 1 12) && ok || fail "status $status: $(cat err)"

# Little memory: threads that cannot be started leave their work to the run's own.
if [ -z "$sanitized" ]; then
    case=little-memory
    convert -size 2000x1500 xc: +noise Random -quality 90 medium.jpg
    (ulimit -v 160000 && run -o little.pdf medium.jpg medium.jpg medium.jpg medium.jpg \
        medium.jpg medium.jpg && [ $status -eq 0 ]) && [ "$(pages little.pdf)" = 6 ] && ok ||
        fail "$(cat err)"
fi

# --- Output names -------------------------------------------------------------------
mkdir photos
for target in photos photos/ .; do
    case="folder-as-output-$target"
    run -o "$target" good.jpg
    { [ $status -eq 2 ] && grep -q "is a folder" err && only photos; } && ok ||
        fail "status $status: $(cat err)"
done
case=standard-output
mkdir piped
(cd piped && "$cli" -o - ../good.jpg ../good.jpg >"$work/piped.pdf" 2>"$work/err")
status=$?
{ [ $status -eq 0 ] && [ "$(pages "$work/piped.pdf")" = 2 ] && clean "$work/piped.pdf" &&
    only piped; } && ok || fail "status $status: $(cat err)"
# Two runs that chose the same free name: the one that ends later takes the next. A
# dozen large pages keep both runs open across each other's start and end.
case=concurrent-runs
mkdir twice
"$cli" -o twice/same.pdf "${many[@]:0:12}" >"$work/out1" 2>/dev/null &
first=$!
"$cli" -o twice/same.pdf "${many[@]:0:12}" >"$work/out2" 2>/dev/null
second=$?
wait $first
{ [ $? -eq 0 ] && [ $second -eq 0 ] && only twice same.pdf "same (1).pdf" &&
    clean twice/same.pdf && clean "twice/same (1).pdf" &&
    [ "$(LC_ALL=C sort "$work/out1" "$work/out2" | tr '\n' '|')" = "twice/same (1).pdf|twice/same.pdf|" ]; } &&
    ok || fail "$(cat "$work/out1" "$work/out2")"
case=longest-name
mkdir long
name=$(printf 'n%.0s' $(seq 1 251)).pdf
run -o "long/$name" good.jpg
{ [ $status -eq 0 ] && clean "long/$name" && only long "$name"; } && ok ||
    fail "status $status: $(cat err)"
# Names at the limit of 255 bytes: replaced in place, or, when taken, shortened to make
# room for the counter, whole characters only, the extension kept.
mkdir longer
for size in 248 249 250 251 252 253 254 255; do
    case=long-name-$size
    name=$(printf 'n%.0s' $(seq 1 $((size - 4)))).pdf
    printf old >"longer/$name"
    run --overwrite -o "longer/$name" good.jpg
    { [ $status -eq 0 ] && clean "longer/$name" && only longer "$name"; } ||
        fail "--overwrite: status $status: $(cat err)"
    run -o "longer/$name" good.jpg
    numbered=$(cat out)
    numbered=${numbered#longer/}
    { [ $status -eq 0 ] && [ ${#numbered} -le 255 ] && [ "${numbered: -8}" = " (1).pdf" ] &&
        clean "longer/$numbered" && only longer "$name" "$numbered"; } && ok ||
        fail "taken: status $status, '$numbered': $(cat err)"
    rm -f longer/*
done
case=long-name-utf8
name=$(printf '图%.0s' $(seq 1 83)).pdf # 249 + 4 bytes
printf old >"longer/$name"
run -o "longer/$name" good.jpg
numbered=$(cat out)
numbered=${numbered#longer/}
{ [ $status -eq 0 ] && [ "$numbered" = "$(printf '图%.0s' $(seq 1 82)) (1).pdf" ] &&
    clean "longer/$numbered"; } && ok || fail "status $status, '$numbered': $(cat err)"

# The desktop program's runner names its documents the same way: one PDF beside a
# picture whose name is as long as names go, the PDF's name taken.
case=long-name-per-image
mkdir per-image
base=$(printf 'p%.0s' $(seq 1 251))
cp good.jpg "per-image/$base.jpg"
printf old >"per-image/$base.pdf"
run --mode per-image "per-image/$base.jpg"
{ [ $status -eq 0 ] && clean "per-image/${base:0:247} (1).pdf" &&
    only per-image "$base.jpg" "$base.pdf" "${base:0:247} (1).pdf"; } && ok ||
    fail "status $status: $(cat err) $(ls per-image)"

# Runs killed at once (SIGKILL) that replace a file or write to standard output: the old
# file stays as it was and nothing is left beside it or in the temporary folder.
mkdir killed killed-tmp
printf old >killed/out.pdf
for how in overwrite piped; do
    case=killed-$how
    if [ $how = overwrite ]; then
        TMPDIR="$work/killed-tmp" "$cli" --overwrite -o killed/out.pdf "${many[@]}" >/dev/null 2>&1 &
    else
        (cd killed && TMPDIR="$work/killed-tmp" exec "$cli" -o - "${many[@]/#/../}" >/dev/null 2>&1) &
    fi
    pid=$!
    sleep 1.5
    kill -s KILL $pid
    wait $pid 2>/dev/null
    { only killed out.pdf && only killed-tmp && [ "$(cat killed/out.pdf)" = old ]; } && ok ||
        fail "a killed run left files"
done

# A settings file that is no file (a FIFO would block its reader for ever): refused with
# a message, the defaults apply and the FIFO stays.
case=settings-fifo
mkdir -p settings/Velmar
mkfifo settings/Velmar/Folimo.conf
start=$(date +%s%N)
XDG_CONFIG_HOME="$work/settings" run --use-saved-settings -o settings-fifo.pdf good.jpg
ms=$((($(date +%s%N) - start) / 1000000))
{ [ $status -eq 0 ] && grep -q "Folimo.conf is not a regular file" err && [ $ms -lt 10000 ] &&
    [ -p settings/Velmar/Folimo.conf ] && clean settings-fifo.pdf; } && ok ||
    fail "status $status, ${ms} ms: $(cat err)"

case=folder-cannot-be-made
touch afile
run -o afile/sub/out.pdf good.jpg
{ [ $status -eq 1 ] && grep -q "cannot create the folder afile/sub" err; } && ok ||
    fail "status $status: $(cat err)"

echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
