#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang into build-fuzz/ (or BUILD_DIR),
# without running them; fuzz/run.sh runs them. Only the targets and the engine sources
# they hold are compiled, not the program or the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build-fuzz}

bash scripts/install-deps.sh
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -G Ninja -DFOLIMO_FUZZ=ON \
    -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j "$(nproc)" --target folimo_fuzz
