#!/usr/bin/env bash
# The desktop program as the file managers' verb starts it (`folimo /makepdf PATH`):
# it shows its window, adds the clicked file or the files directly in the clicked
# folder and makes one PDF beside each image, stays open, and ends with status 0 on
# SIGTERM, SIGINT or SIGHUP, closing an open progress window first. Also: relative
# paths from another working folder, a path that does not exist, a missing or broken
# interface package, the desktop entry's own command line, and the window centred on
# a real (virtual) X screen. Windows on the offscreen platform unless said otherwise.
#   program_makepdf.sh PROGRAM ENGINE_LIBRARY_DIR [SANITIZER]
# With a sanitizer (address or thread) the waits are longer: the program is slower.
set -uo pipefail
program=$(realpath "$1")
engine_dir=$(realpath "$2")
sanitizer=${3:-}
case "$sanitizer" in
    "") factor=1 ;;
    thread) factor=8 ;;
    *) factor=3 ;;
esac
work=$(mktemp -d)
started=()
cleanup() {
    # Only the processes this script started, by their ids.
    for pid in "${started[@]}"; do
        kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT

# Its own empty settings store and data folders, never the user's.
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/config" XDG_DATA_HOME="$work/home/data"
export XDG_CACHE_HOME="$work/home/cache" XDG_RUNTIME_DIR="$work/home/run"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
export QT_QPA_PLATFORM=offscreen

passed=0
failed=0
case=""
problems=""
problem() { problems+="  $*"$'\n'; }
finish_case() {
    # A sanitizer's report in any output of the case, also from a program whose exit
    # status this script cannot read (the one the desktop entry's launcher started).
    local reports
    reports=$(cat "$work"/log-"$case".* 2>/dev/null |
        grep -E "ERROR: (Address|Leak)Sanitizer|WARNING: ThreadSanitizer|runtime error:" | head -3)
    [ -z "$reports" ] || problem "sanitizer reports: $reports"
    if [ -z "$problems" ]; then
        echo "ok   [$case]"
        passed=$((passed + 1))
    else
        echo "FAIL [$case]"
        printf '%s' "$problems"
        for log in "$work"/log-"$case".*; do
            [ -s "$log" ] && { echo "  --- ${log##*/}:"; sed 's/^/  | /' "$log" | tail -20; }
        done
        failed=$((failed + 1))
    fi
    problems=""
}

# seconds SECONDS: scaled for the sanitizers.
seconds() { awk -v s="$1" -v f="$factor" 'BEGIN { print s * f }'; }
# quiet_for: how long to watch for a PDF that must not come. A sanitized program makes
# one from these small pictures within a few seconds, so the wait grows less than the
# slowest work's does.
quiet_for() { awk -v f="$factor" 'BEGIN { print 2.5 * (f < 3 ? f : 3) }'; }
# Whether the process is running: a zombie (ended, not yet reaped) is not.
alive() { [ -r "/proc/$1/stat" ] && [ "$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)" != Z ]; }

# start [env ...] ARGS...: the program in the background from the current folder;
# sets $pid. Output goes to log-CASE.out/err.
start() {
    "$program" "$@" >"$work/log-$case.out" 2>"$work/log-$case.err" &
    pid=$!
    started+=("$pid")
}
# The same, with SIGINT and SIGHUP at their defaults: a shell starts background jobs
# with SIGINT ignored, and the program keeps a signal it was started with ignored.
start_default_signals() {
    env --default-signal=INT,HUP "$program" "$@" >"$work/log-$case.out" 2>"$work/log-$case.err" &
    pid=$!
    started+=("$pid")
}

# until_true SECONDS COMMAND...: polls every 0.1 s; false when time ran out.
until_true() {
    local limit=$1
    shift
    local deadline=$(($(date +%s%N) + ${limit%.*} * 1000000000))
    until "$@"; do
        [ "$(date +%s%N)" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}
all_exist() { for f in "$@"; do [ -e "$f" ] || return 1; done; }
any_pdf_in() { [ -n "$(find "$1" -name '*.pdf' -print -quit)" ]; }

# stop_with SIGNAL: sends it to $pid and expects the program to end with status 0.
stop_with() {
    kill -s "$1" "$pid" 2>/dev/null || { problem "the program had ended before SIG$1"; return; }
    if ! until_true "$(seconds 30)" eval '! alive $pid'; then
        problem "still running $(seconds 30) s after SIG$1"
        kill -KILL "$pid"
    fi
    wait "$pid"
    local status=$?
    [ "$status" -eq 0 ] || problem "exit status $status after SIG$1, expected 0"
}

# pdfs_clean FILE...: qpdf --check passes without warnings.
pdfs_clean() {
    local f out
    for f in "$@"; do
        if ! out=$(qpdf --check "$f" 2>&1) || grep -qi warning <<<"$out"; then
            problem "qpdf --check $f:"$'\n'"$out"
        fi
    done
}
# only FOLDER NAME...: the folder holds exactly these names (no temporary documents).
only() {
    local dir=$1
    shift
    local have want
    have=$(cd "$dir" && ls -A | sort | tr '\n' '/')
    want=$(printf '%s\n' "$@" | sort | tr '\n' '/')
    [ "$have" = "$want" ] || problem "$dir holds: $have expected: $want"
}

# --- (a) a folder: its three images, not its subfolder's ----------------------------
case=folder
mkdir -p "$work/a/photos/sub"
convert -size 64x48 xc:orange -quality 90 "$work/a/photos/one.jpg"
convert -size 40x60 gradient:red-blue "$work/a/photos/two.png"
convert -size 30x30 xc:green "$work/a/photos/three.gif"
convert -size 20x20 xc:blue "$work/a/photos/sub/deep.jpg"
echo notes >"$work/a/photos/notes.txt"
cd "$work/a"
start /makepdf "$work/a/photos"
want=("$work/a/photos/one.pdf" "$work/a/photos/two.pdf" "$work/a/photos/three.pdf")
if until_true "$(seconds 60)" all_exist "${want[@]}"; then
    sleep 0.5 # a fourth document would be written by now
    pdfs_clean "${want[@]}"
    only "$work/a/photos" one.jpg one.pdf two.png two.pdf three.gif three.pdf notes.txt sub
    only "$work/a/photos/sub" deep.jpg
    alive "$pid" || problem "the program ended after converting (it stays open)"
else
    problem "no three PDFs within $(seconds 60) s: $(cd "$work/a/photos" && ls | tr '\n' ' ')"
fi
stop_with TERM
alive "$pid" && problem "the process is still there"
finish_case

# --- (a2) the list kept between starts is neither converted nor replaced by the verb --------
case=kept-list
mkdir -p "$work/k/kept" "$work/k/clicked" "$XDG_CONFIG_HOME/Velmar"
convert -size 30x20 xc:teal "$work/k/kept/kept.png"
convert -size 30x20 xc:pink "$work/k/clicked/clicked.png"
kept_list="$XDG_CONFIG_HOME/Velmar/Folimo.list"
printf 'folimo list 1\n90\t%s\n' "$work/k/kept/kept.png" >"$kept_list"
cp "$kept_list" "$work/k/kept.list"
cd "$work/k"
start /makepdf "$work/k/clicked/clicked.png"
if until_true "$(seconds 60)" all_exist "$work/k/clicked/clicked.pdf"; then
    sleep 0.5 # the kept row's document would be written by now
    pdfs_clean "$work/k/clicked/clicked.pdf"
else
    problem "no PDF of the clicked file within $(seconds 60) s"
fi
stop_with TERM
any_pdf_in "$work/k/kept" && problem "the kept list was converted by the verb's run"
cmp -s "$kept_list" "$work/k/kept.list" || problem "the verb's run replaced the kept list"
# A usual start puts the kept row back and keeps it again at the close.
start
sleep "$(quiet_for)"
stop_with TERM
cmp -s "$kept_list" "$work/k/kept.list" ||
    problem "a usual start and close changed the kept list: $(tr '\t\n' '  ' <"$kept_list")"
rm -f "$kept_list"
finish_case

# --- (b) relative paths from another working folder, the switch in capitals ------------
case=relative-folder
mkdir -p "$work/b/start" "$work/b/dir"
convert -size 32x32 xc:red "$work/b/dir/r1.jpg"
convert -size 32x32 xc:navy "$work/b/dir/r2.png"
cd "$work/b/start"
start /MAKEPDF ../dir
want=("$work/b/dir/r1.pdf" "$work/b/dir/r2.pdf")
if until_true "$(seconds 60)" all_exist "${want[@]}"; then
    pdfs_clean "${want[@]}"
else
    problem "no PDFs beside ../dir's images within $(seconds 60) s"
fi
any_pdf_in "$work/b/start" && problem "a PDF in the working folder"
stop_with TERM
finish_case

case=relative-file
mkdir -p "$work/b/dir2"
convert -size 50x20 xc:yellow "$work/b/dir2/photo with spaces.png"
convert -size 50x20 xc:purple "$work/b/dir2/other.jpg"
cd "$work/b"
start /MakePdf "dir2/photo with spaces.png"
if until_true "$(seconds 60)" all_exist "$work/b/dir2/photo with spaces.pdf"; then
    pdfs_clean "$work/b/dir2/photo with spaces.pdf"
    sleep 0.5
    only "$work/b/dir2" "photo with spaces.png" "photo with spaces.pdf" other.jpg
else
    problem "no PDF of the single file within $(seconds 60) s"
fi
stop_with TERM
finish_case

# --- (c) a path that does not exist: the program starts and waits -------------------------
case=missing-path
mkdir -p "$work/c"
cp "$work/a/photos/one.jpg" "$work/c/"
cd "$work/c"
start /makepdf "$work/c/nothing/here.jpg"
sleep "$(quiet_for)"
alive "$pid" || problem "the program did not stay up"
any_pdf_in "$work/c" && problem "a PDF appeared"
stop_with TERM
finish_case

# A settings file that is a FIFO is refused, not read: reading it would block the
# program before its event loop, where no signal could end it. The FIFO stays.
case=settings-fifo
mkdir -p "$XDG_CONFIG_HOME/Velmar"
mkfifo "$XDG_CONFIG_HOME/Velmar/Folimo.conf"
start /makepdf "$work/c/nothing/here.jpg"
sleep "$(quiet_for)"
alive "$pid" || problem "the program did not stay up"
stop_with TERM
[ -p "$XDG_CONFIG_HOME/Velmar/Folimo.conf" ] || problem "the FIFO was replaced"
rm -f "$XDG_CONFIG_HOME/Velmar/Folimo.conf"
finish_case

# An unsupported file and a command line of another form start the program normally.
case=other-command-lines
cd "$work/c"
for arguments in "/makepdf $work/a/photos/notes.txt" "/makepdf ." "/makepdf . ." "/convert ." "."; do
    read -r -a words <<<"$arguments"
    # "/makepdf ." names a folder with an image, on purpose: it must be converted,
    # while the others must not.
    before=$(find "$work" -name '*.pdf' | sort)
    start "${words[@]}"
    if [ "$arguments" = "/makepdf ." ]; then
        until_true "$(seconds 60)" all_exist "$work/c/one.pdf" ||
            problem "'$arguments': no PDF of the working folder's image"
        rm -f "$work/c/one.pdf"
    else
        sleep "$(quiet_for)"
        [ "$(find "$work" -name '*.pdf' | sort)" = "$before" ] ||
            problem "'$arguments': a PDF appeared: $(diff <(echo "$before") <(find "$work" -name '*.pdf' | sort))"
    fi
    alive "$pid" || problem "'$arguments': the program did not stay up"
    stop_with TERM
done
finish_case

# --- (d) the interface package beside the program, wherever the program is started -----
case=no-package
mkdir -p "$work/d/bin" "$work/d/cwd"
cp "$program" "$work/d/bin/folimo"
# The working folder holds a package: the program must not take it from there.
cp "$(dirname "$program")/uires.rcc" "$work/d/cwd/"
cd "$work/d/cwd"
LD_LIBRARY_PATH="$engine_dir" timeout -s KILL "$(seconds 60)" "$work/d/bin/folimo" \
    >"$work/log-$case.out" 2>"$work/log-$case.err"
status=$?
[ "$status" -ne 0 ] && [ "$status" -ne 137 ] || problem "exit status $status, expected a failure"
grep -q "$work/d/bin/uires.rcc" "$work/log-$case.err" ||
    problem "standard error does not name $work/d/bin/uires.rcc: $(cat "$work/log-$case.err")"
# The same on the verb's road.
LD_LIBRARY_PATH="$engine_dir" timeout -s KILL "$(seconds 60)" "$work/d/bin/folimo" \
    /makepdf "$work/a/photos" >"$work/log-$case.out2" 2>"$work/log-$case.err2"
status=$?
[ "$status" -ne 0 ] && [ "$status" -ne 137 ] || problem "/makepdf: exit status $status, expected a failure"
grep -q "uires.rcc" "$work/log-$case.err2" || problem "/makepdf: standard error does not name uires.rcc"
finish_case

case=broken-package
echo "not a resource file" >"$work/d/bin/uires.rcc"
LD_LIBRARY_PATH="$engine_dir" timeout -s KILL "$(seconds 60)" "$work/d/bin/folimo" \
    >"$work/log-$case.out" 2>"$work/log-$case.err"
status=$?
[ "$status" -ne 0 ] && [ "$status" -ne 137 ] || problem "exit status $status, expected a failure"
grep -q "$work/d/bin/uires.rcc" "$work/log-$case.err" ||
    problem "standard error does not name $work/d/bin/uires.rcc: $(cat "$work/log-$case.err")"
finish_case

# --- (e) the command line the verb's desktop entry registers, as a file manager runs it ----
# app/ShellIntegration.cpp writes Exec="PROGRAM" /makepdf %f, with '"', '`', '$' and '\'
# escaped by a backslash (then every backslash doubled by the key-file rules) and '%'
# doubled; test_shell_integration checks that form. GLib's launcher (what GNOME's file
# manager uses) reads the entry and puts the clicked file's path for %f.
case=desktop-entry
mkdir -p "$work/e/photos"
clicked="$work/e/photos/my 'photo' \$1.jpg"
convert -size 48x48 xc:teal "$clicked"
cp "$work/a/photos/two.png" "$work/e/photos/not-clicked.png"
quoted=$(printf '%s' "$program" | sed -e 's/\\/\\\\\\\\/g' -e 's/["`$]/\\\\&/g' -e 's/%/%%/g')
entry="$work/e/velmar-folimo-makepdf.desktop"
printf '[Desktop Entry]\nType=Application\nVersion=1.4\nName=VelmarFolimo\nExec="%s" /makepdf %%f\nNoDisplay=true\nTerminal=false\n' \
    "$quoted" >"$entry"
cd "$work/e"
if gio help launch >/dev/null 2>&1; then
    gio launch "$entry" "$clicked" >"$work/log-$case.out" 2>"$work/log-$case.err" ||
        problem "gio launch failed"
    # The launcher does not wait for the program: find it by its whole command line.
    want=$(printf '%s\0/makepdf\0%s\0' "$program" "$clicked" | od -An -tx1 | tr -d ' \n')
    find_launched() {
        local p
        for p in /proc/[0-9]*; do
            [ "$(od -An -tx1 "$p/cmdline" 2>/dev/null | tr -d ' \n')" = "$want" ] &&
                { pid=${p#/proc/}; return 0; }
        done
        return 1
    }
    pid=""
    if until_true "$(seconds 20)" find_launched; then
        started+=("$pid")
    else
        problem "no process with the command line [$program /makepdf $clicked]"
    fi
else
    echo "  (gio is missing: the entry's command line is run directly)"
    start /makepdf "$clicked"
fi
if [ -n "$pid" ]; then
    if until_true "$(seconds 60)" all_exist "$work/e/photos/my 'photo' \$1.pdf"; then
        pdfs_clean "$work/e/photos/my 'photo' \$1.pdf"
        sleep 0.5
        only "$work/e/photos" "my 'photo' \$1.jpg" "my 'photo' \$1.pdf" not-clicked.png
    else
        problem "no PDF of the clicked file within $(seconds 60) s"
    fi
    # Not this script's child: its status is not ours to read, only that it ends.
    kill -TERM "$pid"
    until_true "$(seconds 30)" eval '! alive $pid' || problem "still running after SIGTERM"
fi
finish_case

# --- (f) SIGTERM during a run: the progress window goes first, its run stops ---------------
case=signal-during-run
mkdir -p "$work/f/big"
convert -size 3000x2000 xc: +noise Random -quality 92 "$work/f/big/p00.jpg"
for i in $(seq -w 1 19); do cp "$work/f/big/p00.jpg" "$work/f/big/p$i.jpg"; done
cd "$work/f"
start /makepdf big
if until_true "$(seconds 120)" any_pdf_in "$work/f/big"; then
    stop_with TERM
    made=$(find "$work/f/big" -name '*.pdf' | wc -l)
    [ "$made" -lt 20 ] || problem "all 20 documents were made: the run was not stopped"
    mapfile -t pdfs < <(find "$work/f/big" -name '*.pdf')
    pdfs_clean "${pdfs[@]}"
    extra=$(cd "$work/f/big" && ls -A | grep -v '^p[0-9]*\.\(jpg\|pdf\)$')
    [ -z "$extra" ] && [ "$(ls "$work/f/big" | grep -c jpg)" -eq 20 ] ||
        problem "left in the folder: $extra"
else
    problem "no first PDF within $(seconds 120) s"
    stop_with TERM
fi
finish_case

# --- (g) SIGINT and SIGHUP end it in order too --------------------------------------------
for signal in INT HUP; do
    case=sig$signal
    cd "$work/c"
    start_default_signals
    sleep "$(seconds 1.5)"
    alive "$pid" || problem "the program did not stay up"
    stop_with "$signal"
    finish_case
done

# --- (h) on a real X screen: the window shows centred and within the screen, at scale 1
# and 2 (where the layout's size is more than the screen holds); SIGTERM ends it ---------
for screen in 1280x800:1 1600x1000:2; do
    case=centred-on-x-${screen/:/-scale-}
    if command -v xvfb-run >/dev/null && command -v xwininfo >/dev/null; then
        cd "$work/c"
        # Its own range of displays: xvfb-run -a, started beside the start-up test's, would
        # otherwise pick the same free display. On X, Qt's platform plugin talks to D-Bus, whose library keeps one buffer to the
        # end that LeakSanitizer reports: not ours.
        printf 'leak:libdbus-1.so\n' >"$work/lsan.supp"
        LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$work/lsan.supp" \
        env -u QT_QPA_PLATFORM QT_SCALE_FACTOR="${screen#*:}" \
            xvfb-run -a -n 160 -s "-screen 0 ${screen%:*}x24" bash -c '
            "$1" 2>"$2" & pid=$!
            id=""
            for _ in $(seq 1 $((300 * $3))); do
                id=$(xwininfo -root -tree 2>/dev/null | awk "/\"VelmarFolimo\"/ {print \$1; exit}")
                [ -n "$id" ] && break
                kill -0 $pid 2>/dev/null || { echo "the program ended before showing a window"; exit 1; }
                sleep 0.1
            done
            [ -n "$id" ] || { echo "no main window appeared"; kill -KILL $pid; exit 1; }
            sleep 0.5
            info=$(xwininfo -id "$id")
            x=$(awk "/Absolute upper-left X/ {print \$4}" <<<"$info")
            y=$(awk "/Absolute upper-left Y/ {print \$4}" <<<"$info")
            w=$(awk "/Width:/ {print \$2}" <<<"$info")
            h=$(awk "/Height:/ {print \$2}" <<<"$info")
            status=0
            dx=$((2 * x + w - $4)); dy=$((2 * y + h - $5))
            if [ ${dx#-} -gt 2 ] || [ ${dy#-} -gt 2 ] || [ $w -gt $4 ] || [ $h -gt $5 ]; then
                echo "the window ${w}x${h} stands at $x,$y on a $4x$5 screen: not centred within it"
                status=1
            fi
            kill -TERM $pid
            for _ in $(seq 1 $((300 * $3))); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
            kill -0 $pid 2>/dev/null && { echo "still running after SIGTERM"; kill -KILL $pid; }
            wait $pid
            code=$?
            [ $code -eq 0 ] || { echo "exit status $code after SIGTERM"; status=1; }
            exit $status
        ' _ "$program" "$work/log-$case.err" "$factor" "${screen%x*}" "$(cut -dx -f2 <<<"${screen%:*}")" \
            >"$work/log-$case.out" 2>&1 || problem "$(cat "$work/log-$case.out")"
    else
        echo "  (xvfb-run or xwininfo missing: not checked on X)"
    fi
    finish_case
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
