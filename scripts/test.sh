#!/usr/bin/env bash
# Installs what is missing, builds and runs the tests.
#   scripts/test.sh                      every test, in build/
#   scripts/test.sh --sanitize address   every test under AddressSanitizer + UBSan, in build-asan/
#   scripts/test.sh --sanitize thread    the tests labelled "threads" (where threads meet,
#                                        see tests/CMakeLists.txt) under ThreadSanitizer, in build-tsan/
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=""
if [ "${1:-}" = "--sanitize" ]; then
    sanitize=${2:?address or thread}
fi
targets=()
tests=()
case "$sanitize" in
    "") build=${BUILD_DIR:-build} ;;
    address) build=${BUILD_DIR:-build-asan} ;;
    thread)
        build=${BUILD_DIR:-build-tsan}
        targets=(--target folimo_thread_tests)
        tests=(-L threads)
        ;;
    *) echo "unknown sanitizer '$sanitize'" >&2; exit 2 ;;
esac

bash scripts/install-deps.sh
# Paths relative to the checkout, so clones in other folders share one compiler cache.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFOLIMO_SANITIZE="$sanitize" \
    -DFOLIMO_WERROR="${FOLIMO_WERROR:-OFF}"
cmake --build "$build" -j "$(nproc)" "${targets[@]}"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" "${tests[@]}"
