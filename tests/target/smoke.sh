#!/usr/bin/env bash
# Starts one router program under qemu user mode and checks how it ends.
#
#   smoke.sh run QEMU LIBC_ROOT STATUS [--expect ERE]... [--env NAME=VALUE]... -- PROGRAM [ARG...]
#       Runs the program once with the environment given (and nothing else).
#       STATUS is its exit status, or "nonzero"; each ERE must match a line of
#       its standard output or standard error.
#   smoke.sh lted QEMU LIBC_ROOT -- PROGRAM
#       Starts the modem daemon, sees it log that it waits for the
#       configuration daemon, and stops it there. Skipped (status 77) where
#       the configuration daemon's marker exists: lted would go on and tune
#       this machine's TCP settings.
#
# Router builds use the system's own absolute paths. qemu resolves an absolute
# path under its -L directory first when the file exists there, so every run
# gets a private -L directory with the cross C library and stand-ins for what
# the programs write (logs, TCP settings, GPIO driver): such writes land there
# and not on this machine.
set -euo pipefail

mode=$1 qemu=$2 libc_root=$3
shift 3

fake=$(mktemp -d "${TMPDIR:-/tmp}/router-smoke.XXXXXX")
pid=
cleanup() {
    if [ -n "$pid" ]; then
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
    rm -rf "$fake"
}
trap cleanup EXIT

ln -s "$libc_root/lib" "$fake/lib"
mkdir -p "$fake/tmp" "$fake/proc/sys/net/ipv4" "$fake/dev"
for f in lted tracelink cgi; do
    : >"$fake/tmp/$f.log"
    : >"$fake/tmp/$f.log.1"
done
tcp_settings="tcp_fin_timeout tcp_keepalive_intvl tcp_keepalive_probes tcp_retries2"
for f in $tcp_settings; do : >"$fake/proc/sys/net/ipv4/$f"; done
: >"$fake/dev/gpio"
# the loader under -L must get the C library of its own build; cJSON comes
# from Debian's mipsel package
emulator=("$qemu" -L "$fake" -E "LD_LIBRARY_PATH=$libc_root/lib:/usr/lib/mipsel-linux-gnu")

failed=0
fail() {
    echo "FAILED: $*"
    failed=1
}

run_once() {
    local status=$1 rc re
    local expects=() envs=()
    shift
    while [ "$1" != -- ]; do
        case $1 in
        --expect) expects+=("$2"); shift 2 ;;
        --env) envs+=(-E "$2"); shift 2 ;;
        *) echo "smoke.sh: unknown option $1" >&2; exit 2 ;;
        esac
    done
    shift
    [ -f "$1" ] || { fail "no program $1"; return; }
    echo "running: $*"
    rc=0
    timeout 30 env -i "${emulator[@]}" "${envs[@]}" "$@" >"$fake/out" 2>&1 </dev/null || rc=$?
    sed 's/^/| /' "$fake/out"
    echo "exit status $rc"
    if [ "$rc" -eq 124 ]; then
        fail "still running after 30 s"
    elif [ "$status" = nonzero ]; then
        [ "$rc" -ne 0 ] || fail "exit status 0, expected a failure"
    else
        [ "$rc" -eq "$status" ] || fail "exit status $rc, expected $status"
    fi
    for re in "${expects[@]}"; do
        grep -Eq -- "$re" "$fake/out" || fail "no line matches: $re"
    done
}

lted_waits() {
    local marker=/var/run/nvramd.pid log=$fake/tmp/lted.log rc f
    shift # --
    if [ -e "$marker" ]; then
        echo "skipped: $marker exists on this machine"
        exit 77
    fi
    [ -f "$1" ] || { fail "no program $1"; return; }
    echo "running: $*"
    "${emulator[@]}" "$@" >"$fake/out" 2>&1 </dev/null &
    pid=$!
    for _ in $(seq 200); do
        grep -qF 'lted: waiting nvram_daemon...' "$log" && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    # a few more polls of the marker (every 200 ms) and it must still wait
    sleep 0.5
    kill -0 "$pid" 2>/dev/null || fail "lted ended while it should wait"
    kill -TERM "$pid" 2>/dev/null || true
    rc=0
    wait "$pid" || rc=$?
    pid=
    sed 's/^/| /' "$fake/out" "$log"
    echo "ended with status $rc after SIGTERM"
    grep -qF 'lted: starting' "$log" || fail "no 'lted: starting' in /tmp/lted.log"
    grep -qF 'lted: waiting nvram_daemon...' "$log" || fail "no 'lted: waiting nvram_daemon...' in /tmp/lted.log"
    if grep -qF 'waiting nvram_daemon OK' "$log"; then fail "lted went past its wait"; fi
    for f in $tcp_settings; do
        [ ! -s "$fake/proc/sys/net/ipv4/$f" ] || fail "/proc/sys/net/ipv4/$f written while waiting"
    done
}

case $mode in
run) run_once "$@" ;;
lted) lted_waits "$@" ;;
*) echo "smoke.sh: unknown mode $mode" >&2; exit 2 ;;
esac
exit "$failed"
