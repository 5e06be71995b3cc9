#!/usr/bin/env bash
# A real browser follows a kelvo:// link. Chromium, under Xvfb, opens a page
# that the maker-server stand-in serves on 127.0.0.1 (Chromium reaches it as
# its proxy); xdotool clicks the page's link and confirms Chromium's "Open
# Kelvo Robot Updater?" dialog; the copy of the program whose own "register"
# made it the scheme's handler starts with the link's URL, runs a simulated
# update, and its report reaches the stand-in.
#
#   browser_link_test.sh generic   no desktop named: xdg-open's generic mode
#   browser_link_test.sh gnome     XDG_CURRENT_DESKTOP=GNOME: xdg-open hands
#                                  the link to gio
#
# KELVO_BINARY and KELVO_MAKER_SERVER name the program and the stand-in (ctest
# sets both). Everything lives in a temporary HOME with its own XDG folders;
# every process started here runs under `timeout` and is ended at exit. On a
# failure the step, what was seen, a screen dump (XWD) and the logs are kept
# in browser-<mode>-failure/ in the current folder.
set -euo pipefail

mode=${1:-}
case $mode in
    generic) desktop= ;;
    gnome) desktop=GNOME ;;
    *) echo "usage: $0 generic|gnome" >&2; exit 2 ;;
esac
limit=150     # seconds any process started here may live
started=$SECONDS
keep="$PWD/browser-$mode-failure"
rm -rf "$keep"
work=$(mktemp -d "${TMPDIR:-/tmp}/kelvo-browser.XXXXXX")
home="$work/home"
log="$home/state/KelvoUpgrader/Logs/KelvoUpgrader.log"
pids=()

