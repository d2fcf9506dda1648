# Sourced by run.sh and test.sh: installs the Debian packages that are missing.
# dpkg-dev and file are cpack's (dpkg-shlibdeps finds the programs' libraries,
# file tells programs apart), so a package can be made after either command.
ORVANE_PACKAGES="cmake g++ make pkg-config libdbus-1-dev qt6-base-dev qt6-base-dev-tools qt6-serialport-dev qt6-httpserver-dev qt6-websockets-dev dbus dbus-bin dbus-daemon libglib2.0-bin python3-dbus xauth xvfb libmosquitto-dev libsystemd-dev libssl-dev dpkg-dev file"

# Only test.sh needs these: the fuzzers are built with clang and its runtime,
# and llvm brings the symbolizer that names the frames of a sanitizer's report
# (without it each report is only addresses, and a warning about it in every
# log). The MQTT tests start their own broker, use its command-line clients and
# make certificates for it, and run Aedes, a broker that speaks MQTT 3.1.1 only,
# on Node.js (CTest installs it with npm); the install test checks the desktop
# entry and the AppStream file, the systemd units (systemd-analyze) and the
# package (lintian).
ORVANE_TEST_PACKAGES="chromium clang libclang-rt-14-dev llvm mosquitto mosquitto-clients openssl nodejs npm desktop-file-utils appstream systemd lintian"

# orvane_install_deps [package...]: the common packages and these. With
# $ORVANE_LOG set, apt's output goes to that file.
orvane_install_deps() {
    local missing=()
    # What installed packages provide counts: a Node.js from elsewhere brings
    # its own npm and conflicts with Debian's.
    local provided
    provided=" $(dpkg-query -W -f='${Status} ${Provides}\n' 2>/dev/null | sed -n 's/^install ok installed //p' |
        sed 's/ *([^)]*)//g; s/, */ /g' | tr '\n' ' ') "
    for p in $ORVANE_PACKAGES "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            [[ "$provided" == *" $p "* ]] || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing ${#missing[@]} packages: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    (
        [ -z "${ORVANE_LOG:-}" ] || exec >>"$ORVANE_LOG" 2>&1
        "${sudo[@]}" apt-get update -qq
        "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
    )
}

# orvane_build dir [cmake options...]: configures the tree and builds every
# target, or only those in $ORVANE_TARGETS. run.sh and test.sh share build/
# with the same compile flags, so going from one to the other builds only what
# changed.
orvane_build() {
    local dir="$1"
    shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    local targets=()
    for t in ${ORVANE_TARGETS:-}; do targets+=(--target "$t"); done
    cmake --build "$dir" -j"$(nproc)" "${targets[@]}"
}
