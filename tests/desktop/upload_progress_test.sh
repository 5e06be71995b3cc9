#!/usr/bin/env bash
# What the person at the PC sees of a firmware upload, checked from what the
# desktop really received, on an Xvfb display of this test's own.
#
#   upload_progress_test.sh linux   The Linux build against an emulated USB
#       robot (umockdev) that takes the 256 KiB image in about six seconds,
#       with each of three notification servers on a session bus of its own
#       (dbus-run-session): dunst, notification-daemon and xfce4-notifyd;
#       dbus-monitor records every call each gets (tests/desktop/
#       notifications.py reads it), and a screenshot is taken during the
#       upload and after each outcome. The program is registered by its own
#       "register" in a household's home, as by a user without the package.
#       Per server: two uploads in one script (one notification for both,
#       each upload's progress from its start), then one the robot never
#       acknowledges (the failure, as an alarm). With dunst also: the server
#       paused from before the first showing until the image has gone out (it
#       answers late: still one notification, none left behind), and the
#       upload with no session bus at all (the same report and log but for
#       the one line that says whether the desktop was told).
#   upload_progress_test.sh linux LL   With dunst only, the two-uploads run
#       and the refused one in the language LL (LANGUAGE=LL): that language's
#       texts, or the English ones for a language without a catalog; the log
#       stays English.
#   upload_progress_test.sh wine    The Windows build under wine (a prefix of
#       its own) against the robot emulator on a pseudo-terminal that wine
#       maps to COM5, taking the image at 15000 bytes a second (17 s an
#       image): a window titled "Kelvo Robot Updater" shows the percentage
#       and the warning while the image goes out (read by tools/window_text,
#       the bar's position too); a second upload in the same script shows its
#       own progress from its start; an upload the robot never acknowledges
#       leaves the failure, with an empty bar, until the program ends.
#   upload_progress_test.sh wine fr   One upload under a French user locale
#       (LANG=fr_FR.UTF-8): the window shows the French texts.
#
# KELVO_BINARY (and for wine KELVO_WINDOWS_BINARY), KELVO_ROBOT_EMULATOR and
# KELVO_SOURCE_DIR come from ctest. Screenshots and the recorded calls are kept
# in upload-progress-<mode>[-<language>]/ in the current folder. Every process started here
# runs under `timeout` and is ended at exit.
set -euo pipefail

mode=${1:-}
case $mode in
    linux | wine | linux-session) ;;
    *) echo "usage: $0 linux|wine [LANGUAGE]" >&2; exit 2 ;;
esac
# The desktop's language: English unless a language is named; nothing else
# of the caller's locale counts.
if [[ $mode == linux-session ]]; then language=${KELVO_PROGRESS_LANGUAGE:-}; else language=${2:-}; fi
lang_env=(LANG=C.UTF-8 LC_ALL= LC_MESSAGES= LANGUAGE="$language")
limit=240 # seconds any process started here may live
source_dir=${KELVO_SOURCE_DIR:?}
pids=()
if [[ $mode == linux-session ]]; then
    # Inside dbus-run-session (see below): the outer run's folders and display.
    work=${KELVO_PROGRESS_WORK:?}
    keep=${KELVO_PROGRESS_KEEP:?}
else
    keep="$PWD/upload-progress-$mode${language:+-$language}"
    rm -rf "$keep"
    mkdir -p "$keep"
    work=$(mktemp -d "${TMPDIR:-/tmp}/kelvo-progress.XXXXXX")
