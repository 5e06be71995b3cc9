#!/usr/bin/env bash
# A sandboxed browser (Flatpak, Snap) opens a kelvo:// link: it asks the
# desktop portal (xdg-desktop-portal, with xdg-desktop-portal-gtk for its
# dialogs) through org.freedesktop.portal.OpenURI.OpenURI, and the portal
# starts the scheme's handler at once only when GIO lists it as registered;
# otherwise it shows an "Open With..." chooser, and with no handler it
# offers, an empty one.
#
#   portal_open_test.sh user
#       The ctest case: a copy of the program registered by its own
#       "register" (a per-user registration, no package), a simulated
#       update, the maker-server stand-in on 127.0.0.1 gets the report.
#       KELVO_BINARY and KELVO_MAKER_SERVER name the program and the stand-in.
#   portal_open_test.sh open URL LOG PROGRAM SHOT
#       One OpenURI call, in the environment it is given (the package test
#       runs it inside its throwaway root as its user): the program at
#       PROGRAM must log URL, unchanged, as its command line in LOG, no
#       window may be on the screen afterwards, and the run must end with 0;
#       SHOT is where the screen is kept as a PNG. The caller gives it a
#       PID namespace of its own.
#
# Both run on an Xvfb screen of their own with a D-Bus session of their own;
# the portal and its backend are started here (not by D-Bus activation), and
# everything started is ended at exit. "user" runs in a private PID
# namespace: a kelvo:// launch ends another copy of the program.
set -euo pipefail

# shellcheck source=tests/browser/simulated_program.sh
source "$(dirname "${BASH_SOURCE[0]}")/simulated_program.sh"

mode=${1:-}
limit=120     # seconds any process started here may live
started=$SECONDS

step() { echo "== [portal $mode] $*"; }
fail() {
    echo "FAILED [portal $mode]: $1" >&2
    local line
    if [[ -n ${2-} ]]; then
        while IFS= read -r line; do printf '    | %s\n' "$line"; done <<<"$2" >&2
    fi
    exit 1
}
poll() {  # tries (0.2 s apart), command...
    local tries=$1 i
    shift
    for ((i = 0; i < tries; i++)); do
        if "$@"; then return 0; fi
        sleep 0.2
    done
    return 1
}

