# shellcheck shell=bash
# Sourced by the scripts that install, build and then run or pack something. A first
# run takes minutes, so each stage says what it does on stderr, one line, and the build
# shows its progress; stdout is left to what the script itself prints (a path). When
# everything is already built and configured, nothing is said.
#
# The sourcing script runs under "set -euo pipefail" and sets "top" (the checkout)
# before sourcing this file.

build_name=$(basename "$0")
build_spoke=""
# The last command of a pipeline runs in this shell, so that what show_progress notes
# is still known after the build.
shopt -s lastpipe
# Paths relative to the checkout, so clones in other folders share one compiler cache.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$top}

say() {
    printf '%s: %s\n' "$build_name" "$*" >&2
    build_spoke=1
}

# Says what comes next only when an earlier stage said something, to set the program's
# own output apart from the build's; when all was up to date nothing is said at all.
say_more() {
    [ -z "$build_spoke" ] || say "$@"
}

# Installs the missing Debian packages; install-deps.sh says itself when it installs.
# Nothing it or apt prints may reach stdout, which callers capture.
install_deps() {
    bash "$top/scripts/install-deps.sh" >&2
}

# Whether DIR was configured with Ninja from this checkout and every -DNAME=VALUE
# argument already holds in its cache. Reconfiguring costs seconds even when nothing
# changed, and the build re-runs CMake by itself when a CMakeLists.txt changes.
configured_as() {
    local dir=$1 arg name value
    shift
    local cache="$dir/CMakeCache.txt"
    [ -f "$dir/build.ninja" ] && [ -f "$cache" ] || return 1
    [ "$(sed -n 's/^CMAKE_GENERATOR:INTERNAL=//p' "$cache")" = Ninja ] || return 1
    [ "$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$cache")" = "$top" ] || return 1
    for arg in "$@"; do
        case $arg in
            -D*=*) ;;
            *) return 1 ;;
        esac
        name=${arg#-D}
        name=${name%%=*}
        value=${arg#*=}
        [ "$(sed -n "s/^${name}:[A-Z]*=//p" "$cache")" = "$value" ] || return 1
    done
}

# configure DIR [-DNAME=VALUE...]: configures DIR with Ninja unless it already is. The
# configure output is kept in DIR/configure.log and shown in full when it fails.
configure() {
    local dir=$1
    shift
    configured_as "$dir" "$@" && return 0
    say "configuring the build in ${dir#"$top"/}/ ..."
    mkdir -p "$dir"
    if ! cmake -S "$top" -B "$dir" -G Ninja "$@" >"$dir/configure.log" 2>&1; then
        cat "$dir/configure.log" >&2
        say "configuring failed (CMake's output above, also in $dir/configure.log)"
        exit 1
    fi
}

# Reads ninja's output and shows it on stderr: every compiler message and failure in full,
# and the "[done/total] step" lines redrawn on one line on a terminal, or in a log the
# first, the last and one every ten seconds. The stage is announced ($1) at the first
# step that does work: ninja checks the globbed source folders on every run, and when that
# is all, nothing at all is shown.
show_progress() {
    local announce=$1 line shown="" last=-100 pending="" cols=0
    local status='^\[([0-9]+)/([0-9]+)\] (.*)$'
    if [ -t 2 ]; then
        cols=$(stty size <&2 2>/dev/null | cut -d' ' -f2) || true
        [[ $cols =~ ^[0-9]+$ ]] && [ "$cols" -gt 20 ] || cols=80
    fi
    while IFS= read -r line; do
        if [[ $line =~ $status ]]; then
            if [ -z "$shown" ]; then
                [ "${BASH_REMATCH[3]}" = "Re-checking globbed directories..." ] && continue
                say "$announce"
                shown=1
            fi
            if [ "$cols" -gt 0 ]; then
                printf '\r%s\033[K' "${line:0:cols-1}" >&2
                pending=1
            elif ((SECONDS - last >= 10)) || [ "${BASH_REMATCH[1]}" = "${BASH_REMATCH[2]}" ]; then
                printf '%s\n' "$line" >&2
                last=$SECONDS
            fi
        elif [ -n "$shown" ] || [ "$line" != "ninja: no work to do." ]; then
            [ -z "$pending" ] || printf '\n' >&2
            pending=""
            printf '%s\n' "$line" >&2
        fi
    done
    [ -z "$pending" ] || printf '\n' >&2
}

# build_target DIR TARGET [WHAT]: builds TARGET in DIR, saying WHAT ("building TARGET..."
# unless given) only when there is something to build, and stops the script with the
# compiler's messages shown when the build fails.
build_target() {
    local dir=$1 target=$2 what=${3:-"building $2..."}
    if ! NINJA_STATUS='[%f/%t] ' cmake --build "$dir" --target "$target" -j "$(nproc)" 2>&1 \
            | show_progress "$what"; then
        say "the build failed (the compiler's messages are above)"
        exit 1
    fi
}

# build_to_run DIR TARGET FILE MINUTES: installs what is missing and builds TARGET in DIR
# as the scripts that run a program do; a first build (no FILE yet) says how long it takes.
build_to_run() {
    local dir=$1 target=$2 file=$3 minutes=$4
    local what="building ${file##*/}..."
    [ -e "$file" ] || what="building ${file##*/} (the first build takes $minutes minutes on two cores)..."
    install_deps
    configure "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    build_target "$dir" "$target" "$what"
}
