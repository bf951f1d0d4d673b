#!/usr/bin/env bash
# Installed into a prefix of its own, the programs run from there and from any folder:
# folimo-cli converts, and the desktop program finds its interface package in the
# prefix's data folder and converts for the file managers' verb.
#   installed_programs.sh BUILD_DIR
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

for file in bin/folimo bin/folimo-cli share/folimo/uires.rcc \
            share/applications/velmar-folimo.desktop share/metainfo/com.velmar.Folimo.metainfo.xml \
            share/icons/hicolor/scalable/apps/velmar-folimo.svg \
            share/icons/hicolor/48x48/apps/velmar-folimo.png share/man/man1/folimo-cli.1; do
    [ -e "$prefix/$file" ] || { echo "not installed: $file"; exit 1; }
done
# What desktops read must be valid: no hints either, they end up as menu oddities.
validation=$(desktop-file-validate "$prefix/share/applications/velmar-folimo.desktop" 2>&1)
[ -z "$validation" ] || { echo "$validation"; exit 1; }
grep -q "^MimeType=image/jpeg;.*application/pdf;$" "$prefix/share/applications/velmar-folimo.desktop"
if command -v appstreamcli >/dev/null; then
    appstreamcli validate --no-net --pedantic "$prefix/share/metainfo/com.velmar.Folimo.metainfo.xml" >/dev/null
fi

if command -v man >/dev/null; then
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$prefix/share/man/man1/folimo-cli.1" 2>&1 >/dev/null)
    [ -z "$warnings" ] || { echo "$warnings"; exit 1; }
    LC_ALL=C.UTF-8 man -l "$prefix/share/man/man1/folimo-cli.1" | grep -q -- "--page-size SIZE"
fi

# Nothing may lean on the build tree.
if readelf -d "$prefix/bin/folimo" "$prefix/bin/folimo-cli" | grep -q "$build"; then
    echo "an installed program still looks into the build folder"; exit 1
fi

mkdir -p "$work/pictures" "$work/elsewhere"
convert -size 40x30 xc:teal "$work/pictures/a.png"
convert -size 30x40 xc:olive "$work/pictures/b.jpg"
cd "$work/elsewhere"

"$prefix/bin/folimo-cli" -o "$work/cli.pdf" ../pictures/a.png ../pictures/b.jpg >/dev/null
qpdf --check "$work/cli.pdf" >/dev/null

export HOME="$work/home" XDG_CONFIG_HOME="$work/home/config" XDG_DATA_HOME="$work/home/data"
export XDG_RUNTIME_DIR="$work/home/run" QT_QPA_PLATFORM=offscreen
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
"$prefix/bin/folimo" /makepdf ../pictures >"$work/program.log" 2>&1 &
pid=$!
for _ in $(seq 1 600); do
    [ -e "$work/pictures/a.pdf" ] && [ -e "$work/pictures/b.pdf" ] && break
    kill -0 $pid 2>/dev/null || { cat "$work/program.log"; echo "the installed program ended"; exit 1; }
    sleep 0.1
done
kill -TERM $pid
status=0
wait $pid || status=$?
[ $status -eq 0 ] || { cat "$work/program.log"; echo "exit status $status"; exit 1; }
for pdf in a b; do
    qpdf --check "$work/pictures/$pdf.pdf" >/dev/null
done
echo "installed programs run from $prefix"