# One OpenURI call on a screen and a session bus of its own. Sets nothing;
# fails the test when the program at $3 doesn't log the URL unchanged in $2
# or when any window is left on the screen (a chooser or an error dialog).
pids=()
scratch=
portal_stop() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    pids=()
    [[ -n $scratch ]] && rm -rf "$scratch"
    scratch=
}
portal_open() {
    local url=$1 log=$2 program=$3 shot=$4
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/kelvo-portal.XXXXXX")

    for tool in Xvfb dbus-daemon gdbus xwininfo import timeout; do
        command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/test installs what the tests need)"
    done
    local libexec=/usr/libexec
    [[ -x $libexec/xdg-desktop-portal && -x $libexec/xdg-desktop-portal-gtk ]] ||
        fail "xdg-desktop-portal and xdg-desktop-portal-gtk are not installed"

    step "Xvfb"
    timeout "$limit" Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$scratch/display" \
        >"$scratch/xvfb.log" 2>&1 &
    pids+=("$!")
    poll 150 test -s "$scratch/display" || fail "Xvfb did not start" "$(cat "$scratch/xvfb.log")"
    DISPLAY=:$(tr -dc 0-9 <"$scratch/display")
    export DISPLAY

    step "D-Bus session, xdg-desktop-portal-gtk, xdg-desktop-portal"
    timeout "$limit" dbus-daemon --session --nofork --nopidfile --print-address=3 \
        3>"$scratch/bus" >"$scratch/bus.log" 2>&1 &
    pids+=("$!")
    poll 50 test -s "$scratch/bus" || fail "dbus-daemon did not start" "$(cat "$scratch/bus.log")"
    DBUS_SESSION_BUS_ADDRESS=$(head -1 "$scratch/bus")
    export DBUS_SESSION_BUS_ADDRESS
    # The gtk backend serves the desktops it names (GNOME); the portal picks
    # its backends by XDG_CURRENT_DESKTOP.
    export XDG_CURRENT_DESKTOP=GNOME GDK_BACKEND=x11 GTK_A11Y=none NO_AT_BRIDGE=1
    timeout "$limit" "$libexec/xdg-desktop-portal-gtk" >"$scratch/backend.log" 2>&1 &
    pids+=("$!")
    local names
    has_name() {
        names=$(gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
            --method org.freedesktop.DBus.ListNames 2>/dev/null) && [[ $names == *"'$1'"* ]]
    }
    poll 100 has_name org.freedesktop.impl.portal.desktop.gtk ||
        fail "xdg-desktop-portal-gtk did not take its name" "$(cat "$scratch/backend.log")"
    timeout "$limit" "$libexec/xdg-desktop-portal" --verbose >"$scratch/portal.log" 2>&1 &
    pids+=("$!")
    poll 100 has_name org.freedesktop.portal.Desktop ||
        fail "xdg-desktop-portal did not take its name" "$(cat "$scratch/portal.log")"

    step "OpenURI $url"
    # What GIO says it launched, for the failure message (the request's own
    # answer goes to the caller alone).
    timeout 60 gdbus monitor --session --dest org.freedesktop.portal.Desktop >"$scratch/monitor.out" 2>&1 &
    pids+=("$!")
    sleep 0.5
    local handle
    handle=$(timeout 30 gdbus call --session --dest org.freedesktop.portal.Desktop \
        --object-path /org/freedesktop/portal/desktop --method org.freedesktop.portal.OpenURI.OpenURI \
        '' "$url" '{}' 2>&1) || fail "the OpenURI call failed" "$handle"
    started_with_url() { grep -qxF "Command line: [$url]" <(sed 's/^\[[^]]*\] //' "$log" 2>/dev/null); }
    if ! poll 150 started_with_url; then
        import -window root "$shot" 2>/dev/null || true
        fail "the program at $program did not start with the URL (screen in $shot)" \
            "request: $handle
$(cat "$scratch/monitor.out")
its log: $(grep -F 'Command line' "$log" 2>/dev/null || echo none)
$(grep -i -E 'openuri|launch|handler|choos' "$scratch/portal.log" | tail -15)"
    fi
    grep -qF "App executed from [$program]" "$log" ||
        fail "another program started" "$(grep -F 'App executed from' "$log")"

    step "no chooser, no dialog on the screen"
    # A window of the backend would have come with the request; give it the
    # time it would take to show.
    sleep 2
    import -window root "$shot" || fail "no screenshot"
    local id mapped=
    for id in $(xwininfo -root -children | awk '$1 ~ /^0x/ {print $1}'); do
        if xwininfo -id "$id" | grep -q 'Map State: IsViewable'; then
            mapped+="$(xwininfo -id "$id" | sed -n 's/^xwininfo: Window id: //p')"$'\n'
        fi
    done
    [[ -z $mapped ]] || fail "a window is on the screen (screen in $shot)" "$mapped"
    # The run goes on to its end here: whoever called may be about to end
    # the PID namespace, and everything in it.
    ended() { grep -q "Kelvo Upgrader Ended - ret code = 0" "$log"; }
    poll 300 ended || fail "the program did not end with 0" "$(cat "$log")"
    portal_stop
    echo "PASSED [portal $mode]: OpenURI -> $program with the URL unchanged, no window shown ($((SECONDS - started)) s)"
}

case $mode in
    open)
        [[ $# -eq 5 ]] || { echo "usage: $0 open URL LOG PROGRAM SHOT" >&2; exit 2; }
        trap portal_stop EXIT
        portal_open "$2" "$3" "$4" "$5"
        exit 0
        ;;
    user) ;;
    *) echo "usage: $0 user | open URL LOG PROGRAM SHOT" >&2; exit 2 ;;
esac

