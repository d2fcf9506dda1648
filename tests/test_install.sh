#!/usr/bin/env bash
# The program as an installation gives it to a user: cmake --install into a
# temporary prefix (with a blank in its path); the desktop entry and the
# AppStream file pass their validators; --help, --version and usage errors of
# the three programs; an installed program keeps its settings in
# $XDG_CONFIG_HOME/orvane and starts headless without Qt's harmless texts; the
# bus starts the installed program through the installed service file and a
# script is served; the systemd user units pass systemd-analyze verify;
# --regserver names the instance unit for a folder under ~/.config/orvane; the
# Debian package holds the files, names Qt among its dependencies and passes
# lintian without an error.
#   test_install.sh BUILD_DIR VERSION
set -uo pipefail
build=$(cd "${1:?usage: test_install.sh BUILD_DIR VERSION}" && pwd)
version=${2:?usage: test_install.sh BUILD_DIR VERSION}

work=$(mktemp -d "${TMPDIR:-/tmp}/orvane-install-XXXXXX")
prefix="$work/prefix dir"
bin="$prefix/bin"
sim_pid=
failures=0

cleanup() {
    # Programs of this prefix that outlived their test (a failure) go too.
    for pid in $(installed_pids); do kill -KILL "$pid" 2>/dev/null; done
    [ -z "$sim_pid" ] || { kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; }
    rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
fatal() { echo "FAIL: $*" >&2; exit 1; }
pass() { echo "ok: $*"; }

no_installed_program() { [ -z "$(installed_pids)" ]; }

# Processes running the installed orvane.
installed_pids() {
    local exe
    for exe in /proc/[0-9]*/exe; do
        [ "$(readlink "$exe" 2>/dev/null)" = "$bin/orvane" ] && basename "$(dirname "$exe")"
    done
}

# wait_for SECONDS COMMAND...: true once COMMAND succeeds.
wait_for() {
    local tries=$(($1 * 10))
    shift
    while [ $tries -gt 0 ]; do
        "$@" && return 0
        sleep 0.1
        tries=$((tries - 1))
    done
    return 1
}

# log_has FILE LINE: the simulator logged LINE.
log_has() { grep -qxF "$2" "$1"; }

export QT_QPA_PLATFORM=offscreen
export XDG_CONFIG_HOME="$work/config"
export XDG_RUNTIME_DIR="$work/run"
mkdir -m 700 "$XDG_RUNTIME_DIR"
unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS ORVANE_APP_DIR

# ---- Install into the prefix ----
cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 \
    || { cat "$work/install.log" >&2; fatal "cmake --install into '$prefix' failed"; }
share="$prefix/share"
app_id=org.orvane.Orvane
for f in bin/orvane bin/orvane-exec bin/orvane-sim share/orvane/LED_COMMANDS.TXT \
    "share/applications/$app_id.desktop" "share/icons/hicolor/scalable/apps/$app_id.svg" \
    "share/metainfo/$app_id.metainfo.xml" share/dbus-1/services/Orvane.OrvaneCmd.service \
    share/man/man1/orvane.1.gz share/man/man1/orvane-exec.1.gz share/man/man1/orvane-sim.1.gz \
    share/systemd/user/orvane.service share/systemd/user/orvane@.service \
    share/doc/orvane/copyright share/doc/orvane/changelog.gz; do
    [ -s "$prefix/$f" ] || fail "the installation has no $f"
done
cmp -s "$share/orvane/LED_COMMANDS.TXT" "$build/bin/LED_COMMANDS.TXT" \
    || fail "the installed LED_COMMANDS.TXT is not the command reference"
pass "installed into a prefix"

out=$(desktop-file-validate "$share/applications/$app_id.desktop" 2>&1) && [ -z "$out" ] \
    || fail "desktop-file-validate: $out"
out=$(appstreamcli validate --no-net "$share/metainfo/$app_id.metainfo.xml" 2>&1) \
    || fail "appstreamcli validate: $out"
grep -qx "Icon=$app_id" "$share/applications/$app_id.desktop" || fail "the desktop entry names another icon"
for page in orvane orvane-exec orvane-sim; do
    # The date and the version: lintian wants the one, users the other.
    zcat "$share/man/man1/$page.1.gz" | head -n1 | grep -qE "^\.TH [A-Z-]+ 1 \"[0-9]{4}-[0-9]{2}-[0-9]{2}\" \"Orvane $version\"" \
        || fail "man page of $page: no date or version: $(zcat "$share/man/man1/$page.1.gz" | head -n1)"
    # A fresh machine may have no man; where it has, the page renders without a warning.
    if command -v man >/dev/null; then
        out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$share/man/man1/$page.1.gz" 2>&1 >/dev/null) && [ -z "$out" ] \
            || fail "man page of $page: $out"
    fi
done
# The blank in the prefix is quoted, as the bus splits the line like a shell.
service_exec=$(grep '^Exec=' "$share/dbus-1/services/Orvane.OrvaneCmd.service")
[ "$service_exec" = "Exec='$bin/orvane' --automation" ] || fail "the service file says: $service_exec"
# A bus that systemd runs starts the unit instead.
grep -qx 'SystemdService=orvane.service' "$share/dbus-1/services/Orvane.OrvaneCmd.service" \
    || fail "the service file names no unit: $(cat "$share/dbus-1/services/Orvane.OrvaneCmd.service")"
pass "desktop entry, AppStream file, man pages and service file"

# ---- The systemd user units ----
units="$share/systemd/user"
grep -qxF "ExecStart=\"$bin/orvane\" --service" "$units/orvane.service" \
    || fail "orvane.service starts: $(grep ExecStart "$units/orvane.service")"
grep -qxF "ExecStart=\"$bin/orvane\" --service --app-dir %E/orvane/%i" "$units/orvane@.service" \
    || fail "orvane@.service starts: $(grep ExecStart "$units/orvane@.service")"
for unit in orvane.service orvane@.service; do
    for key in Type=notify Restart=on-failure 'RestartPreventExitStatus=2 3 4' WatchdogSec=30; do
        grep -qxF "$key" "$units/$unit" || fail "$unit has no $key"
    done
    # With no systemd running: its own checks, the man page it names found in the prefix.
    out=$(MANPATH="$share/man" systemd-analyze --user verify "$units/$unit" 2>&1 >/dev/null) && [ -z "$out" ] \
        || fail "systemd-analyze verify $unit: $out"
done
pass "the systemd user units pass systemd-analyze verify"

# ---- Command lines: answers on standard output, usage errors exit 2 ----
# A platform that does not exist: creating an application object would abort.
check_answer() { # PROGRAM OPTION FIRST-LINE-PATTERN
    local out err code
    out=$(QT_QPA_PLATFORM=no-such-platform "$bin/$1" "$2" 2>"$work/err")
    code=$?
    err=$(cat "$work/err")
    [ $code -eq 0 ] || fail "$1 $2 exits $code ($err)"
    [ -z "$err" ] || fail "$1 $2 writes to standard error: $err"
    head -n1 <<<"$out" | grep -qx -- "$3" || fail "$1 $2 answers: $(head -n1 <<<"$out")"
    # Read in a terminal of 80 columns.
    [ -z "$(awk 'length > 80' <<<"$out")" ] || fail "$1 $2 answers lines over 80 columns: $(awk 'length > 80' <<<"$out")"
}
check_usage_error() { # PROGRAM ARGS...
    local program=$1 out code
    shift
    out=$("$bin/$program" "$@" 2>"$work/err" </dev/null)
    code=$?
    [ $code -eq 2 ] || fail "$program $* exits $code, not 2"
    [ -z "$out" ] || fail "$program $* writes to standard output: $out"
    grep -q "^usage: $program" "$work/err" || fail "$program $* prints no usage on standard error"
}
for program in orvane orvane-exec orvane-sim; do
    check_answer "$program" --help "usage: $program .*"
    check_answer "$program" --version "$program $version"
    check_usage_error "$program" --no-such-option
done
check_usage_error orvane --app-dir
check_usage_error orvane --link-port 1
check_usage_error orvane stray-argument
check_usage_error orvane-exec -f
check_usage_error orvane-exec Ver Ver
check_usage_error orvane-exec --name 'no.dots' Ver
check_usage_error orvane-sim --link
# Qt's own options are no unknown options.
out=$("$bin/orvane" -platform offscreen -reverse --version 2>&1) && [ "$out" = "orvane $version" ] \
    || fail "orvane with Qt's options: $out"
pass "--help, --version and usage errors"

# ---- The application directory of an installed program ----
"$bin/orvane-sim" --no-show --log "$work/sim.log" >"$work/sim.out" 2>&1 &
sim_pid=$!
wait_for 10 test -s "$work/sim.out" || fatal "orvane-sim printed no terminal"
pty=$(head -n1 "$work/sim.out")
app_dir="$XDG_CONFIG_HOME/orvane"
out=$("$bin/orvane" --link-port 1 "$pty" 2>&1) || fail "orvane --link-port 1 $pty: $out"
[ "$(readlink "$app_dir/COM1")" = "$pty" ] || fail "$app_dir/COM1 does not lead to $pty"
printf '"PORT",1\r\n"TIMEOUT",500\r\n' >"$work/first.txt"
cmp -s "$app_dir/LED_CONFIG.TXT" "$work/first.txt" || fail "the first settings are not port 1 and 500 ms"
[ ! -e "$bin/COM1" ] && [ ! -e "$bin/LED_CONFIG.TXT" ] || fail "files were made beside the installed program"
"$bin/orvane" --list-ports >"$work/list.txt" 2>&1 && grep -qF "COM1 -> $pty" "$work/list.txt" \
    || fail "--list-ports does not show the link: $(cat "$work/list.txt")"
pass "the application directory in \$XDG_CONFIG_HOME/orvane"

# A start with the window, headless: every channel off on the linked port, and
# on standard error only the program's own lines. Qt takes -platform from the
# command line over the variable, which names no platform.
QT_QPA_PLATFORM=no-such-platform "$bin/orvane" -platform offscreen 2>"$work/start.err" &
program=$!
wait_for 30 grep -q "running without automation" "$work/start.err" || fail "the installed program did not start"
wait_for 10 log_has "$work/sim.log" AVD500 || fail "the installed program sent nothing to port 1"
kill -TERM "$program"
wait "$program"
code=$?
[ $code -eq 0 ] || fail "the installed program ended with $code on SIGTERM"
noise=$(grep -v '^orvane: ' "$work/start.err")
[ -z "$noise" ] || fail "a headless start prints: $noise"
pass "a headless start of the installed program"

# ---- The bus starts the installed program ----
cat >"$work/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <keep_umask/>
  <listen>unix:tmpdir=$work</listen>
  <servicedir>$share/dbus-1/services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
printf 'LED G 250\nVer\n' >"$work/script.txt"
: >"$work/sim.log"
dbus-run-session --config-file="$work/bus.conf" -- sh -c '
    "$1/orvane-exec" "LED R 100;Ver" && "$1/orvane-exec" -f "$2"' sh "$bin" "$work/script.txt" \
    >"$work/exec.out" 2>"$work/exec.err"
code=$?
printf 'OK  ; 1.0 ; \nOK  ; \n1.0 ; \n' >"$work/exec.expected"
[ $code -eq 0 ] && cmp -s "$work/exec.out" "$work/exec.expected" \
    || fail "orvane-exec through the bus exits $code with: $(cat "$work/exec.out" "$work/exec.err")"
log_has "$work/sim.log" AVA400 && log_has "$work/sim.log" AVB250 \
    || fail "the scripts did not reach port 1: $(tr '\n' ' ' <"$work/sim.log")"
# With the bus gone the program switches off and ends.
wait_for 30 no_installed_program || fail "the program the bus started outlived the bus"
[ "$(tail -n1 "$work/sim.log")" = AVD500 ] || fail "the program the bus started did not switch off"
pass "the bus starts the installed program from its service file"

# --regserver of the installed program for a folder under ~/.config/orvane: the
# instance unit that serves it; for another folder, none.
mkdir -p "$XDG_CONFIG_HOME/orvane/lab1" "$work/elsewhere"
for dir in "$XDG_CONFIG_HOME/orvane/lab1" "$work/elsewhere"; do
    XDG_DATA_HOME="$work/data" "$bin/orvane" --app-dir "$dir" --regserver >"$work/reg.out" 2>&1 \
        || fail "--regserver for $dir: $(cat "$work/reg.out")"
    file="$work/data/dbus-1/services/Orvane.OrvaneCmd.service"
    unit=$(grep '^SystemdService=' "$file")
    case $dir in
    */lab1) [ "$unit" = "SystemdService=orvane@lab1.service" ] || fail "--regserver for lab1 names: $unit" ;;
    *) [ -z "$unit" ] || fail "--regserver for $dir names: $unit" ;;
    esac
    grep -qF -- "--app-dir" "$file" || fail "--regserver for $dir starts no --app-dir: $(cat "$file")"
