#!/usr/bin/env bash
# A failure outside an upload reaches a Linux desktop: a kelvo:// link opened
# through the desktop's own launcher (xdg-open) whose script can't be
# downloaded and that has no Reply-To. The program is registered by its own
# "register" in a household's home; its web traffic goes to a proxy on
# 127.0.0.1 where nothing listens, so the download fails with "A connection
# with the server could not be established" (12029), as it would for a PC
# without a network.
#
#   message_box_test.sh   On an Xvfb display of the test's own:
#       with dunst on a session bus of the test's own: one notification,
#         critical and never expiring, with that text (dbus-monitor's record;
#         a screenshot);
#       with no session bus: a dialog window titled "Kelvo Robot Updater"
#         (the desktop's own: zenity, kdialog or xmessage, whichever is
#         installed), still there after the program has ended (it never
#         waits for a click);
#       from a terminal: the text on standard error.
#
# KELVO_BINARY and KELVO_SOURCE_DIR come from ctest. Screenshots are kept in
# message-box/ in the current folder. Every process started here runs under
# `timeout`.
#
# Each link's launch ends every older copy of the program of the same user,
# whatever its home or runtime folder: run beside this test, another test's
# upload would be ended mid-run. So everything here runs in a PID namespace of
# its own where root may make one, a plain chroot included
# (tests/support/in_pid_namespace.sh), and the program is copied under a name
# of its own, so that where no namespace can be had (not root) its launches
# still reach no copy but this test's.
set -euo pipefail

if [[ -z ${KELVO_BOX_NAMESPACE-} ]]; then
    KELVO_BOX_NAMESPACE=1 exec "$(dirname "${BASH_SOURCE[0]}")/../support/in_pid_namespace.sh" bash "$0" "$@"
fi
trap 'exit 143' TERM
trap 'exit 130' INT

limit=120
binary=${KELVO_BINARY:?}
keep="$PWD/message-box"
rm -rf "$keep"
mkdir -p "$keep"
work=$(mktemp -d "${TMPDIR:-/tmp}/kelvo-box.XXXXXX")
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $1" >&2
    shift
    local what
    for what in "$@"; do printf '%s\n' "$what" >&2; done
    exit 1
}
for tool in Xvfb import xdotool xdg-open dunst dbus-run-session dbus-monitor python3 timeout; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
poll() {
    local tries=$1
    shift
    while ((tries-- > 0)); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}
step() { echo "== $1"; }

timeout "$limit" Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
pids+=($!)
poll 150 test -s "$work/display" || fail "Xvfb did not start" "$(cat "$work/xvfb.log")"
export DISPLAY=":$(head -n1 "$work/display")"
screenshot() { import -display "$DISPLAY" -window root "$keep/$1.png"; }

