#!/usr/bin/env bash
# What the person at the PC sees of a firmware upload, checked from what the
# desktop really received, on an Xvfb display of this test's own.
#
#   upload_progress_test.sh linux   The Linux build against an emulated USB
#       robot (umockdev) that takes the 256 KiB image in about six seconds.
#       dunst is the notification server on a session bus of our own
#       (dbus-run-session); dbus-monitor records every call it gets. Then the
#       same upload with no session bus at all: the same report and log but
#       for the one line that says whether the desktop was told. Then an
#       upload the robot never acknowledges: the failure text is the last
#       notification.
#   upload_progress_test.sh linux LL   The same two uploads on the bus, in the
#       language LL (LANGUAGE=LL): the notifications carry that language's
#       texts, or the English ones for a language without a catalog.
#   upload_progress_test.sh wine    The Windows build under wine (a prefix of
#       its own) against the robot emulator on a pseudo-terminal that wine
#       maps to COM5, taking the image at 30000 bytes a second: a window
#       titled "Kelvo Robot Updater" shows the percentage and the warning
#       while the image goes out (read by tools/window_text), and is gone
#       after the ACK.
#   upload_progress_test.sh wine fr   The same under a French user locale
#       (LANG=fr_FR.UTF-8): the window shows the French texts.
#
# KELVO_BINARY (and for wine KELVO_WINDOWS_BINARY), KELVO_ROBOT_EMULATOR and
# KELVO_SOURCE_DIR come from ctest. Screenshots and the recorded calls are kept
# in upload-progress-<mode>/ in the current folder. Every process started here
# runs under `timeout` and is ended at exit.
set -euo pipefail

mode=${1:-}
case $mode in
    linux | wine | linux-session) ;;
    *) echo "usage: $0 linux|wine [LANGUAGE]" >&2; exit 2 ;;
esac
# The desktop's language: English unless a language is named; nothing else
# of the caller's locale counts.
language=${2:-${KELVO_PROGRESS_LANGUAGE:-}}
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
    local pid
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
fresh_home() {
    rm -rf "$work/home"
    mkdir -p "$work/home/runtime"
    chmod 700 "$work/home/runtime"
}
home_env=(HOME="$work/home" XDG_RUNTIME_DIR="$work/home/runtime" XDG_STATE_HOME="$work/home/state"
          XDG_CONFIG_HOME="$work/home/config" XDG_DATA_HOME="$work/home/data")

if [[ $mode == linux || $mode == linux-session ]]; then
    need umockdev-run dunst dbus-run-session dbus-monitor
    binary=${KELVO_BINARY:?}
    log_file() { echo "$work/home/state/KelvoUpgrader/Logs/KelvoUpgrader.log"; }

    # The robot's side of the upload for umockdev: the command line, ENQ, the
    # image in 4 KiB blocks taken a tenth of a second apart (a dot after each,
    # as the robot's sign of life: umockdev can only pause between answers),
    # the sum, then ACK and the robot's answer, or nothing at all.
    [[ $mode == linux-session ]] || python3 - "$work" <<'EOF'
import random, sys
work = sys.argv[1]
size, block = 256 * 1024, 4096
random.seed(17)
# No blank and no '^': umockdev's script format can't tell them from its escapes.
pool = [b for b in range(256) if b not in (32, 94)]
image = bytes(random.choice(pool) for _ in range(size))
open(work + '/image.bin', 'wb').write(image)
def escaped(data):
    return ''.join('^' + chr(c + 64) if c < 32 else chr(c) for c in data)
total = sum(image) & 0xFFFFFFFF
lines = ['w 0 Upload code Size %d^M' % (size + 4), 'r 5 ^E']
for at in range(0, size, block):
    lines += ['w 0 ' + escaped(image[at:at + block]), 'r 100 .']
