#!/usr/bin/env bash
# Checks the Debian package on a fresh Debian 12: a minimal root made by debootstrap,
# where apt installs the package, folimo-cli converts, the desktop program converts
# for the file managers' verb (offscreen, then on an X server), and apt removes and
# purges it; then nothing of it may be left in the root. Needs root (sudo otherwise),
# network access to the Debian mirror and a few minutes.
#   scripts/check-package.sh [PACKAGE.deb]   default: build-package/folimo_*.deb,
#                                           made by scripts/package.sh when missing
# ROOT_DIR=dir   where the root is made (default: a new folder in /var/tmp), removed after
#                unless KEEP_ROOT=1
# BASE_DIR=dir   a pristine root made earlier by debootstrap, copied instead of a new one
# MIRROR=url     the Debian mirror (default http://deb.debian.org/debian)
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
if [ "$(id -u)" -ne 0 ]; then
    exec sudo --preserve-env=ROOT_DIR,BASE_DIR,MIRROR "$0" "$@"
fi

deb=${1:-}
if [ -z "$deb" ]; then
    deb=$(ls "$top"/build-package/folimo_*.deb 2>/dev/null | head -1 || true)
    [ -n "$deb" ] || deb=$(bash "$top/scripts/package.sh" | tail -1)
fi
deb=$(realpath "$deb")
mirror=${MIRROR:-http://deb.debian.org/debian}
root=${ROOT_DIR:-$(mktemp -d /var/tmp/folimo-root.XXXXXX)}

mounted=()
cleanup() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount -l "${mounted[$i]}" 2>/dev/null || true
    done
    [ -n "${KEEP_ROOT:-}" ] || rm -rf --one-file-system "$root"
}
trap cleanup EXIT
step() { echo "=== $*"; }
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 \
                HOME=/tmp/home DEBIAN_FRONTEND=noninteractive "$@"; }

command -v debootstrap >/dev/null || { apt-get update -qq; apt-get install -y -qq debootstrap; }
if [ -n "${BASE_DIR:-}" ]; then
    step "copying the pristine root $BASE_DIR to $root"
    cp -a "$BASE_DIR/." "$root/"
else
    step "debootstrap bookworm into $root"
    debootstrap --variant=minbase bookworm "$root" "$mirror" >/dev/null
fi
for fs in proc sys dev dev/pts; do
    mount --bind "/$fs" "$root/$fs"
    mounted+=("$root/$fs")
done
cp /etc/resolv.conf "$root/etc/resolv.conf"
cat >"$root/etc/apt/sources.list" <<SOURCES
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb http://deb.debian.org/debian-security bookworm-security main
SOURCES
in_root apt-get update -qq

# What is compared: every file and folder of the root but the kernel's, the temporary
# ones, apt's and dpkg's records of what they did, and the caches rebuilt at will.
snapshot() {
    (cd "$root" && find . -xdev \( -path ./proc -o -path ./sys -o -path ./dev -o -path ./tmp \
        -o -path ./var/log -o -path ./var/cache -o -path ./var/lib/apt/lists \) -prune \
        -o -print | sort)
}
before=$(mktemp)
trap 'rm -f "$before"; cleanup' EXIT
snapshot >"$before"

step "apt install ./$(basename "$deb")"
mkdir -p "$root/tmp/home" "$root/tmp/pictures"
cp "$deb" "$root/tmp/"
in_root apt-get install -y -qq "/tmp/$(basename "$deb")" >/dev/null
missing=$(in_root sh -c 'ldd /usr/bin/folimo /usr/bin/folimo-cli | grep "not found"' || true)
[ -z "$missing" ] || { echo "libraries not found: $missing"; exit 1; }

step "folimo-cli converts"
cp "$top/samples/01-plasma.jpg" "$root/tmp/pictures/a.jpg"
in_root folimo-cli -o /tmp/out.pdf /tmp/pictures/a.jpg
head -c 5 "$root/tmp/out.pdf" | grep -q '%PDF-' || { echo "no PDF written"; exit 1; }
tail -c 32 "$root/tmp/out.pdf" | grep -q '%%EOF' || { echo "the PDF is incomplete"; exit 1; }

# The program converts the picture beside it, then SIGTERM closes it with status 0.
run_program() {
    rm -f "$root/tmp/pictures/a.pdf"
    in_root "$@" sh -c '
        mkdir -p /tmp/home/run && chmod 700 /tmp/home/run
        XDG_RUNTIME_DIR=/tmp/home/run folimo /makepdf /tmp/pictures/a.jpg &
        pid=$!
        for i in $(seq 1 600); do
            [ -s /tmp/pictures/a.pdf ] && break
            kill -0 $pid 2>/dev/null || { echo "the program ended"; exit 1; }
            sleep 0.1
        done
        sleep 1
        kill -TERM $pid
        wait $pid'
    head -c 5 "$root/tmp/pictures/a.pdf" | grep -q '%PDF-' || { echo "no PDF written"; exit 1; }
}
step "the program converts, offscreen, with only the package's dependencies"
run_program env QT_QPA_PLATFORM=offscreen
step "the program converts on an X server"
in_root apt-get install -y -qq --no-install-recommends xvfb xauth >/dev/null
run_program xvfb-run -a
in_root apt-get purge -y -qq xvfb xauth >/dev/null

step "apt remove folimo, then purge"
in_root apt-get remove -y -qq folimo >/dev/null
for file in /usr/bin/folimo /usr/bin/folimo-cli /usr/share/folimo; do
    [ ! -e "$root$file" ] || { echo "left after remove: $file"; exit 1; }
done
# Without configuration files the package is gone from apt's view once removed; dpkg
# purges what might remain of it all the same.
in_root dpkg --purge folimo >/dev/null 2>&1
! in_root dpkg-query -W folimo >/dev/null 2>&1 || { echo "dpkg still knows folimo"; exit 1; }
in_root apt-get autoremove --purge -y -qq >/dev/null

# Dependencies apt keeps because other packages recommend them are not the package's to
# remove; what it shipped, and anything named after it, is.
after=$(snapshot)
added=$(comm -13 "$before" <(echo "$after"))
shipped=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sed 's|^\./|/|')
left=$(echo "$added" | grep -i -e folimo -e velmar || true)
for file in $shipped; do
    [ ! -e "$root$file" ] || left+=$'\n'"$file"
done
if [ -n "${left//[$'\n']/}" ]; then
    echo "left in the root after removing the package:$left"
    exit 1
fi
others=$(echo "$added" | grep -c . || true)
[ "$others" -eq 0 ] || echo "($others paths of dependencies apt keeps, none of the package)"
step "installed, run, removed and purged: nothing left"
