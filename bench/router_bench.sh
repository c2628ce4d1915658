#!/usr/bin/env bash
# The simulated router under measurement, inside private network and mount
# namespaces with $TMPDIR on a RAM file system (scripts/bench starts it so):
#
#   router_bench.sh BIN_DIR ROUNDS [idle] [web]
#
# idle: lted at rest with the modem connected, ROUNDS windows: resident
#       memory, CPU per hour, wake-ups per second.
# web:  webapi pages against a trivial C CGI under the same lighttpd, A, B,
#       A, B, ...: requests per second at concurrency 1 and 8 (wrk). With
#       WEBAPI_BEFORE=PROGRAM, that program (an earlier webapi) runs the
#       same pages as a third contestant, under /before/.
set -euo pipefail
# a step that fails says where, rather than ending the run without a word
trap 'echo "router_bench.sh: line $LINENO failed (status $?)" >&2' ERR
bin=$1 rounds=$2
shift 2
src=$(cd "$(dirname "$0")/.." && pwd)
want_list=" $* "
wants() { [[ "$want_list" == *" $1 "* ]]; }
idle_window=30 # seconds per window: one network poll in each
wrk_seconds=3  # per run
port=8080      # inside this namespace, nobody else's

root=$(mktemp -d "${TMPDIR:-/tmp}/bench-router-XXXXXX")
pids=()
netns_made=0
cleanup() {
    local p
    for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    [ "$netns_made" -eq 0 ] || "$src/sim/carrier" destroy "$netid"
    # BENCH_KEEP=DIR keeps a copy of the router root to look at
    [ -z "${BENCH_KEEP:-}" ] || cp -a "$root" "$BENCH_KEEP"
    rm -rf "$root"
}
trap cleanup EXIT

# the router as ./scripts/run sets it up (data path included), from the
# optimised build
mkdir -p "$root"/{tmp,var/run,dev,sys/bus/usb/devices,proc/sys/net/ipv4,etc_ro,sim,bin}
# booted ten minutes ago: a session opened in the boot clock's second 0 would
# carry the time 0, which marks a dead session
awk '{ b = $1 > 600 ? $1 - 600 : 0; printf "%.0f 1\n", b * 1e9 }' /proc/uptime >"$root/sim/clock"
touch "$root/var/run/nvramd.pid"
cp -R "$src"/sim/rootfs/. "$root/"
ln -s /proc/meminfo "$root/proc/meminfo"
export ROUTER_ROOT="$root"
export PATH="$src/sim/bin:$PATH"
netid="rtsim-$$-bench"
"$src/sim/carrier" create "$netid" usb0
netns_made=1
# the connectivity watchdog pings the carrier side, never anything beyond it
"$bin/nvram" set 2860 ping_server 198.51.100.1 >/dev/null
"$bin/modemsim" --root "$root" --model 9025 --addr 198.51.100.10 \
    --data-hook "$src/sim/carrier hook $netid" >"$root/sim/modemsim.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -f "$root/sim/modemsim.pid" ] && break; sleep 0.05; done
ip netns exec "$netid-router" "$bin/lted" start >"$root/tmp/lted.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
    # lted among the namespace's processes (its DHCP client and shells too):
    # a pid that is not lted is no failure of the search
    lted=$(ip netns pids "$netid-router" 2>/dev/null | while read -r p; do
        if [ "$(cat /proc/"$p"/comm 2>/dev/null)" = lted ]; then echo "$p"; fi
    done | head -1 || true)
    [ -n "$lted" ] && break
    sleep 0.05
done
[ -n "$lted" ] || { echo "bench: lted did not start" >&2; exit 1; }

