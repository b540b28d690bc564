#!/usr/bin/env bash
# The Windows stage: runs halvard.exe under Wine against halvard-sim (a board on a pty that the
# prefix maps to COM1) and against the board built into the .exe (/COM=SIM), and compares exit
# statuses, transcripts and the files that /R writes. The cases are in tests/wine/cases.sh.
#
#   bash scripts/wine-test.sh [--exe build/windows/src/halvard.exe] [--sim build/test/sim/halvard-sim]
#
# Installs Wine when it is missing (as root, from the package mirror). When it cannot, it says so
# and exits 0, unless HALVARD_WINE_REQUIRED=1, which turns the skip into a failure.
# HALVARD_WINE_KEEP=1 keeps the cases' folders (images, transcripts, files read back);
# HALVARD_WINE_CASES="name ..." runs only the cases named (see tests/wine/cases.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

exe=build/windows/src/halvard.exe
sim=build/test/sim/halvard-sim
while [ $# -gt 0 ]; do
    case "$1" in
        --exe) exe=$2; shift 2 ;;
        --sim) sim=$2; shift 2 ;;
        *) echo "wine-test.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done
exe=$(realpath "$exe")
sim=$(realpath "$sim" 2>/dev/null || echo "$sim")

skip() {
    echo "skipping the Windows stage: $*"
    [ "${HALVARD_WINE_REQUIRED:-0}" = 1 ] && exit 1
    exit 0
}

have_wine() { command -v wine >/dev/null && command -v wineserver >/dev/null && command -v wineboot >/dev/null; }
if ! have_wine; then
    [ "$(id -u)" -eq 0 ] || skip "Wine is missing and only root can install it (apt-get install wine64 wine)"
    command -v apt-get >/dev/null || skip "Wine is missing and there is no apt-get to install it"
    bash scripts/deps.sh wine >/dev/null 2>&1 ||
        skip "Wine is missing and could not be installed (no package mirror?)"
    have_wine || skip "Wine was installed but wine, wineserver or wineboot is still missing"
fi
[ -f "$exe" ] || { echo "Windows stage: $exe is missing (cross-build it first)" >&2; exit 1; }

SECONDS=0
work=$(mktemp -d /tmp/halvard-wine.XXXXXX)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# The server makes its socket folder in TMPDIR: inside the run's folder, it goes with it.
mkdir "$work/tmp"
export TMPDIR=$work/tmp
# Each case points this link at its own board's pty; the prefix maps COM1 to it once.
com1=$work/com1
sim_pid=
exe_pid=
cleanup() {
    if [ -n "$exe_pid" ]; then
        kill "$exe_pid" 2>/dev/null || true
        wait "$exe_pid" 2>/dev/null || true
    fi
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    if [ -d "$WINEPREFIX" ]; then
        wineserver -k 2>/dev/null || true
        # The server may take a moment to let go of the prefix.
        wineserver -w 2>/dev/null || true
    fi
    if [ "${HALVARD_WINE_KEEP:-0}" = 1 ]; then
        rm -rf "$WINEPREFIX"
        echo "Windows stage: the cases' folders are kept in $work/cases"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

prefix_log=$work/prefix.log
if ! wineboot -i >"$prefix_log" 2>&1; then
    cat "$prefix_log" >&2
    echo "Windows stage: wineboot could not create the prefix" >&2
    exit 1
fi
wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$com1" /f >>"$prefix_log" 2>&1
# The server reads the port map when it starts: stop the one wineboot left, start a warm one.
# Its standard error goes to a log, because it takes a case's pty as its controlling terminal and
# reports the hang-up at length when the board closes it.
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
wineserver -p 2>>"$work/wineserver.log"
ln -sfn /nonexistent "$com1"

passed=0
failed=0
skipped=0
failures=()

# ---- helpers for the cases ------------------------------------------------------------------

case_dir=
case_name=
case_ok=
case_skipped=

note() { echo "    $*"; }
fail() {
    note "FAIL: $*"
    case_ok=0
}

# Starts halvard-sim with the given options and points COM1 at its pty.
start_sim() {
    stop_sim
    if [ ! -x "$sim" ]; then
        # A tree without the board's pty server yet skips these cases; one with it must build it.
        if [ ! -f "$root/sim/tool/main.cpp" ]; then
            case_skipped="halvard-sim is not part of this tree yet"
        else
            fail "halvard-sim is missing at $sim"
        fi
        return 1
    fi
    : >"$case_dir/sim.out"
    "$sim" "$@" >>"$case_dir/sim.out" 2>"$case_dir/sim.err" &
    sim_pid=$!
    local pty='' tries=0
    while [ -z "$pty" ] && [ $tries -lt 250 ]; do
        IFS= read -r pty <"$case_dir/sim.out" || pty=
        [ -n "$pty" ] && [ -e "$pty" ] && break
        pty=
        kill -0 "$sim_pid" 2>/dev/null || break
        sleep 0.02
        tries=$((tries + 1))
    done
    if [ -z "$pty" ]; then
        fail "halvard-sim $* printed no pty: $(head -c 400 "$case_dir/sim.err")"
        stop_sim
        return 1
    fi
    ln -sfn "$pty" "$com1.tmp" && mv -T "$com1.tmp" "$com1"
}

# A tree whose halvard has no board inside yet (nothing keeps its flash in halvard-sim.bin) has
# no /COM=SIM to test.
needs_board() {
    if ! grep -rqs 'halvard-sim\.bin' "$root/src"; then
        case_skipped="the board inside halvard (/COM=SIM) is not part of this tree yet"
        return 1
    fi
}

stop_sim() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
        sim_pid=
    fi
    ln -sfn /nonexistent "$com1.tmp" && mv -T "$com1.tmp" "$com1"
}

