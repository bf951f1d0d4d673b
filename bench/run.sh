#!/usr/bin/env bash
# Measures folimo-cli beside peer tools on the same photographs in the same run.
#   bench/run.sh [CORPUS_DIR]
# The corpus (real photographs from Debian's wallpaper packages) is built by
# ../shared/bench/make_corpus.sh when CORPUS_DIR does not hold one yet.
# Prints, per case, wall seconds and peak memory (/usr/bin/time -v) and the ratios.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
corpus=${1:-${CORPUS:-/tmp/folimo-corpus}}
work=$(mktemp -d /tmp/folimo-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT

bash "$top/scripts/install-deps.sh"
if [ ! -d "$corpus/jpg" ]; then
    maker="$top/../shared/bench/make_corpus.sh"
    [ -x "$maker" ] || { echo "no corpus at $corpus and no $maker to build one" >&2; exit 1; }
    bash "$maker" "$corpus"
fi
build="$top/build-bench"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target folimo-cli bench_list_info bench_window_convert folimo_program >/dev/null
cli="$build/cli/folimo-cli"

mapfile -t jpgs < <(find "$corpus/jpg" -name '*.jpg' | sort)
# 1,000 inputs: the photographs five times over.
thousand=()
for _ in 1 2 3 4 5; do thousand+=("${jpgs[@]}"); done

# measure NAME COMMAND...: best wall time of 3 runs and the peak memory of that run.
measure() {
    local name=$1; shift
    local best_wall="" best_rss=""
    for _ in 1 2 3; do
        rm -f "$work"/out*.pdf
        /usr/bin/time -v -o "$work/time.txt" "$@" >/dev/null 2>"$work/err.txt" || {
            echo "$name failed:"; cat "$work/err.txt"; return 1; }
        local wall rss
        wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {n=split($2,a,":"); s=0;
               for(i=1;i<=n;i++) s=s*60+a[i]; print s}' "$work/time.txt")
        rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt")
        if [ -z "$best_wall" ] || awk -v a="$wall" -v b="$best_wall" 'BEGIN{exit !(a<b)}'; then
            best_wall=$wall; best_rss=$rss
        fi
    done
    printf '%-42s %8.2f s %8.1f MB\n' "$name" "$best_wall" "$(echo "$best_rss/1024" | bc -l)"
    last_wall=$best_wall
    last_rss=$best_rss
}

echo "machine: $(nproc) cores, $(free -g | awk '/Mem:/ {print $2}') GiB; $(date -u +%F)"
echo "corpus: ${#jpgs[@]} JPEG photographs, $(du -sh "$corpus/jpg" | cut -f1)"
echo

measure "folimo-cli, ${#jpgs[@]} JPEG, unchanged" "$cli" -q --encode unchanged -o "$work/out.pdf" "${jpgs[@]}"
f_wall=$last_wall
measure "img2pdf, ${#jpgs[@]} JPEG" img2pdf -o "$work/out-img2pdf.pdf" "${jpgs[@]}"
i_wall=$last_wall
printf '%-42s %8.1f x\n' "img2pdf / folimo-cli" "$(echo "$i_wall/$f_wall" | bc -l)"
echo
measure "folimo-cli, ${#jpgs[@]} JPEG, unchanged" "$cli" -q --encode unchanged -o "$work/out.pdf" "${jpgs[@]}"
small_rss=$last_rss
measure "folimo-cli, ${#thousand[@]} JPEG, unchanged" "$cli" -q --encode unchanged -o "$work/out.pdf" "${thousand[@]}"
printf '%-42s %8.2f\n' "peak memory 1,000 / 200 inputs" "$(echo "$last_rss/$small_rss" | bc -l)"
echo

# The default settings re-encode every image as JPEG at quality 30.
measure "folimo-cli, ${#jpgs[@]} JPEG, default (JPEG q30)" "$cli" -q -o "$work/out.pdf" "${jpgs[@]}"
f_wall=$last_wall
printf '%-42s %8.1f images/s\n' "" "$(echo "${#jpgs[@]}/$f_wall" | bc -l)"
measure "ImageMagick convert -quality 30, ${#jpgs[@]} JPEG" \
    "$top/bench/imagemagick/convert.sh" "${jpgs[@]}" -quality 30 "$work/out-im.pdf"
m_wall=$last_wall
printf '%-42s %8.1f images/s\n' "" "$(echo "${#jpgs[@]}/$m_wall" | bc -l)"
printf '%-42s %8.1f x\n' "ImageMagick / folimo-cli" "$(echo "$m_wall/$f_wall" | bc -l)"
echo

# The pipeline prepares images ahead on other threads; its memory must stay bounded
# however long the list.
measure "folimo-cli, ${#jpgs[@]} JPEG, default" "$cli" -q -o "$work/out.pdf" "${jpgs[@]}"
small_rss=$last_rss
measure "folimo-cli, ${#thousand[@]} JPEG, default" "$cli" -q -o "$work/out.pdf" "${thousand[@]}"
printf '%-42s %8.2f\n' "peak memory 1,000 / 200 inputs" "$(echo "$last_rss/$small_rss" | bc -l)"
echo

# The image list reads each added file's size and resolution on a thread of its own;
# the window's thread must keep running meanwhile. The peer reads the same headers.
"$build/bench/bench_list_info" --times 5 "${jpgs[@]}"
measure "image list information, ${#thousand[@]} JPEG" "$build/bench/bench_list_info" --times 5 "${jpgs[@]}"
l_wall=$last_wall
measure "ImageMagick identify -ping, ${#thousand[@]} JPEG" \
    identify -ping -format '%w %h %x\n' "${thousand[@]}"
printf '%-42s %8.1f x\n' "identify / image list" "$(echo "$last_wall/$l_wall" | bc -l)"
echo

# A conversion from the desktop program's window against folimo-cli with the same
# (saved, here empty) settings: the window may add no more than a few per cent, and its
# thread must never stall long.
export XDG_CONFIG_HOME="$work/config"
QT_QPA_PLATFORM=offscreen "$build/bench/bench_window_convert" "$work/out-w.pdf" "${jpgs[@]}" 2>/dev/null
rm -f "$work/out-w.pdf"
measure "window, ${#jpgs[@]} JPEG, one document" \
    env QT_QPA_PLATFORM=offscreen "$build/bench/bench_window_convert" "$work/out-w.pdf" "${jpgs[@]}"
w_wall=$last_wall
measure "folimo-cli --use-saved-settings, ${#jpgs[@]} JPEG" \
    "$cli" -q --use-saved-settings -o "$work/out-c.pdf" "${jpgs[@]}"
printf '%-42s %8.3f\n' "window / folimo-cli" "$(echo "$w_wall/$last_wall" | bc -l)"
echo

# The desktop program's start-up on Xvfb, until its main window is mapped (goal: 0.5 s),
# and its end on SIGTERM.
bash "$top/bench/startup.sh" "$build/bin/folimo" 10
