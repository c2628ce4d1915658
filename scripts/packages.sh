# The Debian packages that building, testing and benchmarking need; sourced
# by scripts/test and scripts/bench. install_packages [EXTRA ...] installs
# those missing, with the extra packages that the caller needs besides.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }

install_packages() {
    local pkgs=(cmake make g++ googletest libgtest-dev libcjson-dev socat busybox lighttpd
                u-boot-tools curl iproute2 qemu-user g++-mipsel-linux-gnu "$@")
    local missing=() p
    for p in "${pkgs[@]}"; do installed "$p" || missing+=("$p"); done
    if [ ${#missing[@]} -gt 0 ]; then
        log "installing ${missing[*]}"
        as_root apt-get update -q
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
    fi
    # cJSON for the router build comes from Debian's mipsel packages
    if ! installed libcjson-dev:mipsel; then
        log "installing libcjson-dev:mipsel"
        dpkg --print-foreign-architectures | grep -qx mipsel || as_root dpkg --add-architecture mipsel
        as_root apt-get update -q
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends libcjson-dev:mipsel
    fi
}
