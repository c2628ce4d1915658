#!/bin/sh
# Stand-in for the firmware's DHCP client script "/sbin/udhcpc.sh": configures
# the interface as the router's script does and writes the lease files
# "/var/run/dhcpc/<ifname>/{ip,netmask,gw,dns,dns2}" under the router root
# (one value each, no line end). busybox udhcpc runs it with the event as $1.
[ -n "$ROUTER_ROOT" ] && [ -n "$interface" ] || exit 1
dir="$ROUTER_ROOT/var/run/dhcpc/$interface"
lease_files="ip netmask gw dns dns2"

case "$1" in
deconfig)
    ip addr flush dev "$interface"
    ip link set "$interface" up
    for f in $lease_files; do rm -f "$dir/$f"; done
    ;;
bound | renew)
    mkdir -p "$dir"
    if [ "$(cat "$dir/ip" 2>/dev/null)" != "$ip" ]; then
        ip addr flush dev "$interface"
    fi
    ip addr replace "$ip/${mask:-24}" dev "$interface"
    gw=${router%% *}
    if [ -n "$gw" ]; then ip route replace default via "$gw" dev "$interface"; fi
    set -- $dns
    printf '%s' "${subnet:-255.255.255.0}" >"$dir/netmask"
    printf '%s' "$gw" >"$dir/gw"
    printf '%s' "$1" >"$dir/dns"
    printf '%s' "$2" >"$dir/dns2"
    printf '%s' "$ip" >"$dir/ip" # last: a reader that sees it sees the whole lease
    ;;
esac
exit 0
