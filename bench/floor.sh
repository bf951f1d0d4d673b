#!/usr/bin/env bash
# folimo-cli's conversions beside the decoding floor and peer tools, on the same files in
# the same run.
#   bench/floor.sh [--quick] [CORPUS_DIR]
# For each set of files: folimo-cli with its default settings (re-encoding as JPEG
# quality 30) and with --encode unchanged; bench_floor (decode and re-encode at quality 30,
# 4:2:0, on libjpeg-turbo alone, one process per core); Pillow re-encoding at quality 30
# with img2pdf making the PDF; ImageMagick's convert -quality 30; img2pdf with the files
# unchanged. Then folimo-cli's peak memory for 1,000 inputs against 200.
# Environment: SETS (default "jpg top40 large png"), RUNS (best of, default 3; 1 with
# --quick), QUICK_FILES (files per set with --quick, default 3), BUILD (default
# build-bench, configured and built here unless FOLIMO_BENCH_BUILT=1).
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
quick=0
if [ "${1:-}" = "--quick" ]; then quick=1; shift; fi
corpus=${1:-${CORPUS:-/tmp/folimo-corpus}}
SETS=${SETS:-jpg top40 large png}
QUICK_FILES=${QUICK_FILES:-3}
[ "$QUICK_FILES" -ge 1 ] || QUICK_FILES=1
if [ "$quick" = 1 ]; then RUNS=${RUNS:-1}; else RUNS=${RUNS:-3}; fi
build=${BUILD:-$top/build-bench}
work=$(mktemp -d /tmp/folimo-floor-XXXXXX)
trap 'rm -rf "$work"' EXIT
# shellcheck source=bench/measure.sh
source "$top/bench/measure.sh"

if [ "${FOLIMO_BENCH_BUILT:-0}" != 1 ]; then
    cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
        >/dev/null
    cmake --build "$build" --target folimo-cli bench_floor >/dev/null
fi
cli="$build/cli/folimo-cli"
floor="$build/bench/bench_floor"
cores=$(nproc)
[ -d "$corpus/jpg" ] || { echo "no corpus at $corpus" >&2; exit 1; }
for set in $SETS; do
    case $set in
        jpg | top40 | large | png) ;;
        *) echo "unknown set $set (jpg, top40, large, png)" >&2; exit 1 ;;
    esac
done

# Every photograph with its pixel count, largest first; the header is enough. (One
# photograph's XMP packet is malformed, which identify reports and reads past.)
mapfile -t by_size < <(find "$corpus/jpg" -name '*.jpg' -print0 | sort -z |
    xargs -0 identify -ping -format '%w %h %i\n' 2>/dev/null |
    while read -r w h path; do echo "$((w * h)) $path"; done | sort -s -k1,1nr)

