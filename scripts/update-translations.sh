#!/usr/bin/env bash
# Brings the translation catalogues in resources/translations/ up to date with the texts
# of the windows: the layouts, the string table, the menus and the texts in the code.
# New texts arrive unfinished for a translator (Qt Linguist: linguist FILE.ts); texts no
# longer used are dropped.
#   scripts/update-translations.sh           update every catalogue in place
#   scripts/update-translations.sh --check   change nothing; fail when a catalogue is out
#                                            of date or has an unfinished text
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
lupdate=${LUPDATE:-/usr/lib/qt6/bin/lupdate}
check=0
[ "${1:-}" = "--check" ] && check=1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 "$top/scripts/translation-sources.py" "$top/resources" "$work/package_texts.cpp"

status=0
for catalogue in "$top"/resources/translations/folimo_*.ts; do
    target=$catalogue
    if [ $check -eq 1 ]; then
        target="$work/$(basename "$catalogue")"
        cp "$catalogue" "$target"
    fi
    language=$(basename "$catalogue" .ts)
    language=${language#folimo_}
    (cd "$top" && "$lupdate" -silent -no-obsolete -locations none -source-language zh_CN \
        -target-language "$language" ui app resources/layout "$work/package_texts.cpp" \
        -ts "$target")
    if [ $check -eq 1 ]; then
        if ! cmp -s "$catalogue" "$target"; then
            echo "$(basename "$catalogue") is out of date: run scripts/update-translations.sh" >&2
            diff -u "$catalogue" "$target" | head -40 >&2 || true
            status=1
        fi
        unfinished=$(grep -c 'type="unfinished"' "$target" || true)
        if [ "$unfinished" -ne 0 ]; then
            echo "$(basename "$catalogue") has $unfinished unfinished text(s)" >&2
            grep -B2 'type="unfinished"' "$target" | grep '<source>' | head -20 >&2
            status=1
        fi
    fi
done
exit $status