fi
cleanup() {
    local status=$? pid
    # A failed run's servers, monitor records, run outputs and program log
    # stay beside the screenshots (the work folder goes): a failure seen once
    # can then be read.
    if ((status != 0)) && [[ $mode != linux-session && -d $work ]]; then
        mkdir -p "$keep/work"
        find "$work" -maxdepth 1 -type f \( -name '*.log' -o -name '*.out' -o -name '*.txt' \) \
            -exec cp {} "$keep/work/" \; 2>/dev/null || true
        cp "$work/home/state/KelvoUpgrader/Logs/KelvoUpgrader.log" "$keep/work/program.log" 2>/dev/null || true
        dmesg 2>/dev/null | tail -n 50 >"$keep/work/dmesg.txt" || true
    fi
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    if [[ $mode == wine && -d $work/wine ]]; then
        WINEPREFIX=$work/wine timeout 30 wineserver -k 2>/dev/null || true
    fi
    wait 2>/dev/null || true
    [[ $mode == linux-session ]] || rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $1" >&2
    # Every process there is at the moment of the failure, for the record.
    { echo "== $mode ${server-}: $1"; ps -eo pid,ppid,pgid,sid,user,lstart,stat,args; } \
        >>"$keep/ps-at-failure.txt" 2>&1 || true
    shift
    local what
    for what in "$@"; do printf '%s\n' "$what" >&2; done
    exit 1
}
need() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
    done
}
# poll TENTHS COMMAND...: true as soon as COMMAND succeeds, false after TENTHS tenths of a second.
poll() {
    local tries=$1
    shift
    while ((tries-- > 0)); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

need Xvfb import python3 timeout
step() { echo "== $1"; }

if [[ $mode != linux-session ]]; then
    step "Xvfb"
    timeout "$limit" Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
    pids+=($!)
    poll 150 test -s "$work/display" || fail "Xvfb did not start" "$(cat "$work/xvfb.log")"
    export DISPLAY=":$(head -n1 "$work/display")"
fi
screenshot() { import -display "$DISPLAY" -window root "$keep/$1.png"; }

# A home of the run's own, as a household's.
# The runtime folder lasts as long as the login session: from run to run
# (each of a session bus of its own), as the program's memory of its last
# notification does.
fresh_home() {
    rm -rf "$work/home"
    mkdir -p "$work/home/runtime"
    chmod 700 "$work/home/runtime"
    if [[ ! -d $work/runtime ]]; then
        mkdir -p "$work/runtime"
        chmod 700 "$work/runtime"
    fi
}
home_env=(HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime" XDG_STATE_HOME="$work/home/state"
          XDG_CONFIG_HOME="$work/home/config" XDG_DATA_HOME="$work/home/data")

if [[ $mode == linux || $mode == linux-session ]]; then
    need umockdev-run dunst dunstctl dbus-run-session dbus-monitor gdbus
    binary=${KELVO_BINARY:?}
    log_file() { echo "$work/home/state/KelvoUpgrader/Logs/KelvoUpgrader.log"; }

    # The robot's side of the uploads for umockdev (the image, and the
    # conversations taken, refused and twice): umockdev_conversations.py.
    [[ $mode == linux-session ]] || python3 "$source_dir/tests/desktop/umockdev_conversations.py" "$work"
    printf 'getlocal %s\nupload code\n' "$work/image.bin" >"$work/once.txt"
    printf 'getlocal %s\nupload code\nupload code\n' "$work/image.bin" >"$work/twice.txt"

    # upload CONVERSATION SCRIPT [VAR=VALUE...]: one /NOSERVER run.
    upload() {
        local conversation=$1 script=$2
        shift 2
        env "${home_env[@]}" "${lang_env[@]}" "$@" timeout "$limit" umockdev-run \
            --device "$source_dir/tests/robot/data/robot_first.umockdev" \
            --script "/dev/ttyACM0=$work/$conversation.script" \
            -- "$binary" /NOSERVER "$work/$script.txt" >"$work/run.out" 2>&1 ||
            fail "the run failed" "$(cut -c1-300 "$work/run.out")"
    }
    # A household's home in which the program was registered by its own
    # "register": its icon in the user's hicolor folder, which has no
    # index.theme.
    registered_home() {
        fresh_home
        env "${home_env[@]}" timeout 60 "$binary" register >"$work/register.out" 2>&1 ||
            fail "register failed" "$(cat "$work/register.out")"
        [[ -f $work/home/data/icons/hicolor/scalable/apps/kelvo-upgrader.svg ]] ||
            fail "register put no icon into the user's hicolor folder" "$(find "$work/home" -type f)"
    }
    uploaded() { grep -q "$1" "$(log_file)" 2>/dev/null; }

    if [[ $mode == linux-session ]]; then
        server=$2
        case $server in
            dunst) command=(dunst -conf /dev/null) ;;
            notification-daemon) command=(/usr/lib/notification-daemon/notification-daemon) ;;
            xfce4-notifyd) command=(/usr/lib/x86_64-linux-gnu/xfce4/notifyd/xfce4-notifyd) ;;
        esac
        timeout "$limit" "${command[@]}" >"$work/$server.log" 2>&1 &
        pids+=($!)
        served() {
            dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner \
                string:org.freedesktop.Notifications 2>/dev/null | grep -q 'boolean true'
        }
        poll 100 served || fail "$server did not take the notification service" "$(cat "$work/$server.log")"
        # Whether the server answers a notification at all here (in a bare
        # root, xfce4-notifyd was seen to take the name and answer none): a
        # server that answers nobody can't show the program anything. Asked
        # before the record starts, so it holds the program's calls alone.
        notifications=(--session --dest org.freedesktop.Notifications --object-path /org/freedesktop/Notifications)
        if ! gdbus call "${notifications[@]}" --timeout 30 --method org.freedesktop.Notifications.Notify \
                probe 0 '' probe probe '[]' '{}' 0 >"$work/probe.out" 2>&1; then
            echo "$server answered no notification in 30 s: $(cat "$work/probe.out")" >&2
            exit 77
        fi
        probe_id=$(sed -n 's/.*uint32 \([0-9]*\).*/\1/p' "$work/probe.out")
        gdbus call "${notifications[@]}" --timeout 30 --method org.freedesktop.Notifications.CloseNotification \
            "$probe_id" >/dev/null || fail "$server did not close the probe notification"
        timeout "$limit" dbus-monitor --session "interface='org.freedesktop.Notifications'" \
            "type='method_return'" >"$work/monitor.txt" 2>&1 &
        monitor=$!
        pids+=($monitor)
        poll 100 test -s "$work/monitor.txt" || fail "dbus-monitor did not start"
        # Two uploads in one script: a screenshot once the first has shown
        # some progress, one after both.
        registered_home
        upload twice twice &
        run=$!
        poll 600 bash -c '(( $(grep -c "member=Notify$" "'"$work"'/monitor.txt") >= 3 ))' ||
            fail "no progress reached $server"
        screenshot "$server-during-upload"
        wait $run || exit 1
        cp "$(log_file)" "$work/$server-twice.log"
        screenshot "$server-after-two-uploads"
        [[ $server != dunst ]] || dunstctl count displayed >"$work/dunst-displayed-twice"
        registered_home
        upload refused once
        cp "$(log_file)" "$work/$server-refused.log"
        screenshot "$server-after-failure"
        [[ $server != dunst ]] || dunstctl count displayed >"$work/dunst-displayed-refused"
        if [[ $server == dunst && -z $language ]]; then
            # One upload, to set beside the same without a bus.
            registered_home
            upload taken once
            cp "$(log_file)" "$work/dunst-once.log"
            # dunst paused from before the first showing until the image has
            # gone out, well past any time-out of a call: it answers late.
            server_pid=$(pgrep -P "${pids[0]}" -x dunst) || fail "dunst is not running"
            kill -STOP "$server_pid"
            registered_home
            upload twice twice &
            run=$!
            poll 600 uploaded 'Writing checksum' || fail "the paused run never wrote the image"
            kill -CONT "$server_pid"
            wait $run || exit 1
            cp "$(log_file)" "$work/dunst-paused.log"
            screenshot dunst-after-paused
            # Whatever came late has come once the server answers again.
            dbus-send --session --print-reply --dest=org.freedesktop.Notifications /org/freedesktop/Notifications \
                org.freedesktop.Notifications.GetServerInformation >/dev/null
            dunstctl count displayed >"$work/dunst-displayed-paused"
        fi
        kill $monitor
        exit 0
    fi

    servers=(dunst)
    # In another language dunst is enough: the texts are the same on every server.
    [[ -n $language ]] || for server in notification-daemon xfce4-notifyd; do
        if [[ -x /usr/lib/notification-daemon/notification-daemon && $server == notification-daemon ]] ||
            [[ -x /usr/lib/x86_64-linux-gnu/xfce4/notifyd/xfce4-notifyd && $server == xfce4-notifyd ]]; then
            servers+=("$server")
        else
            echo "NOTE: $server is not installed; not tried"
        fi
    done
    notifications=(python3 "$source_dir/tests/desktop/notifications.py")
    for server in "${servers[@]}"; do
        step "uploads with $server on a session bus of our own"
        KELVO_PROGRESS_WORK=$work KELVO_PROGRESS_KEEP=$keep KELVO_PROGRESS_LANGUAGE=$language \
            timeout "$limit" dbus-run-session -- \
            bash "$0" linux-session "$server" || {
            status=$?
            # Only dunst is needed; another server that answers nobody here
            # is said, not tried.
            [[ $status == 77 && $server != dunst ]] || fail "the runs with $server failed"
            echo "NOTE: $server answered no notification here; not tried"
            continue
        }
        cp "$work/monitor.txt" "$keep/$server-monitor.txt"
        step "what $server received"
        if [[ $server == dunst && -z $language ]]; then
            # The paused run's calls (the fourth process's) apart from the rest.
            "${notifications[@]}" "$work/monitor.txt" split 3 "$work/monitor-first.txt" "$work/monitor-paused.txt"
            "${notifications[@]}" "$work/monitor-first.txt" uploads dunst en taken,taken refused taken ||
                fail "dunst: the notifications were not as expected"
            "${notifications[@]}" "$work/monitor-paused.txt" uploads dunst en late:taken,taken ||
                fail "dunst paused: the notifications were not as expected"
            grep -q $'^\\[.*\\] \tUpload progress \\(shown on the desktop\\|not shown yet: the desktop notification service has not answered\\)$' "$work/dunst-paused.log" ||
                fail "the paused run's log does not say what happened" "$(grep 'Upload progress' "$work/dunst-paused.log")"
        else
            "${notifications[@]}" "$work/monitor.txt" uploads "$server" "${language:-en}" taken,taken refused ||
                fail "$server: the notifications were not as expected"
        fi
        if [[ $server == dunst ]]; then
            for run in twice refused paused; do
                [[ $run != paused || -z $language ]] || continue
                [[ $(cat "$work/dunst-displayed-$run") == 1 ]] ||
                    fail "dunst shows $(cat "$work/dunst-displayed-$run") notifications after the $run run"
            done
        fi
        # Each run replaced what the one before left: one notification on
        # screen from the first run to the last.
        open=$("${notifications[@]}" "$work/monitor.txt" count-open)
        [[ $open == 1 ]] || fail "$server: the runs made $open notifications"
        # The log is English in every language: support reads it.
        [[ $(grep -c $'^\\[.*\\] \tUpload progress shown on the desktop$' "$work/$server-twice.log") == 2 ]] ||
            fail "the log does not say the desktop showed both uploads" "$(cat "$work/$server-twice.log")"
        grep -q '^\[.*\] ERROR - sendFile timed out while reading ACK$' "$work/$server-refused.log" ||
            fail "the refused upload did not end by the ACK time-out" "$(cat "$work/$server-refused.log")"
    done
    [[ -z $language ]] || { echo "PASS"; exit 0; }

    step "the same upload with no session bus"
    registered_home
    upload taken once DBUS_SESSION_BUS_ADDRESS=unix:path="$work/no-bus-here" XDG_RUNTIME_DIR="$work/home/runtime"
    cp "$(log_file)" "$work/taken-nobus.log"
    grep -q '^\[.*\] 	Upload progress not shown: no desktop notification service$' "$work/taken-nobus.log" ||
        fail "the log does not say the desktop was not told" "$(cat "$work/taken-nobus.log")"
    grep -q ERROR "$work/taken-nobus.log" && fail "an ERROR line without a bus" "$(grep ERROR "$work/taken-nobus.log")"
    strip() {
        sed -e 's/^\[[0-9]*\/[0-9]* [0-9]*:[0-9]*:[0-9]*\] //' \
            -e 's/^Sending file to robot took: [0-9]* seconds$/Sending file to robot took: N seconds/' \
            -e '/^\tUpload progress /d' "$1"
    }
    diff <(strip "$work/dunst-once.log") <(strip "$work/taken-nobus.log") >"$work/log.diff" ||
        fail "the logs differ beyond the desktop line" "$(cat "$work/log.diff")"
    # The report (written into the log in this mode), byte for byte.
    report() { python3 -c 'import sys; t=open(sys.argv[1],"rb").read(); i=t.find(b"Content-Disposition: form-data; name=\"Version\""); assert i>0; print(t[i:i+4000].split(b"\n[")[0].hex())' "$1"; }
    [[ $(report "$work/dunst-once.log") == $(report "$work/taken-nobus.log") ]] || fail "the reports differ"
    grep -a -q 'Flashed' "$work/taken-nobus.log" || fail "the report lacks the robot's answer"
    echo "PASS"
    exit 0
