#!/usr/bin/env bash
# The tree's layout (clang-format), clang-tidy (see .clang-tidy) on the engine, the
# program's logic (app/), its windows (ui/) and folimo-cli (cli/), and clazy's level-1
# checks of Qt usage on app/, ui/ and cli/, on the compile commands of a configured build
# folder.
#   scripts/check-style.sh [BUILD_DIR]     (default: build)
# Prints every file that differs from the layout and every finding; exit status 1 if any.
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
status=0

mapfile -t sources < <(git ls-files '*.cpp' '*.h')
if ! clang-format --dry-run --Werror "${sources[@]}"; then
    echo "check-style: run clang-format -i on the files above" >&2
    status=1
fi

if [ ! -f "$build/compile_commands.json" ]; then
    echo "check-style: $build/compile_commands.json is missing; configure a build first" >&2
    exit 1
fi
# One clang-tidy per file, as many at once as there are cores; --quiet keeps the
# output to the findings. clang 14 cannot compile qpdf's JSON.hh against libstdc++ 12
# in C++20 (a vector of a type still incomplete gets a constexpr destructor), so the
# files that include qpdf are read as C++17, which they also are.
checked=('engine/*.cpp' 'app/*.cpp' 'ui/*.cpp' 'cli/*.cpp')
mapfile -t plain < <(git ls-files "${checked[@]}" | xargs grep -L '#include <qpdf/')
mapfile -t qpdfUsers < <(git ls-files "${checked[@]}" | xargs grep -l '#include <qpdf/')
# The static analyzer explores each function of ours with shallow inlining and without
# following calls into the standard library: by default it walked the code of std::sort
# and the smart pointers from every caller, five times as long on the list's file.
analyzer=(--extra-arg=-Xclang --extra-arg=-analyzer-config
          --extra-arg=-Xclang --extra-arg=mode=shallow,c++-stdlib-inlining=false)
tidy() {
    printf '%s\0' "$@" | xargs -0 -r -P "$(nproc)" -n 1 clang-tidy -p "$build" --quiet \
        "${analyzer[@]}" "${extra[@]}" 2>/dev/null
}
extra=()
tidy "${plain[@]}" || status=1
extra=(--extra-arg=-std=c++17)
tidy "${qpdfUsers[@]}" || status=1

# clazy reports on standard error among clang's counts of warnings; any report fails.
# qstring-ref is left out: it proposes midRef() and friends, which Qt 6 no longer has.
# qproperty-without-notify too: the controls' properties are layout attributes, written
# once by the layout loader and never bound to, so a change signal would have no reader.
mapfile -t qtCode < <(git ls-files 'app/*.cpp' 'ui/*.cpp' 'cli/*.cpp')
clazyReports=$(printf '%s\0' "${qtCode[@]}" | xargs -0 -r -P "$(nproc)" -n 1 \
    clazy-standalone -p "$build" --checks=level1,no-qstring-ref,no-qproperty-without-notify \
    --header-filter='(app|ui|cli)/.*\.h$' 2>&1 | grep -v ' generated\.$')
if [ -n "$clazyReports" ]; then
    printf '%s\n' "$clazyReports"
    status=1
fi
[ $status -eq 0 ] || echo "check-style: see the findings above" >&2
exit $status
