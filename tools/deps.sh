# Sourced by run.sh and test.sh: installs the Debian packages that are missing.
ORVANE_PACKAGES="cmake g++ make pkg-config libdbus-1-dev qt6-base-dev qt6-base-dev-tools qt6-serialport-dev dbus dbus-bin dbus-daemon libglib2.0-bin python3-dbus xauth xvfb libmosquitto-dev libsystemd-dev libssl-dev"

# Only test.sh needs these: the fuzzers are built with clang and its runtime; the
# MQTT tests start their own broker, use its command-line clients and make
# certificates for it; the install test checks the desktop entry and the
# AppStream file, and builds the Debian package (dpkg-shlibdeps finds its
# libraries, with file telling programs apart), checks the systemd units
# (systemd-analyze) and the package (lintian).
ORVANE_TEST_PACKAGES="clang libclang-rt-14-dev mosquitto mosquitto-clients openssl desktop-file-utils appstream dpkg-dev file systemd lintian"

orvane_install_deps() {
    local missing=()
    for p in $ORVANE_PACKAGES "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# orvane_build [dir [cmake options...]]: every target, or only those in
# $ORVANE_TARGETS (run.sh builds just what it starts).
orvane_build() {
    local dir="${1:-build}"
    [ $# -gt 0 ] && shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    local targets=()
    for t in ${ORVANE_TARGETS:-}; do targets+=(--target "$t"); done
    cmake --build "$dir" -j"$(nproc)" "${targets[@]}"
}