fi

# ------------------------------------------------------------------ wine
need wine wineserver xdotool
exe=${KELVO_WINDOWS_BINARY:-$source_dir/build/windows/KelvoUpgrader.exe}
# What the window's controls say: under wine they are no X windows.
window_text=$(dirname "$exe")/tools/window_text/window_text.exe
emulator=${KELVO_ROBOT_EMULATOR:?}
[[ -f $exe && -f $window_text ]] || { echo "SKIP: no Windows build at $exe (with tools/window_text)"; exit 77; }
export WINEPREFIX=$work/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
fresh_home
export "${home_env[@]}"
# The user's UI language under wine follows the Unix locale.
case $language in
    '') export "${lang_env[@]}" ;;
    fr)
        # A French user locale of the test's own: wine takes the UI language
        # from setlocale, which needs the locale compiled.
        need localedef
        mkdir -p "$work/locales"
        localedef -i fr_FR -f UTF-8 "$work/locales/fr_FR.UTF-8" >"$work/localedef.log" 2>&1 ||
            fail "localedef fr_FR.UTF-8" "$(cat "$work/localedef.log")"
        # (bash itself can't see LOCPATH, and says so)
        { export LOCPATH=$work/locales LANG=fr_FR.UTF-8 LC_ALL= LC_MESSAGES= LANGUAGE=; } 2>/dev/null
        ;;
    *) echo "usage: $0 wine [fr]" >&2; exit 2 ;;
