#!/bin/sh
# Stand-in for the firmware's firewall script (run as
# "/etc_ro/lighttpd/www/cgi-bin/firewall.cgi init"): records the call in the
# router root and does nothing else.
[ -n "$ROUTER_ROOT" ] || exit 1
mkdir -p "$ROUTER_ROOT/sim" && printf '%s\n' "${0##*/}${*:+ $*}" >>"$ROUTER_ROOT/sim/calls.log"