# What may differ between runs: the build date, times, the image's checksums, what the loader
# sent for a random image (and so its progress steps), which call on a lost line noticed first,
# and the COM ports that Wine gives the machine. Line ends become Linux's, and a progress line that
# ends with a carriage return gets a line of its own; only the progress lines at 100% are kept.
mask() {
    sed 's/\r$//' | tr '\r' '\n' | sed -E \
        -e '/^Completed [0-9.]+%$/{/^Completed 100\.0%$/!d}' \
        -e 's/Compiled at [A-Z][a-z]{2} [ 0-9]{2} [0-9]{4}/Compiled at <date>/' \
        -e 's/Total Elapsed time = [0-9.]+ sec/Total Elapsed time = <time> sec/' \
        -e 's/: [0-9]+ sent, ([0-9]+ of [0-9]+ sectors unchanged), [0-9.]+ s$/: <sent> sent, \1, <time> s/' \
        -e 's/Checksum OK: 0x[0-9a-f]+/Checksum OK: 0x<sum>/' \
        -e 's/^(Serial line lost: port .* is gone) \(.*\)$/\1 (<call: Windows error>)/' \
        -e 's/^Hint: serial ports here: .*/Hint: serial ports here: <ports>/'
}

# start_exe TRANSCRIPT ARGS...: starts halvard.exe in the case's folder, in the background
# (exe_pid). finish_exe STATUS TRANSCRIPT waits for it, compares the exit status, and the masked
# console output with tests/wine/expected/TRANSCRIPT.txt. run_exe STATUS TRANSCRIPT ARGS... does
# both.
start_exe() {
    local transcript=$1
    shift
    echo "$*" >"$case_dir/$transcript.args"
    (cd "$case_dir" && exec timeout 90 wine "$exe" "$@") \
        >"$case_dir/$transcript.raw" 2>"$case_dir/$transcript.err" &
    exe_pid=$!
}

finish_exe() {
    local want=$1 transcript=$2 status=0
    local out=$case_dir/$transcript.out what
    what="halvard $(cat "$case_dir/$transcript.args")"
    wait "$exe_pid" || status=$?
    exe_pid=
    mask <"$case_dir/$transcript.raw" >"$out"
    if [ "$status" != "$want" ]; then
        fail "$what ended with status $status, expected $want"
    fi
    local expected=$root/tests/wine/expected/$transcript.txt
    # HALVARD_WINE_UPDATE=1 takes what the cases print as their new expected transcripts.
    [ -n "${HALVARD_WINE_UPDATE:-}" ] && cp "$out" "$expected"
    if [ ! -f "$expected" ]; then
        fail "no expected transcript tests/wine/expected/$transcript.txt; $what printed:"
        sed 's/^/      | /' "$out"
    elif ! diff -u "$expected" "$out" >"$out.diff"; then
        fail "$what printed other lines than tests/wine/expected/$transcript.txt:"
        sed 's/^/      /' "$out.diff" | head -40
    fi
    if [ -s "$case_dir/$transcript.err" ]; then
        note "(standard error of $what:)"
        sed 's/^/      | /' "$case_dir/$transcript.err" | head -10
    fi
}

run_exe() {
    local want=$1 transcript=$2
    shift 2
    start_exe "$transcript" "$@"
    finish_exe "$want" "$transcript"
}

# same_file A B: the two files in the case's folder are equal byte for byte.
same_file() {
    if [ ! -f "$case_dir/$2" ]; then
        fail "$2 was not written"
    elif ! cmp -s "$case_dir/$1" "$case_dir/$2"; then
        fail "$2 differs from $1: $(cmp "$case_dir/$1" "$case_dir/$2" 2>&1 | head -1)"
    fi
}

# random_image NAME BYTES: a fresh random image (HALVARD_WINE_KEEP=1 keeps it for a rerun).
random_image() {
    head -c "$2" /dev/urandom >"$case_dir/$1"
}

run_case() {
    case_name=$1
    case_dir=$work/cases/$case_name
    case_ok=1
    case_skipped=
    mkdir -p "$case_dir"
    local begin=$SECONDS
    echo "Windows case $case_name"
    "case_$case_name" || case_ok=0
    stop_sim
    if [ -n "$case_skipped" ]; then
        skipped=$((skipped + 1))
        note "skipped: $case_skipped"
    elif [ "$case_ok" = 1 ]; then
        passed=$((passed + 1))
        note "ok ($((SECONDS - begin)) s)"
    else
        failed=$((failed + 1))
        failures+=("$case_name")
        if [ -s "$case_dir/sim.err" ]; then
            note "(halvard-sim said:)"
            sed 's/^/      | /' "$case_dir/sim.err" | head -10
        fi
    fi
}

# ---- the cases -------------------------------------------------------------------------------

# shellcheck source=tests/wine/cases.sh
source "$root/tests/wine/cases.sh"
# HALVARD_WINE_CASES="name ..." runs only those cases.
read -r -a selected <<<"${HALVARD_WINE_CASES:-${WINE_CASES[*]}}"
for name in "${selected[@]}"; do
    run_case "$name"
done

summary="Windows stage: $passed passed, $failed failed"
[ "$skipped" -gt 0 ] && summary+=", $skipped skipped"
echo "$summary (${SECONDS} s, Wine prefix included)"
if [ "$failed" -gt 0 ]; then
    echo "Windows stage failures: ${failures[*]}"
    exit 1
fi
