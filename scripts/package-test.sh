#!/usr/bin/env bash
# Builds the .deb, unpacks it into a scratch root and uses what it installs as a user would: the
# installed halvard programs, verifies and reads back the installed halvard-sim and the board of
# /COM=SIM, answers --help, --version and --ports, and its man pages pass man's and mandoc's checks.
# `cmake --install` with DESTDIR must lay out the same files. Prints one line per check; fails on
# the first that does not hold.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh package
build=build/package
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DHALVARD_TESTS=OFF \
    -DHALVARD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
rm -f "$build"/halvard_*.deb
(cd "$build" && cpack >/dev/null)
deb=$(echo "$build"/halvard_*.deb)

work=$(mktemp -d /tmp/halvard-package.XXXXXX)
sim_pid=
cleanup() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "Package test: FAIL: $*" >&2
    exit 1
}
ok() {
    echo "Package test: ok: $*"
}

root=$work/root
dpkg-deb -x "$deb" "$root"
halvard=$root/usr/bin/halvard
sim=$root/usr/bin/halvard-sim
for file in usr/bin/halvard usr/bin/halvard-sim usr/share/man/man1/halvard.1 \
    usr/share/man/man1/halvard-sim.1 usr/share/doc/halvard/README.md; do
    [ -f "$root/$file" ] || fail "$(basename "$deb") has no /$file"
done
ok "$(basename "$deb") unpacked: $(dpkg-deb -f "$deb" Depends)"

DESTDIR=$work/destdir cmake --install "$build" --prefix /usr >/dev/null
diff <(cd "$root" && find . -type f | sort) <(cd "$work/destdir" && find . -type f | sort) ||
    fail "cmake --install lays out other files than the package"
ok "cmake --install lays out the package's files"

# run FOLDER STATUS TEXT ARGS...: the installed halvard in FOLDER ends with STATUS and prints TEXT.
run() {
    local folder=$1 want=$2 text=$3 status=0
    shift 3
    (cd "$folder" && "$halvard" "$@") >"$work/out.txt" 2>&1 || status=$?
    if [ "$status" != "$want" ] || ! grep -qF -- "$text" "$work/out.txt"; then
        sed 's/^/    | /' "$work/out.txt" >&2
        fail "halvard $* ended with $status (expected $want and \"$text\")"
    fi
    ok "halvard $*"
}

# round_trip FOLDER PORT: program, verify and read back a 64 KB image through the port.
round_trip() {
    local folder=$1 port=$2
    head -c 65536 /dev/urandom >"$folder/image.bin"
    run "$folder" 0 "Programming Successfully!!" /P image.bin "/COM=$port"
    run "$folder" 0 "Checksum OK" /V image.bin "/COM=$port"
    run "$folder" 0 "Reading Successfully!!" /R back.bin "/COM=$port" /L=10000
    cmp "$folder/image.bin" "$folder/back.bin" || fail "what /R read through $port differs"
    ok "the image read back through $port is the one programmed"
}

run "$work" 0 "Usage: Halvard /function" --help
run "$work" 0 "Version 1.08." --version
run "$work" 0 "" --ports

mkdir "$work/sim" "$work/pty"
round_trip "$work/sim" SIM

"$sim" --flash-image "$work/pty/flash.img" >"$work/pty/sim.out" 2>"$work/pty/sim.err" &
sim_pid=$!
for _ in $(seq 50); do
    [ -s "$work/pty/sim.out" ] && break
    sleep 0.1
done
pty=$(head -n 1 "$work/pty/sim.out")
[ -n "$pty" ] || fail "the installed halvard-sim printed no terminal: $(cat "$work/pty/sim.err")"
round_trip "$work/pty" "$pty"

for page in "$root"/usr/share/man/man1/*.1; do
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man -l $(basename "$page"): $warnings"
    mandoc -T lint -W warning "$page" || fail "mandoc -T lint $(basename "$page") has warnings"
    ok "man page $(basename "$page")"
done