# The household: a home of its own, the program registered by "register".
mkdir -p "$work/home/runtime" "$work/app"
chmod 700 "$work/home/runtime"
export HOME=$work/home XDG_RUNTIME_DIR=$work/home/runtime XDG_STATE_HOME=$work/home/state
export XDG_CONFIG_HOME=$work/home/config XDG_DATA_HOME=$work/home/data XDG_CURRENT_DESKTOP= BROWSER=
# Nothing listens on port 9 of 127.0.0.1 (discard): the connection is refused.
export http_proxy=http://127.0.0.1:9 https_proxy=http://127.0.0.1:9 no_proxy=
# Fifteen characters at most: pgrep -x compares the kernel's process name,
# which is cut there.
name=kelvobox-${work##*.}
program=$work/app/$name
cp "$binary" "$program"
out=$(timeout 60 "$program" register 2>&1) || fail "register failed" "$out"
log=$work/home/state/KelvoUpgrader/Logs/KelvoUpgrader.log
link='kelvo://updates.kelvo.com/robot/update.txt'
text='A connection with the server could not be established'
runs_ended() { (( $(grep -c "Reply-To Url is NULL hence showing the error in a message box" "$log" 2>/dev/null || true) >= $1 )) && ! pgrep -x "$name" >/dev/null; }

step "the link with dunst on a session bus of our own"
timeout "$limit" dbus-run-session -- bash -c '
    set -e
    timeout 60 dunst -conf /dev/null >"$1/dunst.log" 2>&1 &
    timeout 60 dbus-monitor --session "interface='"'"'org.freedesktop.Notifications'"'"'" >"$1/monitor.txt" 2>&1 &
    for _ in $(seq 100); do
        dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner \
            string:org.freedesktop.Notifications 2>/dev/null | grep -q "boolean true" && break
        sleep 0.1
    done
    xdg-open "$2" >"$1/xdg-open.out" 2>&1
    # The notification has come once the program has ended.
    for _ in $(seq 600); do
        grep -q "member=Notify$" "$1/monitor.txt" && ! pgrep -x "$4" >/dev/null && break
        sleep 0.1
    done
    dbus-send --session --print-reply --dest=org.freedesktop.Notifications /org/freedesktop/Notifications \
        org.freedesktop.Notifications.GetServerInformation >/dev/null
    import -display "$DISPLAY" -window root "$3/dunst-notification.png"
    dunstctl count displayed >"$1/displayed"
' bash "$work" "$link" "$keep" "$name" || fail "the run with dunst failed"
cp "$work/monitor.txt" "$keep/"
python3 - "$work/monitor.txt" "$text" <<'PY' || fail "the notification was not as expected" "$(cat "$work/monitor.txt")"
import re, sys
text = open(sys.argv[1], encoding='utf-8', errors='replace').read()
calls = [b for b in re.split(r'\n(?=method call|method return|signal|error)', text) if 'member=Notify' in b.split('\n', 1)[0]]
assert len(calls) == 1, ('notifications', len(calls))
b = calls[0]
strings = re.findall(r'^   string "(.*)"$', b, re.M)
assert strings[0] == 'Kelvo Robot Updater' and strings[2] == 'Kelvo Robot Updater', strings
assert strings[3] == sys.argv[2], ('body', strings[3])
assert re.search(r'string "urgency"\s*\n\s*variant\s+byte 2', b), 'not critical'
assert re.findall(r'^   int32 (-?\d+)$', b, re.M)[-1] == '0', 'expires'
print('notification: "%s"' % strings[3])
PY
[[ $(cat "$work/displayed") == 1 ]] || fail "dunst shows $(cat "$work/displayed") notifications"
grep -q "^\[.*\] 	Exception m_dwError = 12029$" "$log" || fail "the download did not fail with 12029" "$(cat "$log")"

step "the link with no session bus"
DBUS_SESSION_BUS_ADDRESS=unix:path=$work/no-bus-here xdg-open "$link" >"$work/xdg-open.out" 2>&1
poll 600 runs_ended 2 || fail "the program did not end" "$(tail -5 "$log")"
# The program has ended; the dialog it started is there, waiting for a click.
poll 300 xdotool search --name '^Kelvo Robot Updater$' >/dev/null 2>&1 || fail "no dialog titled Kelvo Robot Updater"
window=$(xdotool search --name '^Kelvo Robot Updater$' | head -n1)
poll 100 bash -c "xwininfo -id $window 2>/dev/null | grep -q 'IsViewable'" || fail "the dialog is not on screen"
screenshot dialog
# Its words, from its command line (xmessage sets no _NET_WM_PID; this PID
# namespace holds no other dialog).
dialog_pid=$(pgrep -n -x 'zenity|kdialog|xmessage') || fail "no dialog process"
tr '\0' ' ' <"/proc/$dialog_pid/cmdline" >"$work/dialog.cmd"
grep -q "$text" "$work/dialog.cmd" || fail "the dialog does not say what went wrong" "$(cat "$work/dialog.cmd")"
kill "$dialog_pid"

step "the link from a terminal"
err=$(DBUS_SESSION_BUS_ADDRESS=unix:path=$work/no-bus-here DISPLAY= timeout 60 "$program" "$link" 2>&1 >/dev/null) || true
[[ $err == *"Kelvo Robot Updater: $text"* ]] || fail "standard error lacks the text" "$err"
echo "PASS"
