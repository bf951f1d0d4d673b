#!/usr/bin/env bash
# Measures folimo-cli beside peer tools and the decoding floor on the same photographs in
# the same run, then the image list, a conversion from the window and the start-up.
#   bench/run.sh [--quick] [CORPUS_DIR]
# The corpus (real photographs from Debian's wallpaper packages) is built by
# ../shared/bench/make_corpus.sh when CORPUS_DIR does not hold one yet.
# Prints, per case, wall seconds and peak memory (/usr/bin/time -v) and the ratios.
# --quick takes a few files per set and one run of each, to try the harness out; the
# environment variables of bench/floor.sh (SETS, RUNS, QUICK_FILES) apply.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
quick=0
if [ "${1:-}" = "--quick" ]; then quick=1; shift; fi
corpus=${1:-${CORPUS:-/tmp/folimo-corpus}}
if [ "$quick" = 1 ]; then RUNS=${RUNS:-1}; else RUNS=${RUNS:-3}; fi
QUICK_FILES=${QUICK_FILES:-3}
work=$(mktemp -d /tmp/folimo-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
# shellcheck source=bench/measure.sh
source "$top/bench/measure.sh"

bash "$top/scripts/install-deps.sh"
if [ ! -d "$corpus/jpg" ]; then
    maker="$top/../shared/bench/make_corpus.sh"
    [ -x "$maker" ] || { echo "no corpus at $corpus and no $maker to build one" >&2; exit 1; }
    bash "$maker" "$corpus"
fi
build="$top/build-bench"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target folimo-cli bench_floor bench_list_info bench_window_convert \
    folimo_program >/dev/null
cli="$build/cli/folimo-cli"

# The conversions: each set of files through folimo-cli, the floor and the peers, and
# the memory of long lists.
quick_arg=()
[ "$quick" = 1 ] && quick_arg=(--quick)
RUNS=$RUNS QUICK_FILES=$QUICK_FILES BUILD=$build FOLIMO_BENCH_BUILT=1 \
    bash "$top/bench/floor.sh" "${quick_arg[@]}" "$corpus"

mapfile -t jpgs < <(find "$corpus/jpg" -name '*.jpg' | sort)
if [ "$quick" = 1 ]; then jpgs=("${jpgs[@]:0:$QUICK_FILES}"); fi
# 1,000 inputs: the photographs five times over.
thousand=()
for _ in 1 2 3 4 5; do thousand+=("${jpgs[@]}"); done

# The image list reads each added file's size and resolution on a thread of its own;
# the window's thread must keep running meanwhile. The peer reads the same headers.
"$build/bench/bench_list_info" --times 5 "${jpgs[@]}"
measure "image list information, ${#thousand[@]} JPEG" \
    "$build/bench/bench_list_info" --times 5 "${jpgs[@]}"
l_wall=$last_wall
measure "ImageMagick identify -ping, ${#thousand[@]} JPEG" \
    identify -ping -format '%w %h %x\n' "${thousand[@]}"
printf '%-46s %8s x\n' "identify / image list" "$(ratio "$last_wall" "$l_wall")"
echo

# A conversion from the desktop program's window against folimo-cli with the same
# (saved, here empty) settings: the window may add no more than a tenth, and its thread
# must never stall long. Many small files weigh the window's share per file (the log,
# the counters) against little work; the photographs weigh its share of the cores.
export XDG_CONFIG_HOME="$work/config"
small_count=$([ "$quick" = 1 ] && echo 30 || echo 3000)
mkdir -p "$work/small"
for seed in 0 1 2 3 4 5 6 7 8 9; do
    convert -seed "$seed" -size 320x240 plasma:fractal -quality 85 "$work/small/seed$seed.jpg"
done
smalls=()
for ((i = 0; i < small_count; i++)); do
    smalls+=("$work/small/$(printf '%04d' "$i").jpg")
    cp "$work/small/seed$((i % 10)).jpg" "${smalls[-1]}"
done
rm -f "$work"/small/seed*.jpg
# The window is timed from its start on the filled-in list to the run's end (what a
# person waits for after the click), as bench_window_convert prints it; the whole
# process, with Qt's start and the list's reading, is shown beside it.
window_against_cli() {
    local what=$1
    shift
    local best="" run seconds
    for ((run = 0; run <= RUNS; run++)); do
        rm -f "$work/out-w.pdf"
        seconds=$(QT_QPA_PLATFORM=offscreen "$build/bench/bench_window_convert" \
            "$work/out-w.pdf" "$@" 2>/dev/null | sed -n 's/.*document: \([0-9.]*\) s.*/\1/p')
        # The first run only warms the file cache.
        [ "$run" -gt 0 ] && [ -n "$seconds" ] || continue
        if [ -z "$best" ] || awk -v a="$seconds" -v b="$best" 'BEGIN{exit !(a<b)}'; then
            best=$seconds
        fi
    done
    printf '%-46s %8.2f s\n' "window, $what, from the click" "${best:-0}"
    measure "window process, $what" \
        env QT_QPA_PLATFORM=offscreen "$build/bench/bench_window_convert" "$work/out-w.pdf" "$@"
    measure "folimo-cli --use-saved-settings, $what" \
        "$cli" -q --use-saved-settings -o "$work/out-c.pdf" "$@"
    printf '%-46s %8s\n' "window from the click / folimo-cli" "$(ratio "$best" "$last_wall")"
    echo
}
window_against_cli "${#jpgs[@]} JPEG" "${jpgs[@]}"
window_against_cli "${#smalls[@]} small JPEG" "${smalls[@]}"

# The desktop program's start-up on Xvfb, until its main window is mapped (goal: 0.5 s),
# and its end on SIGTERM.
bash "$top/bench/startup.sh" "$build/bin/folimo" "$([ "$quick" = 1 ] && echo 3 || echo 10)"