lines.append('w 0 ' + escaped(total.to_bytes(4, 'little')))
open(work + '/refused.script', 'w', encoding='latin-1').write('\n'.join(lines) + '\n')
lines.append('r 5 ^FFlashed^Z')
open(work + '/taken.script', 'w', encoding='latin-1').write('\n'.join(lines) + '\n')
EOF
    printf 'getlocal %s\nupload code\n' "$work/image.bin" >"$work/script.txt"

    # upload CONVERSATION [VAR=VALUE...]: one /NOSERVER run of the script.
    upload() {
        local conversation=$1
        shift
        env "${home_env[@]}" "${lang_env[@]}" "$@" timeout "$limit" umockdev-run \
            --device "$source_dir/tests/robot/data/robot_first.umockdev" \
            --script "/dev/ttyACM0=$work/$conversation.script" \
            -- "$binary" /NOSERVER "$work/script.txt" >"$work/run.out" 2>&1 ||
            fail "the run failed" "$(cut -c1-300 "$work/run.out")"
    }
    # The log as it reads without time stamps and the seconds the image took.
    normalized_log() {
        sed -e 's/^\[[0-9]*\/[0-9]* [0-9]*:[0-9]*:[0-9]*\] //' \
            -e 's/^Sending file to robot took: [0-9]* seconds$/Sending file to robot took: N seconds/' "$(log_file)"
    }

    if [[ $mode == linux-session ]]; then
        # dunst, dbus-monitor, then the upload taken (a screenshot 2.5 seconds
        # in) and the one refused (a screenshot of how it ends).
        timeout "$limit" dunst -conf /dev/null >"$work/dunst.log" 2>&1 &
        dunst=$!
        pids+=($dunst)
        timeout "$limit" dbus-monitor --session "interface='org.freedesktop.Notifications'" \
            "type='method_return'" >"$work/monitor.txt" 2>&1 &
        monitor=$!
        pids+=($monitor)
        served() {
            dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner \
                string:org.freedesktop.Notifications 2>/dev/null | grep -q 'boolean true'
        }
        poll 100 served || fail "dunst did not take the notification service" "$(cat "$work/dunst.log")"
        fresh_home
        upload taken &
        run=$!
        sleep 2.5
        screenshot during-upload
        wait $run || exit 1
        cp "$(log_file)" "$work/taken-bus.log"
        fresh_home
        upload refused
        cp "$(log_file)" "$work/refused-bus.log"
        sleep 1
        screenshot after-failure
        sleep 0.5
        kill $monitor
        [[ -z $language ]] || exit 0
        # A service that doesn't answer at all (stopped): the upload goes on
        # as without one.
        server=$(pgrep -P $dunst -x dunst) || fail "dunst is not running"
        kill -STOP $server
        fresh_home
        upload taken
        cp "$(log_file)" "$work/taken-stopped.log"
        kill -CONT $server
        exit 0
    fi

    step "uploads with dunst on a session bus of our own"
    KELVO_PROGRESS_WORK=$work KELVO_PROGRESS_KEEP=$keep KELVO_PROGRESS_LANGUAGE=$language timeout "$limit" dbus-run-session -- bash "$0" linux-session ||
        fail "the run on the session bus failed"
    cp "$work/monitor.txt" "$keep/"

    step "what the notification server received"
    python3 - "$work/monitor.txt" "$language" <<'EOF' || fail "the notifications were not as expected" "$(cat "$work/monitor.txt" | head -80)"
import re, sys
text = open(sys.argv[1], encoding='utf-8', errors='replace').read()
blocks = re.split(r'\n(?=method call|method return|signal|error)', text)
calls, returns = [], {}
for b in blocks:
    head = b.split('\n', 1)[0]
    if head.startswith('method call') and 'member=Notify' in head:
        serial = re.search(r' sender=(\S+) .* serial=(\d+)', head).groups()
        strings = re.findall(r'^   string "(.*)"$', b, re.M)
        replaces = int(re.search(r'^   uint32 (\d+)$', b, re.M).group(1))
        value = re.search(r'string "value"\s*\n\s*variant\s+int32 (\d+)', b)
        entry = re.search(r'string "desktop-entry"\s*\n\s*variant\s+string "(.*)"', b)
        calls.append(dict(serial=serial, app=strings[0], icon=strings[1], summary=strings[2],
                          body=strings[3], replaces=replaces, value=int(value.group(1)) if value else None,
                          entry=entry.group(1) if entry else None))
    elif head.startswith('method return'):
        m = re.search(r' destination=(\S+) .*reply_serial=(\d+)', head)
        ids = re.findall(r'^   uint32 (\d+)$', b, re.M)
        if m and ids: returns[m.groups()] = int(ids[0])
# Two uploads: each starts with replaces_id 0.
uploads, current = [], None
for c in calls:
    if c['replaces'] == 0:
        current = []
        uploads.append(current)
    current.append(c)
