#!/usr/bin/env bash
# Searchable PDFs: folimo-cli --ocr beside Tesseract's own command line (the floor) and
# OCRmyPDF, on the same made scans in the same run, with the accuracy and the size of the
# text layer.
#   bench/ocr.sh [--quick]
# The pages (A4, 300 dpi, made to look scanned, with their ground truth) are made by
# bench/ocr_pages.py into PAGES (default /tmp/folimo-ocr-pages) and kept there until the
# texts or the maker change. Every case runs RUNS times (default 3), the cases taking
# turns; each prints its median and fastest wall time. --quick: one run, English only.
# Environment: RUNS, LANGS (default "eng chi_sim"), PAGES, BUILD (default build-bench,
# configured and built here unless FOLIMO_BENCH_BUILT=1), CLI (a folimo-cli to measure
# instead of BUILD's), SKIP (cases left out: "omp" the floor's OpenMP way, "ocrmypdf").
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
quick=0
if [ "${1:-}" = "--quick" ]; then quick=1; shift; fi
if [ "$quick" = 1 ]; then RUNS=${RUNS:-1}; LANGS=${LANGS:-eng}; fi
RUNS=${RUNS:-3}
LANGS=${LANGS:-eng chi_sim}
pages=${PAGES:-/tmp/folimo-ocr-pages}
build=${BUILD:-$top/build-bench}
texts="$top/bench/ocr_texts"
cores=$(nproc)
work=$(mktemp -d /tmp/folimo-ocr-XXXXXX)
trap 'rm -rf "$work"' EXIT

bash "$top/scripts/install-deps.sh"
if [ -n "${CLI:-}" ]; then
    cli=$CLI
else
    if [ "${FOLIMO_BENCH_BUILT:-0}" != 1 ]; then
        cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
            >/dev/null
        cmake --build "$build" --target folimo-cli >/dev/null
    fi
    cli="$build/cli/folimo-cli"
fi

