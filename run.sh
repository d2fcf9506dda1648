#!/usr/bin/env bash
# Installs what is missing, builds, and starts the program against the virtual
# controller. Arguments go to the program (./run.sh --verbose).
set -euo pipefail
cd "$(dirname "$0")"
. tools/deps.sh
bin=build/bin

# A second start would take the first one's simulator link and bus away.
if [ -e "$bin/.orvane.lock" ] && ! flock -n "$bin/.orvane.lock" true; then
    echo "run.sh: the program already runs on $bin; stop it first (Ctrl-C where it was started)" >&2
    exit 3
fi

# Apt's and the compiler's output go to a log: the screen keeps what a user
# needs, and the log's end when a step fails.
mkdir -p build
export ORVANE_LOG=$PWD/build/setup.log
: >"$ORVANE_LOG"
failed() {
    echo "run.sh: $1 failed; the end of $ORVANE_LOG:" >&2
    tail -n 30 "$ORVANE_LOG" >&2
    exit 1
}
orvane_install_deps || failed "installing the packages"
echo "Building the program, orvane-sim and orvane-exec into build/ (a first build takes minutes)"
# Only what starts here and the man pages. A new tree leaves the tests out, so
# that `cmake --install build` and cpack never build them; one that test.sh
# made keeps them (they are built already).
ORVANE_TARGETS="orvane orvane-sim orvane-exec orvane_dist_gzipped"
options=()
[ -e build/CMakeCache.txt ] || options=(-DBUILD_TESTING=OFF)
if [ -t 1 ]; then
    orvane_build build "${options[@]}" 2>&1 | tee -a "$ORVANE_LOG" \
        | awk '/^\[ *[0-9]+%\]/ { printf "\r   %s", $1 $2; fflush() } END { print "" }' || failed "the build"
else
    orvane_build build "${options[@]}" >>"$ORVANE_LOG" 2>&1 || failed "the build"
fi

# A first start gets port 1 and a 500 ms time-out; the user's own file is never replaced.
config=$bin/LED_CONFIG.TXT
if [ ! -e "$config" ]; then
    printf '"PORT",1\r\n"TIMEOUT",500\r\n' > "$config"
fi
# The web page, on a port free now, unless the file says otherwise (0 turns it off).
if ! grep -q '^"WEB_PORT"' "$config"; then
    free=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    [ -z "$(tail -c 1 "$config")" ] || printf '\r\n' >> "$config"
    printf '"WEB_PORT",%s\r\n' "$free" >> "$config"
fi
web_port=$(sed -n 's/^"WEB_PORT",\([0-9]*\).*/\1/p' "$config" | head -n 1)
web_host=$(sed -n 's/^"WEB_HOST","\{0,1\}\([^"\r]*\).*/\1/p' "$config" | head -n 1)

sim= bus= busfile=$bin/.orvane-bus
stop() {
    [ -z "$sim" ] || { kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; }
    [ -z "$bus" ] || { kill "$bus" 2>/dev/null || true; rm -f "$busfile"; }
}
trap stop EXIT

# The virtual controller answers on port 1 (build/bin/COM1) while the program runs.
"$bin/orvane-sim" --link "$bin/COM1" --no-show >/dev/null &
sim=$!
for _ in $(seq 50); do [ -L "$bin/COM1" ] && break; sleep 0.1; done

# Without a session bus (an ssh shell, a bare machine) the program gets a bus of
# its own, whose address orvane-exec finds in the application directory.
rm -f "$busfile"
if ! timeout 5 dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.GetId >/dev/null 2>&1; then
    unset DBUS_SESSION_BUS_ADDRESS
    out=$(dbus-daemon --session --fork --address="unix:dir=${XDG_RUNTIME_DIR:-${TMPDIR:-/tmp}}" \
        --print-address=1 --print-pid=1) || failed "starting a D-Bus bus"
    export DBUS_SESSION_BUS_ADDRESS=${out%%$'\n'*}
    bus=${out##*$'\n'}
    (umask 077; printf '%s\n' "$DBUS_SESSION_BUS_ADDRESS" >"$busfile")
fi

here=$(pwd)
echo
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "Orvane starts in its window, driving orvane-sim on port 1 ($bin/COM1)."
else
    echo "Orvane starts without a window (no display), driving orvane-sim on port 1 ($bin/COM1)."
fi
echo "Reach it from another shell of this user:"
echo "    cd $here && $bin/orvane-exec 'LED R 100;Ver'"
if [ -n "$bus" ]; then
    echo "There is no D-Bus session bus here, so it runs on a bus of its own, which orvane-exec finds."
    echo "For gdbus or Python:  export DBUS_SESSION_BUS_ADDRESS=\$(cat $here/$busfile)"
fi
if [ -n "$web_port" ] && [ "$web_port" != 0 ]; then
    echo "In a browser on this machine:  http://${web_host:-127.0.0.1}:$web_port/"
fi
echo "Settings: $config. Ctrl-C stops the program and the simulator."
echo

# In the background, so that a stop signal to this script (Ctrl-C, a closed
# ssh session) is passed on at once and the EXIT trap still tidies up.
"$bin/orvane" "$@" &
prog=$!
trap 'kill -TERM "$prog" 2>/dev/null || true' INT TERM HUP
status=0
while kill -0 "$prog" 2>/dev/null; do
    wait "$prog" && status=0 || status=$?
done
exit "$status"