assert len(uploads) == 2, 'expected two uploads, saw %d (%d calls)' % (len(uploads), len(calls))
# What the person reads, by language (LANGUAGE); English for any other.
texts = {
    'en': ('Updating the robot: %d%% sent. Keep it plugged in and switched on until this is done.',
           'The robot has taken the update.',
           "The robot did not take the update. The maker's page will say what to do."),
    'de': ('Der Roboter wird aktualisiert: %d\u00a0%% übertragen. Lassen Sie ihn angeschlossen und eingeschaltet, '
           'bis der Vorgang abgeschlossen ist.',
           'Der Roboter hat die Aktualisierung übernommen.',
           'Der Roboter hat die Aktualisierung nicht übernommen. Auf der Seite des Herstellers steht, was zu tun ist.'),
}
updating, taken_outcome, refused_outcome = texts.get(sys.argv[2], texts['en'])
for name, shown, outcome in (('taken', uploads[0], taken_outcome), ('refused', uploads[1], refused_outcome)):
    for c in shown:
        assert c['summary'] == 'Kelvo Robot Updater' and c['app'] == 'Kelvo Robot Updater', c
        assert c['icon'] == 'kelvo-upgrader' and c['entry'] == 'kelvo-upgrader', c
    ids = {returns.get(c['serial']) for c in shown}
    assert len(ids) == 1 and None not in ids, (name, 'not one id', ids)
    the_id = ids.pop()
    assert all(c['replaces'] == the_id for c in shown[1:]), (name, [c['replaces'] for c in shown])
    progress, last = shown[:-1], shown[-1]
    # The first comes at the start: it shows what the thread found when it
    # got to it, the first blocks of the image already written.
    assert progress and progress[0]['value'] < 50, (name, 'the first came late', progress[:1])
    values = [c['value'] for c in progress]
    assert all(c['body'] == updating % c['value'] for c in progress), (name, [c['body'] for c in progress])
    # The outcome: a full bar with the news that the robot took it, none with a failure.
    assert last['body'] == outcome and last['value'] == (100 if name == 'taken' else None), (name, last)
    if last['value'] is not None: values.append(last['value'])
    assert values == sorted(values), (name, 'values went back', values)
    assert values[-1] == 100, (name, 'never reached 100%', values)
    assert sum(1 for c in shown if c['body'] in (taken_outcome, refused_outcome)) == 1, (name, 'more than one outcome')
    print('%s: %d notifications under id %d, percent %s, outcome "%s"' % (name, len(shown), the_id, values, last['body']))
# A 256 KiB image taking about six seconds: several updates, at most about one a second.
assert 3 <= len(uploads[0]) <= 12, ('updates', len(uploads[0]))
EOF
    grep -q '^\[.*\] 	Upload progress shown on the desktop$' "$work/taken-bus.log" ||
        fail "the log does not say the desktop showed the upload" "$(cat "$work/taken-bus.log")"
    grep -q '^\[.*\] ERROR - sendFile timed out while reading ACK$' "$work/refused-bus.log" ||
        fail "the refused upload did not end by the ACK time-out" "$(cat "$work/refused-bus.log")"
    if [[ -n $language ]]; then
        # The log stays English in every language: support reads it.
        grep -q '^\[.*\] 	Upload progress shown on the desktop$' "$work/refused-bus.log" ||
            fail "the log is not English" "$(cat "$work/refused-bus.log")"
        echo PASS
        exit 0
    fi

    took() { sed -n 's/^\[.*\] Sending file to robot took: \([0-9]*\) seconds$/\1/p' "$1"; }
    grep -q 'Exiting doUpload with success$' "$work/taken-stopped.log" ||
        fail "the upload failed while the service did not answer" "$(cat "$work/taken-stopped.log")"
    (( $(took "$work/taken-stopped.log") <= $(took "$work/taken-bus.log") + 1 )) ||
        fail "the upload took longer while the service did not answer" "$(took "$work/taken-stopped.log")"
    grep -q '^\[.*\] 	Upload progress not shown: no desktop notification service$' "$work/taken-stopped.log" ||
        fail "a service that never answered counted as showing the upload" "$(cat "$work/taken-stopped.log")"

    step "the same upload with no session bus"
    fresh_home
    upload taken DBUS_SESSION_BUS_ADDRESS=unix:path="$work/no-bus-here" XDG_RUNTIME_DIR="$work/home/runtime"
    cp "$(log_file)" "$work/taken-nobus.log"
    grep -q '^\[.*\] 	Upload progress not shown: no desktop notification service$' "$work/taken-nobus.log" ||
        fail "the log does not say the desktop was not told" "$(cat "$work/taken-nobus.log")"
    grep -q ERROR "$work/taken-nobus.log" && fail "an ERROR line without a bus" "$(grep ERROR "$work/taken-nobus.log")"
    strip() {
        sed -e 's/^\[[0-9]*\/[0-9]* [0-9]*:[0-9]*:[0-9]*\] //' \
            -e 's/^Sending file to robot took: [0-9]* seconds$/Sending file to robot took: N seconds/' \
            -e '/^\tUpload progress /d' "$1"
    }
    diff <(strip "$work/taken-bus.log") <(strip "$work/taken-nobus.log") >"$work/log.diff" ||
        fail "the logs differ beyond the desktop line" "$(cat "$work/log.diff")"
    # The report (written into the log in this mode), byte for byte.
    report() { python3 -c 'import sys; t=open(sys.argv[1],"rb").read(); i=t.find(b"Content-Disposition: form-data; name=\"Version\""); assert i>0; print(t[i:i+4000].split(b"\n[")[0].hex())' "$1"; }
    [[ $(report "$work/taken-bus.log") == $(report "$work/taken-nobus.log") ]] || fail "the reports differ"
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

