# shellcheck shell=bash disable=SC2034,SC2154
# Timing helpers shared by bench/run.sh and bench/floor.sh; sourced, not run.
# Expects $work (a scratch folder; out*.pdf and out.* in it are removed before each run)
# and RUNS (how many runs each figure is the best of).

# measure NAME COMMAND...: the best wall time of RUNS runs and the peak memory of that run,
# printed and left in last_wall (seconds) and last_rss (kB). A command that starts
# processes of its own and sums their peaks itself says so on standard error as
# "peak-rss-kb: N"; /usr/bin/time sees only the largest of them. A failed command is
# reported and leaves both empty, so the figures of the others still come out.
measure() {
    local name=$1; shift
    local best_wall="" best_rss="" run
    last_wall=""
    last_rss=""
    for ((run = 0; run < RUNS; run++)); do
        rm -f "$work"/out*.pdf "$work"/out.*
        if ! /usr/bin/time -v -o "$work/time.txt" "$@" >/dev/null 2>"$work/err.txt"; then
            printf '%-46s failed:\n' "$name"
            sed 's/^/    /' "$work/err.txt" | tail -5
            return 0
        fi
        local wall rss
        wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {n=split($2,a,":"); s=0;
               for(i=1;i<=n;i++) s=s*60+a[i]; print s}' "$work/time.txt")
        rss=$(awk -F': ' '/^peak-rss-kb: / {print $2}' "$work/err.txt" | tail -1)
        [ -n "$rss" ] || rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt")
        if [ -z "$best_wall" ] || awk -v a="$wall" -v b="$best_wall" 'BEGIN{exit !(a<b)}'; then
            best_wall=$wall; best_rss=$rss
        fi
    done
    printf '%-46s %8.2f s %9.1f MB\n' "$name" "$best_wall" "$(echo "$best_rss/1024" | bc -l)"
    last_wall=$best_wall
    last_rss=$best_rss
}

# ratio A B: A / B with two decimals, or n/a when either is missing or B is zero.
ratio() {
    if [ -z "${1:-}" ] || [ -z "${2:-}" ] || awk -v b="$2" 'BEGIN{exit !(b == 0)}'; then
        echo "n/a"
    else
        awk -v a="$1" -v b="$2" 'BEGIN{printf "%.2f", a / b}'
    fi
}
