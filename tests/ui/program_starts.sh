#!/usr/bin/env bash
# The desktop program starts on a real X server, shows its main window and keeps
# running; a screenshot of the screen is kept as a test artefact.
#   program_starts.sh PROGRAM ARTIFACT_DIR
set -euo pipefail
program=$1
artifacts=$2
mkdir -p "$artifacts"
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT

# Its own empty settings store, never the user's.
export HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/run"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
unset QT_QPA_PLATFORM

# xvfb-run -a takes the first free display from its start, but two started at once both
# see the same one free: the other test on X starts its search elsewhere.
xvfb-run -a -n 140 -s "-screen 0 1280x800x24" bash -c '
    "$1" & pid=$!
    shown=""
    for _ in $(seq 1 300); do
        if xwininfo -root -tree 2>/dev/null | grep -q "\"VelmarFolimo\""; then shown=1; break; fi
        kill -0 $pid 2>/dev/null || { echo "the program ended before showing a window"; exit 1; }
        sleep 0.1
    done
    [ -n "$shown" ] || { echo "no main window appeared"; kill $pid; exit 1; }
    sleep 1 # let it paint
    import -window root "$2/program-main-window.png"
    kill -0 $pid 2>/dev/null || { echo "the program ended after showing its window"; exit 1; }
    kill $pid
    wait $pid 2>/dev/null || true
' _ "$program" "$artifacts"
echo "main window shown; screenshot in $artifacts/program-main-window.png"