step "robot on a pseudo-terminal"
timeout "$limit" "$emulator" --image-rate 30000 --seconds "$limit" >"$work/robot.out" 2>&1 &
pids+=($!)
poll 100 grep -q '^robot on /dev/' "$work/robot.out" 2>/dev/null || fail "the robot emulator did not start" "$(cat "$work/robot.out")"
device=$(sed -n 's/^robot on \(\/dev\/[^ ]*\) .*/\1/p' "$work/robot.out" | head -n1)
usb='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\VID_3A7C&PID_0101\R1'
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n"COM5"="%s"\r\n\r\n[%s]\r\n"FriendlyName"="Robot (COM5)"\r\n\r\n[%s\\Device Parameters]\r\n"PortName"="COM5"\r\n' \
    "$device" "$usb" "$usb" >"$work/robot.reg"
timeout 60 "$wine_run" regedit /S "$(on_z "$work/robot.reg")" || fail "regedit"
timeout 30 wineserver -k || true # wine makes its ports from that key when it starts

python3 -c 'import random,sys; random.seed(5); open(sys.argv[1],"wb").write(bytes(random.randrange(256) for _ in range(256*1024)))' "$work/image.bin"
printf 'getlocal %s\r\nupload code\r\n' "$(on_z "$work/image.bin")" >"$work/script.txt"

step "upload under wine"
timeout "$limit" "$wine_run" "$exe" /NOSERVER "$(on_z "$work/script.txt")" >"$work/run.out" 2>&1 &
run=$!
pids+=($run)
title="Kelvo Robot Updater"
poll 300 xdotool search --name "^$title\$" >/dev/null 2>&1 || fail "no window titled $title" "$(cat "$work/robot.out")"
window=$(xdotool search --name "^$title\$" | head -n1)
sleep 2
[[ $(xdotool getwindowname "$window") == "$title" ]] || fail "the window is not titled $title"
screenshot during-upload
grep -q 'upload: ' "$work/robot.out" && fail "the upload was over before the screenshot" "$(cat "$work/robot.out")"
timeout 60 "$wine_run" "$window_text" "$title" >"$work/texts.txt" 2>&1 || fail "window_text" "$(cat "$work/texts.txt")"
tr -d '\r' <"$work/texts.txt" >"$keep/window-texts.txt"
nbsp=$'\xc2\xa0' # French puts one before a colon and a percent sign
if [[ $language == fr ]]; then
    first="^Mise à jour du robot${nbsp}: [0-9]*${nbsp}% transmis\\.\$"
    second="^Laissez-le branché et allumé jusqu'à la fin de l'opération\\.\$"
else
    first='^Updating the robot: [0-9]*% sent\.$'
    second='^Keep it plugged in and switched on until this is done\.$'
fi
grep -q "$first" "$keep/window-texts.txt" && grep -q "$second" "$keep/window-texts.txt" ||
    fail "the window does not show the percentage and the warning" "$(cat "$keep/window-texts.txt")"
! grep -q '^Cancel$' "$keep/window-texts.txt" || fail "the window offers to cancel the upload"
# The robot has the image and has sent ACK: the window shows the outcome.
poll 300 grep -q '^upload: ' "$work/robot.out" || fail "the robot got no image" "$(cat "$work/robot.out")"
sleep 1
xdotool search --name "^$title\$" >/dev/null 2>&1 && screenshot outcome
wait $run || fail "the run failed" "$(cat "$work/run.out")"
# Gone after the ACK (it shows the outcome for two seconds first).
poll 100 bash -c '! xdotool search --name "^'"$title"'\$" >/dev/null 2>&1' || fail "the window is still there after the upload"
screenshot after-upload
log=$(find "$WINEPREFIX/drive_c/users" -name KelvoUpgrader.log | head -n1)
cp "$log" "$keep/KelvoUpgrader.log"
tr -d '\r' <"$log" | grep -q '	Upload progress shown on the desktop$' ||
    fail "the log does not say the desktop showed the upload" "$(cat "$log")"
tr -d '\r' <"$log" | grep -q 'Exiting doUpload with success$' || fail "the upload failed" "$(cat "$log")"
echo "PASS"