cleanup() {
    local pid exe
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    # The program, should a failure have left it running: the copy of this run only.
    for exe in /proc/[0-9]*/exe; do
        if [[ -n ${program-} && $(readlink "$exe" 2>/dev/null) == "$program" ]]; then
            pid=${exe#/proc/}
            kill "${pid%/exe}" 2>/dev/null || true
        fi
    done
    rm -rf "$work"
}
trap cleanup EXIT

step() { echo "== [$mode] $*"; }
fail() {
    echo "FAILED [$mode]: $1" >&2
    local line
    if [[ -n ${2-} ]]; then
        while IFS= read -r line; do printf '    | %s\n' "$line"; done <<<"$2" >&2
    fi
    mkdir -p "$keep"
    cp "$work/fb/Xvfb_screen0" "$keep/screen.xwd" 2>/dev/null || true
    cp "$work"/*.out "$work"/*.log "$keep/" 2>/dev/null || true
    cp "$log" "$keep/program.log" 2>/dev/null || true
    echo "    kept in $keep (screen.xwd is the screen when it failed)" >&2
    exit 1
}
# Polls the command (up to tries x 0.2 s); true as soon as it succeeds.
poll() {
    local tries=$1 i
    shift
    for ((i = 0; i < tries; i++)); do
        if "$@"; then return 0; fi
        sleep 0.2
    done
    return 1
}

for tool in chromium Xvfb xdotool xdg-open xdg-mime gio dbus-run-session timeout od; do
    command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/test installs what the tests need)"
done
[[ -x ${KELVO_BINARY-} && -x ${KELVO_MAKER_SERVER-} ]] ||
    fail "KELVO_BINARY and KELVO_MAKER_SERVER must name the program and the stand-in"

app="$work/app"
mkdir -p "$home" "$app" "$work/fb" "$work/empty" "$work/run"
chmod 700 "$work/run"

# ------------------------------------------------------------ the program
# A name of its own: a URL launch ends another copy whose name holds its own.
program="$app/kelvo-browser-$$-$RANDOM"
cp "$KELVO_BINARY" "$program"
crlf() { printf '%s\r\n' "$@"; }
crlf "[RobotSimulationSettings]" "SimulateRobotResponses=1" "SimulatedResponseFilesFolderName=ResponseFiles" \
     "[CurrentRobotDetails]" "Hardware=Zarn" "SoftwareVersion=3" "LDSSoftwareVersion=1" "ModelId=M1" "ConfigId=0" \
     "[ActionToSimulate]" "UpdateType=1" \
     "[LatestRobotImageDetails]" "UpgradeImageSize_Zarn=1048576" "UpgradeImageSize_Molvy=524288" \
     > "$app/ConfigSettings.ini"
mkdir -p "$app/ResponseFiles/Zarn/3_1/M1"
{ crlf "getversion" "Component,Major,Minor,Build" "Software,3,1,2210" "LDS,1,0,88" "Model,M1,,"; printf '\032'; } \
    > "$app/ResponseFiles/Zarn/3_1/M1/getversion.txt"

# What a session of this desktop has, and nothing of the machine's own.
session_env=(
    PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 HOME="$home"
    XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" XDG_STATE_HOME="$home/state"
    XDG_CACHE_HOME="$home/cache" XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_DIRS="$work/empty"
    XDG_DATA_DIRS=/usr/local/share:/usr/share
)
[[ -n $desktop ]] && session_env+=(XDG_CURRENT_DESKTOP="$desktop")

step "register"
out=$(env -i "${session_env[@]}" timeout 60 "$program" register 2>&1) || fail "register ended with $?" "$out"
[[ $out == *"Register succeeded."* && $out != *WARNING* ]] || fail "register did not simply succeed" "$out"
handler=$(env -i "${session_env[@]}" timeout 30 xdg-mime query default x-scheme-handler/kelvo 2>&1 || true)
[[ $handler == kelvo-upgrader-user.desktop ]] ||
    fail "xdg-mime names another handler for kelvo://" "$handler"
mv "$log" "$work/register.log"

# ------------------------------------------------------------ the stand-in
base=http://updates.kelvo.com/browser
# The Reply-To value runs to the end of the URL: the report goes to all of it.
report="$base/report&a=1&b=%41"
link="kelvo://updates.kelvo.com/browser/update.txt?Reply-To=$report"
page_colour=ccffee
cat > "$work/page.html" <<EOF
<!DOCTYPE html>
<html><head><title>Kelvo link</title></head>
<body style="margin:0;background:#$page_colour">
<a href="${link//&/&amp;}" style="display:block;position:fixed;left:0;top:0;right:0;bottom:0;font-size:40px">Update the robot</a>
</body></html>
EOF
crlf "send getversion" > "$work/update.txt"

step "maker-server stand-in"
timeout $((limit + 10)) "$KELVO_MAKER_SERVER" --seconds "$limit" \
    --script "$base/page.html" "$work/page.html" --script "$base/update.txt" "$work/update.txt" \
    --report "$report" --reply empty --reports 1 > "$work/server.out" 2>&1 &
server_pid=$!
pids+=("$server_pid")
proxy_of() { proxy=$(sed -n 's/^proxy //p' "$work/server.out"); [[ -n $proxy ]]; }
poll 100 proxy_of || fail "the stand-in did not start" "$(cat "$work/server.out")"

# ------------------------------------------------------------ the screen
step "Xvfb"
timeout "$limit" Xvfb -displayfd 3 -screen 0 1024x768x24 -fbdir "$work/fb" -nolisten tcp \
    3> "$work/display" > "$work/xvfb.log" 2>&1 &
pids+=("$!")
display_ready() { [[ -s $work/display && -s $work/fb/Xvfb_screen0 ]]; }
poll 150 display_ready || fail "Xvfb did not start" "$(cat "$work/xvfb.log")"
display=:$(tr -dc 0-9 < "$work/display")
export DISPLAY=$display

# The colour (rrggbb) at x,y on the screen, read from Xvfb's frame buffer
# file (XWD: a header of 32-bit words, a colour table, then the rows).
pixel() {
    local f=$work/fb/Xvfb_screen0 h b g r
    read -r -a h <<<"$(od -An -tu4 --endian=big -N100 "$f" | tr -s ' \n' '  ')"
    # h[7] byte order (0: B G R first), h[11] bits per pixel
    [[ ${h[7]} -eq 0 && ${h[11]} -eq 32 ]] || { echo "unexpected screen format"; return; }
    read -r b g r < <(od -An -tx1 -j $((h[0] + h[19] * 12 + $2 * h[12] + $1 * 4)) -N3 "$f")
    echo "$r$g$b"
}

# ------------------------------------------------------------ the browser
step "Chromium opens $base/page.html"
# shellcheck disable=SC2054  # the commas belong to the flags' values
chromium_flags=(
    --user-data-dir="$home/chromium" --no-first-run --no-default-browser-check
    --disable-background-networking --disable-component-update --disable-sync --disable-quic
    --disable-default-apps --disable-extensions --disable-breakpad --disable-domain-reliability
    --no-pings --disable-client-side-phishing-detection --password-store=basic
    --disable-features=Translate,MediaRouter,OptimizationHints,DialMediaRouteProvider
    --disable-gpu --disable-dev-shm-usage --ozone-platform=x11
    --proxy-server="$proxy" --window-position=0,0 --window-size=1000,700
)
[[ $(id -u) -eq 0 ]] && chromium_flags+=(--no-sandbox)
# The program inherits this environment from Chromium and xdg-open: it
# reaches the stand-in as its proxy too. xdg-open says which mode it took.
env -i "${session_env[@]}" DISPLAY="$display" http_proxy="$proxy" https_proxy="$proxy" \
    no_proxy= XDG_UTILS_DEBUG_LEVEL=2 \
    timeout "$limit" dbus-run-session -- chromium "${chromium_flags[@]}" "$base/page.html" \
    > "$work/chromium.log" 2>&1 &
pids+=("$!")
window_up() { window=$(xdotool search --name '^Kelvo link' 2>/dev/null | head -1); [[ -n $window ]]; }
poll 450 window_up || fail "no Chromium window showed the page" "$(tail -20 "$work/chromium.log")"
eval "$(xdotool getwindowgeometry --shell "$window")"
# Where to click the link (it fills the page), and a point to watch, away
# from the mouse pointer and below where the dialog comes.
x=$((X + 500)) y=$((Y + 450)) watch_x=$((X + 500)) watch_y=$((Y + 560))
page_shown() { [[ $(pixel "$watch_x" "$watch_y") == "$page_colour" ]]; }
poll 150 page_shown || fail "the page was not drawn (colour $(pixel "$watch_x" "$watch_y") at $watch_x,$watch_y)"

# The dialog dims the page behind it, fading in: once the colour there holds
# still, the dialog is up and has the keyboard.
dimmed() {
    local now
    now=$(pixel "$watch_x" "$watch_y")
    [[ $now != "$page_colour" && $now == "${last_colour-}" ]] || { last_colour=$now; return 1; }
}
command_line() { grep -qF "Command line: [kelvo://" "$log" 2>/dev/null; }
# What xdg-open said in Chromium's output, without the browser's own noise.
xdg_open_said() { sed -n '/Selected DE/,$p' "$work/chromium.log" | grep -v -e '^\[[0-9:/.]*ERROR' -e '^dbus-daemon'; }
# Chromium ran xdg-open (which says so) once more than before.
handed_on() { [[ $(grep -c "Selected DE" "$work/chromium.log" || true) -gt $handed ]]; }
for attempt in 1 2 3; do
    step "click the link (attempt $attempt)"
    last_colour=
    xdotool mousemove --sync "$x" "$y" click 1
    poll 100 dimmed || { [[ $attempt -lt 3 ]] && continue; fail "no dialog came after three clicks on the link"; }
    step "confirm \"Open Kelvo Robot Updater?\""
    # Cancel has the focus; the next button opens the program.
    handed=$(grep -c "Selected DE" "$work/chromium.log" || true)
    xdotool windowfocus --sync "$window" key --delay 300 Tab Return
    if poll 50 page_shown && poll 50 handed_on; then
        poll 300 command_line || fail "xdg-open did not start the program" "$(xdg_open_said)"
        break
    fi
    # Still open, or Cancel was pressed: close it and try again.
    page_shown || xdotool key Escape
    poll 50 page_shown || true
    [[ $attempt -lt 3 ]] || fail "the dialog did not hand the link to xdg-open"
done

step "the program runs"
grep -qxF "Command line: [$link]" <(sed 's/^\[[^]]*\] //' "$log") ||
    fail "the program got another command line" "$(grep -F 'Command line' "$log")"
ended() { grep -q "Kelvo Upgrader Ended - ret code = 0" "$log"; }
poll 450 ended || fail "the program did not end with 0" "$(cat "$log")"

step "the stand-in receives the report"
server_status=0
wait "$server_pid" || server_status=$?
[[ $server_status -eq 0 ]] || fail "the stand-in ended with $server_status" "$(cat "$work/server.out")"
if ! grep -q '^reports 1$' "$work/server.out" || ! grep -qF 'Software,3,1,2210' "$work/server.out"; then
    fail "no report with the simulated robot's answer" "$(cat "$work/server.out")"
fi
want="Selected DE ${mode}"
grep -qF "$want" "$work/chromium.log" || fail "xdg-open did not say \"$want\"" "$(grep -F 'Selected DE' "$work/chromium.log")"

echo "PASSED [$mode]: Chromium -> xdg-open ($mode) -> $(basename "$program") -> report received, in $((SECONDS - started)) s"
