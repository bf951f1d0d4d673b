#!/usr/bin/env bash
# Installs what is missing, builds folimo-cli and converts images into one PDF.
#   scripts/convert.sh                          the shipped samples into out/samples.pdf
#   scripts/convert.sh -o out.pdf a.jpg b.png   any folimo-cli command line
# Prints the path of the PDF written (never over an existing file), and nothing else on
# stdout; the stages of a first run are reported on stderr.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build=${BUILD_DIR:-$top/build}
source "$top/scripts/lib-build.sh"

build_to_run "$build" folimo-cli "$build/cli/folimo-cli" "2 to 3"

if [ $# -eq 0 ]; then
    mkdir -p "$top/out"
    set -- -o "$top/out/samples.pdf" --bookmarks --title "Folimo samples" "$top/samples"
    say_more "converting the shipped samples ..."
else
    say_more "converting ..."
fi
exec "$build/cli/folimo-cli" "$@"
