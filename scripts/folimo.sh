#!/usr/bin/env bash
# Installs what is missing, builds the desktop program and starts it.
#   scripts/folimo.sh [ARGUMENTS...]
# The program and its interface package (uires.rcc) live together in build/bin/; it
# may be started from there directly, from any folder. The stages of a first run are
# reported on stderr.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build=${BUILD_DIR:-$top/build}
source "$top/scripts/lib-build.sh"

build_to_run "$build" folimo_program "$build/bin/folimo" "3 to 4"
say_more "starting folimo ..."
exec "$build/bin/folimo" "$@"