# lted's threads: CPU nanoseconds and sleeps (each ends in a wake-up)
sched() {
    cat /proc/"$lted"/task/*/sched |
        awk '/^se.sum_exec_runtime/ { ns += $3 * 1e6 } /^nr_voluntary_switches/ { n += $3 }
             END { printf "%.0f %d\n", ns, n }'
}
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

if wants idle; then
    echo "lted at rest with the modem connected (model 9025, DHCP lease over the simulated data path): $rounds windows of ${idle_window} s"
    lease="$root/var/run/dhcpc/usb0/ip"
    for _ in $(seq 240); do [ -f "$root/tmp/connected" ] && [ -s "$lease" ] && break; sleep 0.5; done
    if [ -f "$root/tmp/connected" ] && [ -s "$lease" ]; then
        echo "  connected, lease $(cat "$lease"); settling for 10 s"
    else
        echo "  not connected after 120 s; measured as it is"
    fi
    sleep 10
    : >"$root/idle"
    for r in $(seq "$rounds"); do
        read -r ns0 n0 < <(sched)
        c0=$(grep -c ' > ' "$root/sim/modem.log" || true)
        sleep "$idle_window"
        read -r ns1 n1 < <(sched)
        c1=$(grep -c ' > ' "$root/sim/modem.log" || true)
        rss=$(awk '/^VmRSS/ { print $2 }' /proc/"$lted"/status)
        awk -v ns=$((ns1 - ns0)) -v n=$((n1 - n0)) -v c=$((c1 - c0)) -v w="$idle_window" -v rss="$rss" \
            'BEGIN { printf "%d %.2f %.2f %.2f\n", rss, ns / 1e9 * 3600 / w, n / w, c / w }' >>"$root/idle"
        awk -v r="$r" '{ l = $0 } END { split(l, f, " ")
            printf "  window %d: RSS %d KiB, CPU %.2f s per hour, %.2f wake-ups/s, %.2f AT commands/s\n",
                   r, f[1], f[2], f[3], f[4] }' "$root/idle"
    done
    # designed: the network poll (about nine commands every 30 s), the DHCP
    # supervisor (5 s), the SIM poll and the echo request (60 s); an AT
    # command wakes the daemon twice (reader, then sender)
    printf '  medians: RSS %s KiB, CPU %s s per hour, %s wake-ups/s, %s AT commands/s\n' \
        "$(cut -d' ' -f1 "$root/idle" | median)" "$(cut -d' ' -f2 "$root/idle" | median)" \
        "$(cut -d' ' -f3 "$root/idle" | median)" "$(cut -d' ' -f4 "$root/idle" | median)"
fi

if wants web; then
    echo
    echo "webapi pages against a trivial C CGI (bench/cgi_min.c) under the same lighttpd:" \
        "requests/s, $rounds rounds of ${wrk_seconds} s runs"
    "$src/sim/web/setup" "$root" "$port" "$bin"
    cgi="$root/etc_ro/lighttpd/www/cgi-bin"
    ln -sfn "$bin/cgi_min" "$cgi/min.cgi"
    contestants=(webapi cgi_min)
    if [ -n "${WEBAPI_BEFORE:-}" ]; then
        contestants+=(before)
        mkdir -p "$root/etc_ro/lighttpd/www/before"
        "$bin/webpages" | while read -r page; do
            ln -sfn "$WEBAPI_BEFORE" "$root/etc_ro/lighttpd/www/before/$page"
        done
        sed -i 's|^\$HTTP\["url"\] =~ "^/cgi-bin/"|$HTTP["url"] =~ "^/(cgi-bin\|before)/"|' "$root/sim/lighttpd.conf"
    fi
    lighttpd -D -f "$root/sim/lighttpd.conf" >"$root/sim/lighttpd.out" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.05; done
    url="http://127.0.0.1:$port/cgi-bin"
    digest=$(printf admin | md5sum | cut -c1-32)
    login_body="{\"username\":\"admin\",\"password\":\"$digest\"}"
    ping_body='{"server":"198.51.100.1","interval":30,"timeout":5,"timeoutcount":3}'
    login() {
        curl -s -H 'Content-Type: application/json' -d "$login_body" "$url/login.cgi" |
            sed -n 's/.*"session":"\([^"]*\)".*/\1/p'
    }
    session=$(login)
    [ -n "$session" ] || { echo "bench: could not log in" >&2; exit 1; }
    # wrk's request: method, body and the session cookie
    script() { # FILE METHOD BODY
        cat >"$1" <<LUA
wrk.method = "$2"
wrk.headers["Cookie"] = "session=$session"
wrk.headers["Content-Type"] = "application/json"
$([ -n "$3" ] && printf 'wrk.body = [[%s]]' "$3")
LUA
    }
    pages=("login POST login.cgi $login_body" "home GET home.cgi" "ping.cgi_GET GET ping.cgi"
           "ping.cgi_POST POST ping.cgi $ping_body")
    # each page answers as it should before it is timed
    for p in "${pages[@]}"; do
        read -r name method page body <<<"$p"
        script "$root/req.lua" "$method" "${body:-}"
        answer=$(curl -s -X "$method" -b "session=$session" -H 'Content-Type: application/json' \
            ${body:+-d "$body"} "$url/$page")
        printf '  %-14s answers %.70s\n' "$name" "$answer"
        [ "$name" = login ] && session=$(login)
    done
    : >"$root/web"
    for r in $(seq "$rounds"); do
        for p in "${pages[@]}"; do
            read -r name method page body <<<"$p"
            for c in 1 8; do
                for who in "${contestants[@]}"; do
                    target=$url/$page
                    [ "$who" = cgi_min ] && target=$url/min.cgi
                    [ "$who" = before ] && target=${url%/cgi-bin}/before/$page
                    script "$root/req.lua" "$method" "${body:-}"
                    rps=$(wrk -t "$((c < 2 ? 1 : 2))" -c "$c" -d "${wrk_seconds}s" -s "$root/req.lua" \
                        "$target" | awk '/^Requests\/sec/ { print $2 }')
                    echo "$r $name $c $who $rps" >>"$root/web"
                done
                # a login replaces the session: take the new one for the next pages
                [ "$name" = login ] && session=$(login)
            done
        done
        awk -v r="$r" '$1 == r { printf "%s%s c%s %s %.0f", (n++ ? ", " : "  round " r ": "), $2, $3, $4, $5 }
                       END { print "" }' "$root/web"
    done
    echo "  medians (requests/s) and webapi / cgi_min (median of the rounds' ratios):"
    for p in "${pages[@]}"; do
        read -r name _ <<<"$p"
        for c in 1 8; do
            a=$(awk -v n="$name" -v c="$c" '$2 == n && $3 == c && $4 == "webapi" { print $5 }' "$root/web" | median)
            b=$(awk -v n="$name" -v c="$c" '$2 == n && $3 == c && $4 == "cgi_min" { print $5 }' "$root/web" | median)
            ratio=$(awk -v n="$name" -v c="$c" '$2 == n && $3 == c { v[$1, $4] = $5; rr[$1] = 1 }
                END { for (r in rr) if (v[r, "cgi_min"] > 0) print v[r, "webapi"] / v[r, "cgi_min"] }' "$root/web" | median)
            printf '  %-14s concurrency %d: webapi %7.0f  cgi_min %7.0f  ratio %.2fx' "$name" "$c" "$a" "$b" "$ratio"
            if [ -n "${WEBAPI_BEFORE:-}" ]; then
                printf '  before %7.0f  webapi / before %.2fx' \
                    "$(awk -v n="$name" -v c="$c" '$2 == n && $3 == c && $4 == "before" { print $5 }' "$root/web" | median)" \
                    "$(awk -v n="$name" -v c="$c" '$2 == n && $3 == c { v[$1, $4] = $5; rr[$1] = 1 }
                        END { for (r in rr) if (v[r, "before"] > 0) print v[r, "webapi"] / v[r, "before"] }' "$root/web" | median)"
            fi
            echo
        done
    done
fi
