#!/usr/bin/env bash
# The desktop program's start-up time: from launching it on a virtual X server (Xvfb)
# until its main window ("VelmarFolimo") is mapped, seen as the MapNotify event on the
# root window (xev), so no polling interval adds to the figure. Then SIGTERM, and the
# time until the process has ended. One unmeasured start first (page cache, fonts).
#   bench/startup.sh [PROGRAM] [RUNS]      defaults: build/bin/folimo, 10
# Prints each run, the minimum, median and maximum, and whether every start met the
# goal: the window within 0.5 s (GOAL_MS).
# FILES=N starts it with a folder of N small pictures on its command line, as a desktop's
# "open with" does: the window must not wait for the folder to be listed.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
program=$(realpath "${1:-$top/build/bin/folimo}")
runs=${2:-10}
goal=${GOAL_MS:-500}
files=${FILES:-0}
for tool in xvfb-run xev xwininfo; do
    command -v "$tool" >/dev/null || { echo "$tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
work=$(mktemp -d /tmp/folimo-startup-XXXXXX)
trap 'rm -rf "$work"' EXIT
# Its own empty settings store, never the user's.
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/config" XDG_DATA_HOME="$work/home/data"
export XDG_CACHE_HOME="$work/home/cache" XDG_RUNTIME_DIR="$work/home/run"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
unset QT_QPA_PLATFORM

arguments=()
if [ "$files" -gt 0 ]; then
    mkdir "$work/pictures"
    convert -size 8x8 xc:red "$work/pictures/0.jpg"
    for i in $(seq 1 $((files - 1))); do ln "$work/pictures/0.jpg" "$work/pictures/$i.jpg"; done
    arguments=("$work/pictures")
fi

echo "machine: $(nproc) cores; $(date -u +%F); load $(cut -d' ' -f1-3 /proc/loadavg); $program${arguments:+ with a folder of $files pictures}"
env -u QT_QPA_PLATFORM xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
    set -uo pipefail
    program=$1 runs=$2 work=$3 goal=$4
    shift 4
    ms() { awk -v a="$1" -v b="$2" "BEGIN { printf \"%.0f\", (b - a) * 1000 }"; }
    # one_start: prints "SHOW_MS END_MS", or fails.
    one_start() {
        coproc XEV { exec stdbuf -oL xev -root -event substructure; }
        sleep 0.3 # xev listens before the program starts
        local t0=$EPOCHREALTIME shown="" line mapping=""
        "$program" "$@" >/dev/null 2>"$work/err" &
        local pid=$!
        while IFS= read -r -t 30 line <&"${XEV[0]}"; do
            case "$line" in
                MapNotify*) mapping=1 ;;
                *"override"*)
                    if [ -n "$mapping" ]; then
                        local t1=$EPOCHREALTIME id
                        id=$(sed -n "s/.*window \(0x[0-9a-f]*\), override.*/\1/p" <<<"$line")
                        if xwininfo -id "$id" 2>/dev/null | grep -q "\"VelmarFolimo\""; then
                            shown=$(ms "$t0" "$t1")
                            break
                        fi
                    fi
                    mapping="" ;;
            esac
        done
        kill "$XEV_PID" 2>/dev/null
        wait "$XEV_PID" 2>/dev/null
        if [ -z "$shown" ]; then
            kill -KILL $pid 2>/dev/null
            echo "no main window within 30 s" >&2
            cat "$work/err" >&2
            return 1
        fi
        sleep 0.5
        local t2=$EPOCHREALTIME
        kill -TERM $pid
        wait $pid
        local status=$?
        local t3=$EPOCHREALTIME
        [ $status -eq 0 ] || { echo "exit status $status after SIGTERM" >&2; return 1; }
        echo "$shown $(ms "$t2" "$t3")"
    }
    one_start "$@" >/dev/null || exit 1
    : >"$work/times"
    for i in $(seq 1 "$runs"); do
        result=$(one_start "$@") || exit 1
        printf "run %2d: window mapped after %4d ms, ended %4d ms after SIGTERM\n" "$i" $result
        echo "$result" >>"$work/times"
    done
    summary() {
        sort -n | awk -v what="$1" "{ v[NR] = \$1 } END {
            m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
            printf \"%-28s min %4d ms, median %4d ms, max %4d ms (%d runs)\n\", what, v[1], m, v[NR], NR }"
    }
    cut -d" " -f1 "$work/times" | summary "start until window mapped:"
    cut -d" " -f2 "$work/times" | summary "SIGTERM until ended:"
    slowest=$(cut -d" " -f1 "$work/times" | sort -n | tail -1)
    if [ "$slowest" -le "$goal" ]; then
        echo "goal (window within $goal ms): met, the slowest start took $slowest ms"
    else
        echo "goal (window within $goal ms): MISSED, the slowest start took $slowest ms"
    fi
' _ "$program" "$runs" "$work" "$goal" "${arguments[@]}"
