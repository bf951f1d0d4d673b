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

install_deps
configure "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
what="building folimo..."
if [ ! -e "$build/bin/folimo" ]; then
    what="building folimo (the first build takes 3 to 4 minutes on two cores)..."
fi
build_target "$build" folimo_program "$what"
say_more "starting folimo ..."
exec "$build/bin/folimo" "$@"
