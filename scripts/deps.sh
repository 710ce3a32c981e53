# Sourced by the scripts: installs the Debian packages the build, the tests
# and the demo need, when any of them is missing.
# imagemagick takes the demo's screenshots; a font makes them readable.
# Qt loads libssl at run time for https:// mirrors; the digests of release
# files link its libcrypto.
# libdeflate checks unpacked data faster than zlib does.
# libzstd makes and applies the binary patches against earlier releases.
# iproute2 makes the network namespaces of the topology tests.
# nginx is the real mirror (HTTPS, HTTP/2) of the network tests.
VT3_PACKAGES="cmake g++ make iproute2 qtbase5-dev qttools5-dev qttools5-dev-tools zlib1g-dev pkg-config libsodium-dev libssl-dev libdeflate-dev libzstd-dev xvfb xdotool x11-apps python3 libxkbcommon-x11-0 imagemagick fonts-dejavu-core libssl3 nginx"

vt3_install_deps() {
    local missing=""
    for p in $VT3_PACKAGES "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
    done
    [ -z "$missing" ] && return 0
    echo "Installing:$missing"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing >/dev/null
}
