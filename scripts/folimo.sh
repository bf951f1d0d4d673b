#!/usr/bin/env bash
# Installs what is missing, builds the desktop program and starts it.
#   scripts/folimo.sh [ARGUMENTS...]
# The program and its interface package (uires.rcc) live together in build/bin/; it
# may be started from there directly, from any folder.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build=${BUILD_DIR:-$top/build}

bash "$top/scripts/install-deps.sh"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target folimo_program >/dev/null
exec "$build/bin/folimo" "$@"
