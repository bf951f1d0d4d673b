#!/usr/bin/env bash
# Installs what is missing, builds folimo-cli and converts images into one PDF.
#   scripts/convert.sh                          the shipped samples into out/samples.pdf
#   scripts/convert.sh -o out.pdf a.jpg b.png   any folimo-cli command line
# Prints the path of the PDF written (never over an existing file).
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build=${BUILD_DIR:-$top/build}

bash "$top/scripts/install-deps.sh"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target folimo-cli >/dev/null

if [ $# -eq 0 ]; then
    mkdir -p "$top/out"
    set -- -o "$top/out/samples.pdf" --bookmarks --title "Folimo samples" "$top/samples"
fi
exec "$build/cli/folimo-cli" "$@"