done
pass "--regserver names orvane@lab1.service for ~/.config/orvane/lab1"

# ---- The Debian package ----
(cd "$build" && cpack -G DEB -B "$work/package") >"$work/cpack.log" 2>&1 \
    || { cat "$work/cpack.log" >&2; fatal "cpack -G DEB failed"; }
deb="$work/package/orvane_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fatal "no $(basename "$deb"); made: $(ls "$work/package")"
dpkg-deb --contents "$deb" | awk '{ print $NF }' >"$work/contents.txt"
for f in usr/bin/orvane usr/bin/orvane-exec usr/bin/orvane-sim usr/share/orvane/LED_COMMANDS.TXT \
    "usr/share/applications/$app_id.desktop" "usr/share/icons/hicolor/scalable/apps/$app_id.svg" \
    "usr/share/metainfo/$app_id.metainfo.xml" usr/share/dbus-1/services/Orvane.OrvaneCmd.service \
    usr/share/man/man1/orvane.1.gz usr/share/man/man1/orvane-exec.1.gz usr/share/man/man1/orvane-sim.1.gz \
    usr/share/systemd/user/orvane.service usr/share/systemd/user/orvane@.service \
    usr/share/doc/orvane/copyright usr/share/doc/orvane/changelog.gz; do
    grep -qxF "./$f" "$work/contents.txt" || fail "the package has no /$f"
done
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt6core6 libqt6gui6 libqt6widgets6 libqt6dbus6 libqt6serialport6 libc6; do
    grep -q "\b$lib\b" <<<"$depends" || fail "the package does not depend on $lib: $depends"
done
service=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/dbus-1/services/Orvane.OrvaneCmd.service)
grep -qx 'Exec=/usr/bin/orvane --automation' <<<"$service" || fail "the package's service file says: $service"
unit=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/systemd/user/orvane.service)
grep -qx 'ExecStart=/usr/bin/orvane --service' <<<"$unit" || fail "the package's unit says: $unit"
copyright=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/orvane/copyright)
grep -qx 'License: Expat' <<<"$copyright" || fail "the package's copyright file names no MIT (Expat) license"
# Errors fail; warnings and notes are shown. Root is warned against, not refused.
lintian --tag-display-limit 0 "$deb" >"$work/lintian.out" 2>&1
grep -v 'running with root privileges' "$work/lintian.out" | sed 's/^/lintian: /'
! grep -q '^E: ' "$work/lintian.out" || fail "lintian finds errors in the package"
pass "the Debian package $(basename "$deb")"

[ $failures -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