# The pages take minutes to make; they are made again only when what makes them changed.
stamp=$(cat "$top/bench/ocr_pages.py" "$texts"/*.txt | md5sum | cut -d' ' -f1)
if [ "$(cat "$pages/stamp" 2>/dev/null)" != "$stamp" ]; then
    rm -rf "$pages"
    python3 "$top/bench/ocr_pages.py" "$pages" "$texts" >/dev/null
    echo "$stamp" >"$pages/stamp"
fi

ocr=1
"$cli" --help 2>&1 | grep -q -- '--ocr' || ocr=0
ocrmypdf=1
command -v ocrmypdf >/dev/null || ocrmypdf=0

# timed NAME COMMAND...: one run; its wall seconds are added to the list of NAME, and its
# peak memory (of the process or of the largest one it waited for) to that of NAME. A
# failed run is reported, adds nothing and returns 1.
declare -A walls=() peaks=()
timed() {
    local name=$1
    shift
    if ! /usr/bin/time -f '%e %M' -o "$work/time.txt" "$@" >/dev/null 2>"$work/err.txt"; then
        printf '%-50s failed (run %d):\n' "$name" "$run"
        sed 's/^/    /' "$work/err.txt" | tail -5
        return 1
    fi
    local wall kb
    read -r wall kb <"$work/time.txt"
    walls[$name]="${walls[$name]:-} $wall"
    [ "${peaks[$name]:-0}" -ge "$kb" ] || peaks[$name]=$kb
}

# skipped CASE: whether SKIP names CASE.
skipped() { [[ " ${SKIP:-} " == *" $1 "* ]]; }

# stats NAME: "median min" of NAME's runs, or nothing.
stats() {
    [ -n "${walls[$1]:-}" ] || return 0
    # shellcheck disable=SC2086 # the list is words on purpose
    printf '%s\n' ${walls[$1]} | sort -g | awk '{v[NR] = $1}
        END {if (NR) printf "%.2f %.2f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2, v[1]}'
}

# row LABEL NAME [ratios]: NAME's median and fastest, its highest peak memory, and with
# "ratios" both times over the floor's.
row() {
    local med min mb
    read -r med min <<<"$(stats "$2")" || true
    if [ -z "${med:-}" ]; then
        skipped "$2" || printf '%-50s %15s\n' "$1" "no run finished"
        return 0
    fi
    mb=$(awk -v k="${peaks[$2]}" 'BEGIN{printf "%.0f", k / 1024}')
    if [ -n "${3:-}" ]; then
        printf '%-50s %7s %7s %6s MB   / floor %s, fastest %s\n' "$1" "$med" "$min" "$mb" \
            "$(ratio "$med" "${floor_med:-}")" "$(ratio "$min" "${floor_min:-}")"
    else
        printf '%-50s %7s %7s %6s MB\n' "$1" "$med" "$min" "$mb"
    fi
}

ratio() {
    if [ -z "${1:-}" ] || [ -z "${2:-}" ]; then echo "n/a"; else
        awk -v a="$1" -v b="$2" 'BEGIN{printf "%.2f", a / b}'
    fi
}

# The floor: Tesseract's command line with its default settings, one process per core,
# plain text out. Debian builds it with OpenMP, which helps one page but fights the
# other processes for the cores; both ways are measured and the faster is the floor.
# shellcheck disable=SC2016 # expanded by the sh that xargs starts for each page
page_cmd='tesseract "$1" "$2/$(basename "$1" .jpg)" -l "$3"'

# pdf_pages PDF OUT_DIR NAMES...: the text pdftotext finds on each page, as NAME.txt.
pdf_pages() {
    local pdf=$1 out=$2 i=1 name
    shift 2
    mkdir -p "$out"
    for name in "$@"; do
        pdftotext -enc UTF-8 -f "$i" -l "$i" "$pdf" "$out/$name.txt"
        i=$((i + 1))
    done
}

size() { stat -c %s "$1"; }

echo "machine: $cores cores, $(free -g | awk '/Mem:/ {print $2}') GiB," \
    "load $(cut -d' ' -f1-3 /proc/loadavg); $(date -u '+%F %H:%M') UTC"
echo "$RUNS runs of each case, in turns; wall seconds: median, fastest; the highest peak" \
    "memory of one process"
[ "$ocr" = 1 ] || echo "folimo-cli has no --ocr: only the floor and the peers are measured"
[ "$ocrmypdf" = 1 ] || echo "ocrmypdf is not installed: it is left out"
echo

for lang in $LANGS; do
    case $lang in
        eng) prefix=en ;;
        chi_sim) prefix=zh ;;
        *) echo "no pages for $lang (eng, chi_sim)" >&2; exit 1 ;;
    esac
    files=("$pages/$prefix"-*.jpg)
    names=()
    for f in "${files[@]}"; do names+=("$(basename "$f" .jpg)"); done
    bytes=$(du -cb "${files[@]}" | awk 'END{printf "%.1f", $1/1e6}')
    echo "== $lang: ${#files[@]} pages of 2480 x 3508 at 300 dpi, grey JPEG, $bytes MB"
    cat "${files[@]}" >/dev/null # into the page cache before the first run
    printf '%s\n' "${files[@]}" >"$work/list"
    img2pdf -o "$work/in.pdf" "${files[@]}"
    walls=() peaks=()
    for ((run = 1; run <= RUNS; run++)); do
        # Only the last run's results are scored, and only when that run succeeded.
        rm -rf "$work"/floor* "$work"/folimo* "$work"/ocrmypdf*
        mkdir -p "$work/floor" "$work/floor1"
        # OCRmyPDF lowers its own priority by 5; the others run at that priority too, so
        # that other work on the machine takes the same share from each.
        if ! skipped omp; then
            timed omp nice -n 5 env -u OMP_THREAD_LIMIT xargs -a "$work/list" -P "$cores" \
                -I{} sh -c "$page_cmd" _ {} "$work/floor" "$lang" || rm -rf "$work/floor"
        fi
        timed one nice -n 5 env OMP_THREAD_LIMIT=1 xargs -a "$work/list" -P "$cores" -I{} \
            sh -c "$page_cmd" _ {} "$work/floor1" "$lang" || rm -rf "$work/floor1"
        if [ "$ocr" = 1 ]; then
            timed folimo nice -n 5 "$cli" -q --ocr "$lang" -o "$work/folimo.pdf" "${files[@]}" ||
                rm -f "$work/folimo.pdf"
        fi
        if [ "$ocrmypdf" = 1 ] && ! skipped ocrmypdf; then
            timed ocrmypdf ocrmypdf -q -l "$lang" "$work/in.pdf" "$work/ocrmypdf.pdf" ||
                rm -f "$work/ocrmypdf.pdf"
        fi
    done
    read -r omp_med omp_min <<<"$(stats omp)" || true
    read -r one_med one_min <<<"$(stats one)" || true
    row "tesseract CLI, $cores processes, OpenMP on" omp
    row "tesseract CLI, $cores processes, OMP_THREAD_LIMIT=1" one
    # The faster way of the two, by median, is the floor.
    floor_med=${omp_med:-} floor_min=${omp_min:-} floor_how="OpenMP on"
    if [ -n "${one_med:-}" ] && { [ -z "$floor_med" ] ||
        awk -v a="$one_med" -v b="$floor_med" 'BEGIN{exit !(a<b)}'; }; then
        floor_med=$one_med floor_min=$one_min floor_how="OMP_THREAD_LIMIT=1"
    fi
    echo "  the floor is the tesseract CLI with $floor_how$(skipped omp && echo " (OpenMP on left out)")"
    [ "$ocr" = 1 ] && row "folimo-cli --ocr $lang" folimo ratios
    [ "$ocrmypdf" = 1 ] && row "ocrmypdf -l $lang (img2pdf's PDF in)" ocrmypdf ratios
    echo "  goal: folimo-cli / floor 1.00 at most"

    echo "-- accuracy: the truth found in order (words; Chinese: characters), goal 99.5 %"
    for floor_dir in "$work/floor1" "$work/floor"; do
        if [ -d "$floor_dir" ]; then
            python3 "$top/bench/ocr_score.py" "$texts" "$floor_dir" "tesseract CLI "
            break
        fi
    done
    if [ -f "$work/folimo.pdf" ]; then
        pdf_pages "$work/folimo.pdf" "$work/folimo-text" "${names[@]}"
        python3 "$top/bench/ocr_score.py" "$texts" "$work/folimo-text" "folimo-cli "
    fi
    if [ -f "$work/ocrmypdf.pdf" ]; then
        pdf_pages "$work/ocrmypdf.pdf" "$work/ocrmypdf-text" "${names[@]}"
        python3 "$top/bench/ocr_score.py" "$texts" "$work/ocrmypdf-text" "ocrmypdf "
    fi

    if [ -f "$work/folimo.pdf" ]; then
        echo "-- size: what the text layer adds (goal under 5 %)"
        "$cli" -q -o "$work/folimo-plain.pdf" "${files[@]}"
        "$cli" -q --encode unchanged -o "$work/folimo-unchanged.pdf" "${files[@]}"
        "$cli" -q --encode unchanged --ocr "$lang" -o "$work/folimo-unchanged-ocr.pdf" \
            "${files[@]}"
        for how in "default settings:folimo-plain:folimo" \
            "--encode unchanged:folimo-unchanged:folimo-unchanged-ocr"; do
            IFS=: read -r label plain with <<<"$how"
            a=$(size "$work/$plain.pdf")
            b=$(size "$work/$with.pdf")
            printf '  %-26s %10d bytes without, %10d with: +%s %%\n' "$label" "$a" "$b" \
                "$(awk -v a="$a" -v b="$b" 'BEGIN{printf "%.2f", 100 * (b - a) / a}')"
        done
        for pdf in folimo folimo-unchanged-ocr; do
            n=$(pdfinfo "$work/$pdf.pdf" | awk '/^Pages:/ {print $2}')
            if qpdf --check "$work/$pdf.pdf" >"$work/qpdf.txt" 2>&1; then check=clean; else
                check="NOT clean: $(grep -m1 -iE 'warn|error' "$work/qpdf.txt" || true)"
            fi
            echo "  $pdf.pdf: $n pages, qpdf --check $check"
        done
    fi
    echo
done