# ------------------------------------------------------------ user
if [[ -z ${KELVO_PORTAL_TEST_NAMESPACE-} ]]; then
    # Skipped (77) where no PID namespace can be had; in a plain chroot, whose
    # / is no mount point, it gets one all the same.
    exec "$(dirname "${BASH_SOURCE[0]}")/../support/in_pid_namespace.sh" --required \
        env KELVO_PORTAL_TEST_NAMESPACE=1 "$0" "$@"
fi
[[ -x ${KELVO_BINARY-} && -x ${KELVO_MAKER_SERVER-} ]] ||
    fail "KELVO_BINARY and KELVO_MAKER_SERVER must name the program and the stand-in"
keep="$PWD/portal-$mode-failure"
rm -rf "$keep"
work=$(mktemp -d "${TMPDIR:-/tmp}/kelvo-portal-test.XXXXXX")
home=$work/home
log=$home/state/KelvoUpgrader/Logs/KelvoUpgrader.log
server_pid=
cleanup() {
    local status=$?
    portal_stop
    [[ -n $server_pid ]] && kill "$server_pid" 2>/dev/null
    if [[ $status -ne 0 ]]; then
        mkdir -p "$keep"
        cp "$work"/*.out "$work"/*.png "$keep/" 2>/dev/null || true
        cp "$log" "$keep/program.log" 2>/dev/null || true
        echo "    kept in $keep" >&2
    fi
    rm -rf "$work"
}
trap cleanup EXIT

app=$work/app
mkdir -p "$home" "$app" "$work/run" "$work/empty"
chmod 700 "$work/run"
program="$app/kelvo-portal-$$-$RANDOM"
install_simulated_program "$program"

# A session with nothing of the machine's own but its system folders.
export PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 HOME=$home
export XDG_CONFIG_HOME=$home/config XDG_DATA_HOME=$home/data XDG_STATE_HOME=$home/state
export XDG_CACHE_HOME=$home/cache XDG_RUNTIME_DIR=$work/run XDG_CONFIG_DIRS=$work/empty
export XDG_DATA_DIRS=/usr/local/share:/usr/share
unset DBUS_SESSION_BUS_ADDRESS DISPLAY WAYLAND_DISPLAY

step "register"
out=$(timeout 60 "$program" register 2>&1) || fail "register ended with $?" "$out"
[[ $out == *"Register succeeded."* && $out != *WARNING* ]] || fail "register did not simply succeed" "$out"

base=http://updates.kelvo.com/portal
# The Reply-To value runs to the end of the URL, escapes and all.
report="$base/report&a=1&b=%41"
url="kelvo://updates.kelvo.com/portal/update.txt?Reply-To=$report"
crlf "send getversion" >"$work/update.txt"
step "maker-server stand-in"
timeout $((limit + 10)) "$KELVO_MAKER_SERVER" --seconds "$limit" --script "$base/update.txt" "$work/update.txt" \
    --report "$report" --reply empty --reports 1 >"$work/server.out" 2>&1 &
server_pid=$!
proxy_of() { proxy=$(sed -n 's/^proxy //p' "$work/server.out"); [[ -n $proxy ]]; }
poll 100 proxy_of || fail "the stand-in did not start" "$(cat "$work/server.out")"
# The portal's child inherits the portal's environment: the proxy too.
export http_proxy=$proxy https_proxy=$proxy no_proxy=

portal_open "$url" "$log" "$program" "$work/screen.png"
step "the stand-in receives the report"
server_status=0
wait "$server_pid" || server_status=$?
server_pid=
[[ $server_status -eq 0 ]] || fail "the stand-in ended with $server_status" "$(cat "$work/server.out")"
if ! grep -q '^reports 1$' "$work/server.out" || ! grep -qF 'Software,3,1,2210' "$work/server.out"; then
    fail "no report with the simulated robot's answer" "$(cat "$work/server.out")"
fi
[[ -n ${KELVO_PORTAL_SCREEN-} ]] && cp "$work/screen.png" "$KELVO_PORTAL_SCREEN"
echo "PASSED [portal $mode]: report received, in $((SECONDS - started)) s"