esac
wine_run=$source_dir/cmake/wine-run.sh
on_z() { local p=${1//\//\\}; echo "Z:$p"; }

step "wine prefix"
timeout "$limit" "$wine_run" --prepare >"$work/prepare.log" 2>&1 || fail "wine prefix" "$(cat "$work/prepare.log")"

# robot NAME OPTIONS...: the robot emulator on a pseudo-terminal, which wine
# maps to COM5 (its output in $work/NAME.out).
robot() {
    local name=$1 device usb
    shift
    timeout "$limit" "$emulator" "$@" --seconds "$limit" >"$work/$name.out" 2>&1 &
    pids+=($!)
    poll 100 grep -q '^robot on /dev/' "$work/$name.out" 2>/dev/null || fail "the robot emulator did not start" "$(cat "$work/$name.out")"
    device=$(sed -n 's/^robot on \(\/dev\/[^ ]*\) .*/\1/p' "$work/$name.out" | head -n1)
    usb='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\VID_3A7C&PID_0101\R1'
    printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n"COM5"="%s"\r\n\r\n[%s]\r\n"FriendlyName"="Robot (COM5)"\r\n\r\n[%s\\Device Parameters]\r\n"PortName"="COM5"\r\n' \
        "$device" "$usb" "$usb" >"$work/robot.reg"
    timeout 60 "$wine_run" regedit /S "$(on_z "$work/robot.reg")" || fail "regedit"
    timeout 30 wineserver -k || true # wine makes its ports from that key when it starts
}
title="Kelvo Robot Updater"
# texts NAME: what the window shows now, into $work/NAME.txt; false when there is no window.
texts() {
    timeout 60 "$wine_run" "$window_text" "$title" >"$work/$1.raw" 2>/dev/null || return 1
    tr -d '\r' <"$work/$1.raw" >"$work/$1.txt"
}
window_there() { xdotool search --name "^$title\$" >/dev/null 2>&1; }

step "robot on a pseudo-terminal"
robot robot --image-rate 15000
python3 -c 'import random,sys; random.seed(5); open(sys.argv[1],"wb").write(bytes(random.randrange(256) for _ in range(256*1024)))' "$work/image.bin"
# Two uploads in English; in another language the first one's texts are enough.
uploads=2
[[ -z $language ]] || uploads=1
{ printf 'getlocal %s\r\n' "$(on_z "$work/image.bin")"; for ((n = 0; n < uploads; n++)); do printf 'upload code\r\n'; done; } >"$work/script.txt"

step "uploads under wine"
timeout "$limit" "$wine_run" "$exe" /NOSERVER "$(on_z "$work/script.txt")" >"$work/run.out" 2>&1 &
run=$!
pids+=($run)
poll 300 window_there || fail "no window titled $title" "$(cat "$work/robot.out")"
window=$(xdotool search --name "^$title\$" | head -n1)
[[ $(xdotool getwindowname "$window") == "$title" ]] || fail "the window is not titled $title"
poll 300 texts first || fail "window_text"
grep -q 'upload: ' "$work/robot.out" && fail "the first upload was over before the window was read" "$(cat "$work/robot.out")"
screenshot during-upload
cp "$work/first.txt" "$keep/window-texts.txt"
nbsp=$'\xc2\xa0' # French puts one before a colon and a percent sign
if [[ $language == fr ]]; then
    first="^Mise à jour du robot${nbsp}: [0-9]*${nbsp}% transmis\\.\$"
    warning="^Laissez-le branché et allumé jusqu'à la fin de l'opération\\.\$"
else
    first='^Updating the robot: [0-9]*% sent\.$'
    warning='^Keep it plugged in and switched on until this is done\.$'
fi
grep -q "$first" "$work/first.txt" && grep -q "$warning" "$work/first.txt" ||
    fail "the window does not show the percentage and the warning" "$(cat "$work/first.txt")"
! grep -q '^Cancel$' "$work/first.txt" || fail "the window offers to cancel the upload"
if [[ -n $language ]]; then
    # One upload is enough here: its end, and the log, English as always.
    wait $run || fail "the run failed" "$(cat "$work/run.out")"
    log=$(find "$WINEPREFIX/drive_c/users" -name KelvoUpgrader.log | head -n1)
    tr -d '\r' <"$log" >"$keep/KelvoUpgrader.log"
    grep -q '	Upload progress shown on the desktop$' "$keep/KelvoUpgrader.log" &&
        grep -q 'Exiting doUpload with success$' "$keep/KelvoUpgrader.log" ||
        fail "the log is not the English one of an upload shown" "$(cat "$keep/KelvoUpgrader.log")"
    echo "PASS"
    exit 0
fi
# The robot has the first image and has sent ACK: what the window shows next,
# read until the second upload's progress is there.
poll 300 grep -q '^upload: ' "$work/robot.out" || fail "the robot got no image" "$(cat "$work/robot.out")"
second=
for ((read = 0; read < 100; read++)); do
    texts second || continue
    if grep -q '^Updating the robot: ' "$work/second.txt"; then
        second=$(sed -n 's/^Updating the robot: \([0-9]*\)% sent\.$/\1/p' "$work/second.txt")
        break
    fi
    [[ $(grep -c '^upload: ' "$work/robot.out") -lt 2 ]] || break
done
screenshot second-upload
cp "$work/second.txt" "$keep/window-texts-second.txt"
[[ -n $second ]] || fail "the second upload's progress was never shown" "$(cat "$work/second.txt")"
(( second < 50 )) || fail "the second upload's progress came only at $second%"
grep -q "^progress $second of 100$" "$work/second.txt" || fail "the bar is not at $second%" "$(cat "$work/second.txt")"
wait $run || fail "the run failed" "$(cat "$work/run.out")"
[[ $(grep -c '^upload: ' "$work/robot.out") == 2 ]] || fail "the robot did not get two images" "$(cat "$work/robot.out")"
poll 100 bash -c '! xdotool search --name "^'"$title"'\$" >/dev/null 2>&1' || fail "the window is still there after the run"
log=$(find "$WINEPREFIX/drive_c/users" -name KelvoUpgrader.log | head -n1)
tr -d '\r' <"$log" >"$keep/KelvoUpgrader.log"
[[ $(grep -c '	Upload progress shown on the desktop$' "$keep/KelvoUpgrader.log") == 2 ]] ||
    fail "the log does not say the desktop showed both uploads" "$(cat "$keep/KelvoUpgrader.log")"
[[ $(grep -c 'Exiting doUpload with success$' "$keep/KelvoUpgrader.log") == 2 ]] || fail "an upload failed"

step "a refused upload under wine"
robot refused --image-rate 60000 --ack none
rm -f "$log"
printf 'getlocal %s\r\nupload code\r\n' "$(on_z "$work/image.bin")" >"$work/script.txt"
# One watcher reads the window from the upload's start until it is gone:
# it misses no state, however briefly shown.
timeout "$limit" "$wine_run" "$window_text" --watch "$title" 200 >"$work/watch.raw" 2>/dev/null &
watch=$!
pids+=($watch)
timeout "$limit" "$wine_run" "$exe" /NOSERVER "$(on_z "$work/script.txt")" >"$work/run.out" 2>&1 &
run=$!
pids+=($run)
failure_shown() { tr -d '\r' <"$work/watch.raw" | grep -q "^The robot did not take the update\.$"; }
poll 2000 failure_shown || fail "the failure was never shown" "$(tr -d '\r' <"$work/watch.raw" | tail -20)"
screenshot after-failure
# The failure stays until the program ends: once the window is gone, the
# program is ending (a moment to exit, never seconds more of its run).
poll 2000 grep -q '^gone' "$work/watch.raw" || fail "the window never went" "$(tr -d '\r' <"$work/watch.raw" | tail -20)"
poll 50 bash -c "! kill -0 $run 2>/dev/null" || fail "the failure went away while the program still ran"
wait $run || fail "the refused run failed" "$(cat "$work/run.out")"
wait $watch || fail "the watcher failed" "$(tr -d '\r' <"$work/watch.raw" | tail -20)"
# Each reading is one state of the window: the failure never with a full
# bar, and the last state before the window went.
python3 - "$work/watch.raw" "$keep/window-texts-failure.txt" <<'PY' || fail "the window's states were not as expected" "$(tr -d '\r' <"$work/watch.raw")"
import sys
readings = open(sys.argv[1], encoding='utf-8', errors='replace').read().replace('\r', '').split('--\n')
assert readings[-1].strip() == 'gone', readings[-1]
# A reading of the title alone is the window on its way out (its controls
# go first): no state the person reads.
readings = [r for r in readings[:-1] if len(r.strip().splitlines()) > 1]
failed = [r for r in readings if 'The robot did not take the update.\n' in r]
assert failed, 'no reading showed the failure'
assert all('progress 100 of 100' not in r for r in failed), ('a failure with a full bar', failed)
assert readings[-1] in failed, ('the failure was not the last thing shown', readings[-1])
open(sys.argv[2], 'w').write(failed[0])
print('%d readings, %d with the failure' % (len(readings), len(failed)))
PY
grep -q "^The maker's page will say what to do\.$" "$keep/window-texts-failure.txt" || fail "the failure's second sentence"
tr -d '\r' <"$log" | grep -q 'ERROR - sendFile timed out while reading ACK$' || fail "the refused upload did not end by the ACK time-out"
poll 100 bash -c '! xdotool search --name "^'"$title"'\$" >/dev/null 2>&1' || fail "the window is still there after the run"
echo "PASS"
