#!/usr/bin/env bash
# robot_bench with a notification service: dunst on a session bus of its own
# (dbus-run-session) on an Xvfb display of its own, so that the upload ratio
# is measured both without and with the desktop being told.
#   bench/robot/robot_bench_desktop.sh [build/linux/bench/robot/robot_bench]
set -euo pipefail
bench=$(realpath "${1:-build/linux/bench/robot/robot_bench}")
work=$(mktemp -d "${TMPDIR:-/tmp}/kelvo-bench-desktop.XXXXXX")
xvfb=
cleanup() {
    [[ -n $xvfb ]] && kill "$xvfb" 2>/dev/null
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
timeout 600 Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb=$!
for _ in $(seq 150); do [[ -s $work/display ]] && break; sleep 0.1; done
[[ -s $work/display ]] || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$work/display")"
timeout 600 dbus-run-session -- bash -c '
    timeout 600 dunst -conf /dev/null >/dev/null 2>&1 &
    dunst=$!
    for _ in $(seq 100); do
        dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner \
            string:org.freedesktop.Notifications 2>/dev/null | grep -q "boolean true" && break
        sleep 0.1
    done
    "$1"
    kill $dunst
' bash "$bench" 2> >(grep -v "Failed to set fd limit" >&2)