# pick SET: the files of SET into the array files, and its description into what.
pick() {
    files=()
    case $1 in
        jpg)
            mapfile -t files < <(find "$corpus/jpg" -name '*.jpg' | sort)
            what="the photographs of jpg/" ;;
        top40)
            mapfile -t files < <(printf '%s\n' "${by_size[@]:0:40}" | cut -d' ' -f2-)
            what="the 40 photographs with the most pixels" ;;
        large)
            mapfile -t files < <(find "$corpus/large" -name '*.jpg' | sort)
            what="the JPEGs of large/, 20 MP and more" ;;
        png)
            mapfile -t files < <(find "$corpus/large" -name '*.png' | sort)
            what="the PNGs of large/, 20 MP and more" ;;
    esac
    if [ "$quick" = 1 ] && [ "${#files[@]}" -gt "$QUICK_FILES" ]; then
        # Spread over the set rather than its first few, so the sizes still vary.
        local step=$(( ${#files[@]} / QUICK_FILES )) i chosen=()
        for ((i = 0; i < QUICK_FILES; i++)); do chosen+=("${files[i * step]}"); done
        files=("${chosen[@]}")
    fi
}

# ratios LABEL FOLIMO_WALL FOLIMO_RSS PEER_WALL PEER_RSS
ratios() {
    printf '  %-44s %8s   %8s\n' "$1" "$(ratio "$2" "$4")" "$(ratio "$3" "$5")"
}

compare() {
    local set=$1
    pick "$set"
    [ "${#files[@]}" -gt 0 ] || { echo "== $set: no files"; echo; return 0; }
    local mp bytes
    mp=$(identify -ping -format '%w %h\n' "${files[@]}" 2>/dev/null |
        awk '{s += $1 * $2} END{printf "%.0f", s / 1e6}')
    bytes=$(du -cb "${files[@]}" | awk 'END{printf "%.0f", $1/1e6}')
    cat "${files[@]}" >/dev/null  # into the page cache before the first run
    echo "== $set ($what): ${#files[@]} files, $mp MP, $bytes MB"
    local n=${#files[@]}
    measure "folimo-cli, default (JPEG q30)" "$cli" -q -o "$work/out.pdf" "${files[@]}"
    local f_wall=$last_wall f_rss=$last_rss
    measure "folimo-cli, --encode unchanged" \
        "$cli" -q --encode unchanged -o "$work/out.pdf" "${files[@]}"
    local u_wall=$last_wall u_rss=$last_rss
    measure "floor: TurboJPEG q30 4:2:0, $cores processes" \
        "$floor" -j "$cores" -q 30 -o "$work/out" "${files[@]}"
    local fl_wall=$last_wall fl_rss=$last_rss
    measure "Pillow q30 + img2pdf, 1 process" \
        /usr/bin/python3 "$top/bench/pillow_pdf.py" 30 "$work/out-pil.pdf" "${files[@]}"
    local p_wall=$last_wall p_rss=$last_rss
    measure "ImageMagick convert -quality 30" \
        "$top/bench/imagemagick/convert.sh" "${files[@]}" -quality 30 "$work/out-im.pdf"
    local m_wall=$last_wall m_rss=$last_rss
    measure "img2pdf, unchanged" img2pdf -o "$work/out-img2pdf.pdf" "${files[@]}"
    local i_wall=$last_wall i_rss=$last_rss
    if [ -n "$f_wall" ]; then
        printf '%-46s %8.1f images/s\n' "folimo-cli, default" "$(echo "$n/$f_wall" | bc -l)"
    fi
    printf '  %-44s %8s   %8s\n' "folimo-cli / peer (below 1: folimo-cli less)" time memory
    ratios "default / floor" "$f_wall" "$f_rss" "$fl_wall" "$fl_rss"
    ratios "default / Pillow + img2pdf" "$f_wall" "$f_rss" "$p_wall" "$p_rss"
    ratios "default / ImageMagick" "$f_wall" "$f_rss" "$m_wall" "$m_rss"
    ratios "unchanged / img2pdf" "$u_wall" "$u_rss" "$i_wall" "$i_rss"
    echo
}

echo "machine: $cores cores, $(free -g | awk '/Mem:/ {print $2}') GiB," \
    "load $(cut -d' ' -f1-3 /proc/loadavg); $(date -u '+%F %H:%M') UTC"
if [ "$quick" = 1 ]; then
    echo "best of $RUNS runs each; quick: at most $QUICK_FILES files per set" \
        "(for trying the harness; its figures are not to be compared)"
else
    echo "best of $RUNS runs each"
fi
echo
for set in $SETS; do compare "$set"; done

# The pipeline prepares images ahead on other threads; its memory must stay bounded
# however long the list: the photographs five times over against once.
pick jpg
thousand=()
for _ in 1 2 3 4 5; do thousand+=("${files[@]}"); done
echo "== memory: ${#thousand[@]} inputs (the ${#files[@]} photographs five times)" \
    "against ${#files[@]}"
for how in default unchanged; do
    args=(-q -o "$work/out.pdf")
    [ "$how" = unchanged ] && args+=(--encode unchanged)
    measure "folimo-cli, ${#files[@]} JPEG, $how" "$cli" "${args[@]}" "${files[@]}"
    small_rss=$last_rss
    measure "folimo-cli, ${#thousand[@]} JPEG, $how" "$cli" "${args[@]}" "${thousand[@]}"
    printf '  %-44s %8s\n' "peak memory ${#thousand[@]} / ${#files[@]} inputs" \
        "$(ratio "$last_rss" "$small_rss")"
done
