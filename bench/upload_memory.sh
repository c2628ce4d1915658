#!/usr/bin/env bash
# Peak resident size of the web back end serving a firmware upload whose body
# is the largest accepted (6291456 bytes), next to a 1 KiB one: the upload is
# meant to be in memory once, so the difference should be the body size.
# Then a 6 MiB JSON body posted to login.cgi without a session, which is
# refused before it is read: it should cost no more than the small upload.
#
#   bench/upload_memory.sh [BUILD_BIN_DIR]     (default build/host/bin)
#
# Needs GNU time (/usr/bin/time) and mkimage. A measurement, not a test.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)
bin=${1:-$src/build/host/bin}
[ -x "$bin/webapi" ] || { echo "build webapi first ($bin/webapi)" >&2; exit 2; }
root=$(mktemp -d /tmp/upload-memory.XXXXXX)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root"/{tmp,var/run,dev,proc,bin,sim}
cp "$src"/sim/rootfs/bin/* "$root/bin/"
cp "$src/sim/rootfs/proc/mtd" "$root/proc/mtd"
# a router up for 1000 s whose clock runs 100 times faster: the 2-second
# pause after stopping the services takes 20 ms
awk '{ printf "%.0f 100\n", ($1 - 10) * 1e9 }' /proc/uptime >"$root/sim/clock"
export ROUTER_ROOT=$root PATH="$src/sim/bin:$PATH"

cgi() { # PAGE CONTENT_TYPE BODY_FILE [COOKIE]
    env SCRIPT_NAME="/cgi-bin/$1" REMOTE_ADDR=127.0.0.1 REQUEST_METHOD=POST \
        CONTENT_TYPE="$2" CONTENT_LENGTH="$(stat -c %s "$3")" HTTP_COOKIE="${4:-}" \
        /usr/bin/time -f %M -o "$root/rss" "$bin/webapi" <"$3"
}

printf '{"username":"admin","password":"%s"}' "$(printf admin | md5sum | cut -c1-32)" >"$root/login"
session=$(cgi login.cgi application/json "$root/login" | sed -n 's/.*"session":"\([^"]*\)".*/\1/p')
[ -n "$session" ] || { echo "login failed" >&2; exit 1; }

boundary=----WebKitFormBoundaryq9Zx2LbV0aTn7sQe
# BODY_SIZE: an upload of a mkimage image filling a body of that size
measure() {
    local size=$1 head tail data
    head="--$boundary"$'\r\nContent-Disposition: form-data; name="file"; filename="fw.img"\r\nContent-Type: application/octet-stream\r\n\r\n'
    tail=$'\r\n'"--$boundary--"$'\r\n'
    data=$((size - ${#head} - ${#tail} - 64))
    head -c "$data" /dev/urandom >"$root/data"
    SOURCE_DATE_EPOCH=0 mkimage -A mips -O linux -T kernel -C none -a 0x80000000 \
        -e 0x80000000 -n bench -d "$root/data" "$root/image" >/dev/null
    { printf '%s' "$head"; cat "$root/image"; printf '%s' "$tail"; } >"$root/body"
    local answer
    answer=$(cgi upgradefirmware.cgi "multipart/form-data; boundary=$boundary" "$root/body" \
        "session=$session" | tail -n 1)
    [ "$answer" = '{"result":0}' ] || { echo "upload of $size bytes answered $answer" >&2; exit 1; }
    cmp -s "$root/image" "$root/sim/mtd/Kernel" || { echo "flashed bytes differ" >&2; exit 1; }
    cat "$root/rss"
}

small=$(measure 1024)
large=$(measure 6291456)
printf 'peak resident size, 1 KiB body:    %6d KiB\n' "$small"
printf 'peak resident size, 6 MiB body:    %6d KiB\n' "$large"
sleep 0.5 # the reboot that follows each upload, recorded in the root
printf 'difference:                        %6d KiB (body: 6144 KiB)\n' $((large - small))

# [ 0,0,...,0] of 6291456 bytes: parsed, it would take some forty times that
awk 'BEGIN { printf "[ "; for (i = 0; i < 3145726; i++) printf "0,"; printf "0]" }' >"$root/json"
status=0
answer=$(cgi login.cgi application/json "$root/json") || status=$?
[ "$status" -eq 100 ] && [ -z "$answer" ] ||
    { echo "the 6 MiB JSON post was not refused (status $status): $answer" >&2; exit 1; }
# GNU time puts a line about the exit status before the figure
printf 'peak resident size, 6 MiB JSON post without a session: %6d KiB (refused unread)\n' \
    "$(tail -n 1 "$root/rss")"
