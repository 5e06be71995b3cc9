#!/usr/bin/env bash
# A real browser follows a kelvo:// link. The browser, under Xvfb, opens a
# page that the maker-server stand-in serves on 127.0.0.1 (the browser reaches
# it as its proxy); xdotool clicks the page's link and confirms the browser's
# question; the copy of the program whose own "register" made it the scheme's
# handler starts with the link's URL, runs a simulated update, and its report
# reaches the stand-in.
#
#   browser_link_test.sh BROWSER MODE
#
#   BROWSER  chromium   Chromium's "Open Kelvo Robot Updater?" dialog; Chromium
#                       hands the link to xdg-open
#            firefox    Firefox ESR's question in the tab ("Allow this site to
#                       open the kelvo link with Kelvo Robot Updater?"); Firefox
#                       finds the handler through GIO itself
#            hostile    Chromium on a page that makes it download a script,
#                       noserver.txt, and links to it as "kelvo:AAA" and the
#                       file's path (relative to the download folder's parent
#                       in generic mode, absolute in gnome mode): the program
#                       must refuse the link as a malformed URL, never run it
#   MODE     generic    no desktop named: xdg-open's generic mode
#            gnome      XDG_CURRENT_DESKTOP=GNOME: xdg-open hands the link to gio
#
# KELVO_BINARY and KELVO_MAKER_SERVER name the program and the stand-in (ctest
# sets both). Everything lives in a temporary HOME with its own XDG folders.
# As root the test runs in a PID namespace of its own, so that the program's
# search for other copies sees nothing else and everything started here ends
# with it; every process also runs under `timeout` in a process group that is
# ended at exit. A screenshot of the browser's question is left in
# browser-BROWSER-MODE-question.png in the current folder. On a failure the
# step, what was seen, a screen dump (XWD) and the logs are kept in
# browser-BROWSER-MODE-failure/.
set -euo pipefail

# shellcheck source=tests/browser/simulated_program.sh
source "$(dirname "${BASH_SOURCE[0]}")/simulated_program.sh"

browser=${1:-}
mode=${2:-}
case $browser in
    chromium | firefox | hostile) ;;
    *) echo "usage: $0 chromium|firefox|hostile generic|gnome" >&2; exit 2 ;;
esac
case $mode in
    generic) desktop= ;;
    gnome) desktop=GNOME ;;
    *) echo "usage: $0 chromium|firefox|hostile generic|gnome" >&2; exit 2 ;;
esac

if [[ -z ${KELVO_BROWSER_NAMESPACE-} ]]; then
    # A PID namespace of its own (a plain chroot too) where this user can
    # have one; it ends with the test, should ctest end it.
    KELVO_BROWSER_NAMESPACE=1 exec "$(dirname "${BASH_SOURCE[0]}")/../support/in_pid_namespace.sh" bash "$0" "$@"
fi
# The first process of a PID namespace ignores signals it has no handler for.
trap 'exit 143' TERM
trap 'exit 130' INT

name="$browser-$mode"
limit=200     # seconds any process started here may live
started=$SECONDS
keep="$PWD/browser-$name-failure"
shot="$PWD/browser-$name-question.png"
rm -rf "$keep" "$shot"
work=$(mktemp -d "${TMPDIR:-/tmp}/kelvo-browser.XXXXXX")
home="$work/home"
log="$home/state/KelvoUpgrader/Logs/KelvoUpgrader.log"
pids=()

cleanup() {
    local pid exe
    # Each was started under `timeout`, which leads a process group of its
    # own: the browser's helpers and what it launched end with it.
    for pid in "${pids[@]}"; do kill -- "-$pid" 2>/dev/null || kill "$pid" 2>/dev/null || true; done
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

step() { echo "== [$name] $*"; }
fail() {
    echo "FAILED [$name]: $1" >&2
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

case $browser in
    firefox) browser_tool=firefox-esr ;;
    *) browser_tool=chromium ;;
esac
for tool in "$browser_tool" Xvfb xdotool xdg-open xdg-mime gio dbus-run-session timeout od convert; do
    command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/test installs what the tests need)"
done
[[ -x ${KELVO_BINARY-} && -x ${KELVO_MAKER_SERVER-} ]] ||
    fail "KELVO_BINARY and KELVO_MAKER_SERVER must name the program and the stand-in"

app="$work/app"
mkdir -p "$home" "$app" "$work/fb" "$work/empty" "$work/run"
chmod 700 "$work/run"

# ------------------------------------------------------------ the program
# A name of its own: a URL launch ends another copy whose name holds its own.
program="$app/kelvo-browser-${work##*.}"
install_simulated_program "$program"

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
downloads="$home/Downloads"
download=
if [[ $browser == hostile ]]; then
    # The page's own script, saved by the browser into the download folder.
    # Were it run, it would read a file of the user's and talk to the robot:
    # both leave their "Run:" lines in the program's log.
    crlf "getlocal $work/secret.bin" "send getversion" > "$work/noserver.txt"
    printf 'SECRET' > "$work/secret.bin"
    # The browser starts in HOME: a relative link names the download there.
    if [[ $mode == generic ]]; then download=Downloads/noserver.txt; else download=$downloads/noserver.txt; fi
    link="kelvo:AAA$download"
fi
{
    cat <<EOP
<!DOCTYPE html>
<html><head><title>Kelvo link</title></head>
<body style="margin:0;background:#$page_colour">
<a href="${link//&/&amp;}" style="display:block;position:fixed;left:0;top:0;right:0;bottom:0;font-size:40px">Update the robot</a>
EOP
    [[ $browser == hostile ]] &&
        echo '<a id="fetch" href="noserver.txt" download="noserver.txt"></a><script>document.getElementById("fetch").click()</script>'
    echo '</body></html>'
} > "$work/page.html"
crlf "send getversion" > "$work/update.txt"

step "maker-server stand-in"
served=(--script "$base/page.html" "$work/page.html" --script "$base/update.txt" "$work/update.txt")
[[ $browser == hostile ]] && served+=(--script "$base/noserver.txt" "$work/noserver.txt")
timeout $((limit + 10)) "$KELVO_MAKER_SERVER" --seconds "$limit" "${served[@]}" \
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
# The program inherits this environment from the browser and the launcher:
# it reaches the stand-in as its proxy too. xdg-open says which mode it took.
browser_env=(
    "${session_env[@]}" DISPLAY="$display" http_proxy="$proxy" https_proxy="$proxy" no_proxy=
    XDG_UTILS_DEBUG_LEVEL=2
)
proxy_port=${proxy##*:}
proxy_port=${proxy_port%%/*}
if [[ $browser == firefox ]]; then
    step "Firefox ESR opens $base/page.html"
    profile="$home/firefox"
    mkdir -p "$profile"
    # Every request goes to the stand-in, and nothing asks for the network
    # on its own: no updates, telemetry, studies, safe browsing lists,
    # remote settings, connectivity probes, prefetching or first-run pages.
    cat > "$profile/user.js" <<EOP
user_pref("network.proxy.type", 1);
user_pref("network.proxy.http", "127.0.0.1");
user_pref("network.proxy.http_port", $proxy_port);
user_pref("network.proxy.ssl", "127.0.0.1");
user_pref("network.proxy.ssl_port", $proxy_port);
user_pref("network.proxy.no_proxies_on", "");
user_pref("network.proxy.allow_hijacking_localhost", true);
user_pref("network.proxy.socks_remote_dns", true);
user_pref("network.trr.mode", 5);
user_pref("network.dns.disablePrefetch", true);
user_pref("network.prefetch-next", false);
user_pref("network.predictor.enabled", false);
user_pref("network.http.speculative-parallel-limit", 0);
user_pref("browser.places.speculativeConnect.enabled", false);
user_pref("browser.urlbar.speculativeConnect.enabled", false);
user_pref("network.captive-portal-service.enabled", false);
user_pref("network.connectivity-service.enabled", false);
user_pref("app.update.auto", false);
user_pref("app.update.enabled", false);
user_pref("app.update.disabledForTesting", true);
user_pref("app.update.staging.enabled", false);
user_pref("app.normandy.enabled", false);
user_pref("app.shield.optoutstudies.enabled", false);
user_pref("extensions.update.enabled", false);
user_pref("extensions.getAddons.cache.enabled", false);
user_pref("extensions.systemAddon.update.enabled", false);
user_pref("extensions.blocklist.enabled", false);
user_pref("media.gmp-manager.updateEnabled", false);
user_pref("browser.search.update", false);
user_pref("services.settings.server", "http://127.0.0.1:9/");
user_pref("browser.region.update.enabled", false);
user_pref("browser.region.network.url", "");
user_pref("toolkit.telemetry.enabled", false);
user_pref("toolkit.telemetry.unified", false);
user_pref("toolkit.telemetry.archive.enabled", false);
user_pref("toolkit.telemetry.server", "");
user_pref("datareporting.healthreport.uploadEnabled", false);
user_pref("datareporting.policy.dataSubmissionEnabled", false);
user_pref("datareporting.policy.firstRunURL", "");
user_pref("browser.ping-centre.telemetry", false);
user_pref("browser.safebrowsing.malware.enabled", false);
user_pref("browser.safebrowsing.phishing.enabled", false);
user_pref("browser.safebrowsing.downloads.enabled", false);
user_pref("browser.safebrowsing.provider.mozilla.updateURL", "");
user_pref("browser.safebrowsing.provider.google4.updateURL", "");
user_pref("security.OCSP.enabled", 0);
user_pref("security.remote_settings.crlite_filters.enabled", false);
user_pref("security.remote_settings.intermediates.enabled", false);
user_pref("dom.push.connection.enabled", false);
user_pref("geo.enabled", false);
user_pref("browser.shell.checkDefaultBrowser", false);
user_pref("browser.startup.homepage_override.mstone", "ignore");
user_pref("startup.homepage_welcome_url", "");
user_pref("startup.homepage_welcome_url.additional", "");
user_pref("browser.aboutwelcome.enabled", false);
user_pref("trailhead.firstrun.didSeeAboutWelcome", true);
user_pref("browser.newtabpage.enabled", false);
user_pref("browser.newtabpage.activity-stream.feeds.topsites", false);
user_pref("browser.newtabpage.activity-stream.feeds.section.topstories", false);
user_pref("browser.newtabpage.activity-stream.feeds.telemetry", false);
user_pref("browser.newtabpage.activity-stream.telemetry", false);
user_pref("browser.topsites.contile.enabled", false);
user_pref("browser.urlbar.quicksuggest.enabled", false);
user_pref("browser.urlbar.suggest.quicksuggest.sponsored", false);
user_pref("browser.tabs.warnOnClose", false);
user_pref("browser.sessionstore.resume_from_crash", false);
user_pref("toolkit.startup.max_resumed_crashes", -1);
EOP
    env -i "${browser_env[@]}" MOZ_CRASHREPORTER_DISABLE=1 \
        timeout "$limit" dbus-run-session -- firefox-esr --no-remote -profile "$profile" "$base/page.html" \
        > "$work/browser.log" 2>&1 &
    pids+=("$!")
else
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
    # Downloads go to the folder the hostile page's link names, unasked.
    mkdir -p "$home/chromium/Default" "$downloads"
    printf '{"download":{"default_directory":"%s","prompt_for_download":false,"directory_upgrade":true}}\n' \
        "$downloads" > "$home/chromium/Default/Preferences"
    # Chromium hands a link to xdg-desktop-portal when the session bus can
    # start one, and to xdg-open otherwise: this session's bus starts no
    # service at all, so the link takes xdg-open's road in the mode under test.
    mkdir -p "$work/dbus-services"
    cat > "$work/session.conf" <<EOP
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <keep_umask/>
  <listen>unix:dir=$work/run</listen>
  <auth>EXTERNAL</auth>
  <servicedir>$work/dbus-services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOP
    (cd "$home" && exec env -i "${browser_env[@]}" \
        timeout "$limit" dbus-run-session --config-file="$work/session.conf" -- \
        chromium "${chromium_flags[@]}" "$base/page.html") \
        > "$work/browser.log" 2>&1 &
    pids+=("$!")
fi
# The page is up once its window is titled after it.
window_up() { window=$(xdotool search --name '^Kelvo link' 2>/dev/null | head -1); [[ -n $window ]]; }
poll 600 window_up || fail "no $browser_tool window showed the page" "$(tail -20 "$work/browser.log")"
if [[ $browser == firefox ]]; then
    # Nothing places windows here: put Firefox where the clicks go.
    xdotool windowmove --sync "$window" 0 0 windowsize --sync "$window" 1000 700 2>/dev/null || true
fi
eval "$(xdotool getwindowgeometry --shell "$window")"
# Where to click the link (it fills the page), and a point to watch, away
# from the mouse pointer and below where the question comes.
x=$((X + 500)) y=$((Y + 450)) watch_x=$((X + 500)) watch_y=$((Y + 560))
page_shown() { [[ $(pixel "$watch_x" "$watch_y") == "$page_colour" ]]; }
poll 300 page_shown || fail "the page was not drawn (colour $(pixel "$watch_x" "$watch_y") at $watch_x,$watch_y)"

if [[ $browser == hostile ]]; then
    step "the page makes Chromium download noserver.txt"
    downloaded() { [[ -s $downloads/noserver.txt ]] && cmp -s "$downloads/noserver.txt" "$work/noserver.txt"; }
    poll 300 downloaded || fail "Chromium did not save the page's script" "$(ls -la "$downloads")"
fi

# The question dims the page behind it, fading in: once the colour there
# holds still, the question is up and has the keyboard.
dimmed() {
    local now
    now=$(pixel "$watch_x" "$watch_y")
    [[ $now != "$page_colour" && $now == "${last_colour-}" ]] || { last_colour=$now; return 1; }
}
command_line() { grep -qF "Command line: [kelvo:" "$log" 2>/dev/null; }
# What xdg-open said in Chromium's output, without the browser's own noise.
xdg_open_said() { sed -n '/Selected DE/,$p' "$work/browser.log" | grep -v -e '^\[[0-9:/.]*ERROR' -e '^dbus-daemon'; }
# Chromium ran xdg-open (which says so) once more than before.
handed_on() { [[ $(grep -c "Selected DE" "$work/browser.log" || true) -gt $handed ]]; }
screenshot() { cp "$work/fb/Xvfb_screen0" "$work/question.xwd" && convert "xwd:$work/question.xwd" "$shot"; }
for attempt in 1 2 3; do
    step "click the link (attempt $attempt)"
    last_colour=
    xdotool mousemove --sync "$x" "$y" click 1
    poll 150 dimmed || { [[ $attempt -lt 3 ]] && continue; fail "no question came after three clicks on the link"; }
    [[ -s $shot ]] || screenshot || fail "no screenshot of the question"
    handed=$(grep -c "Selected DE" "$work/browser.log" || true)
    if [[ $browser == firefox ]]; then
        step "confirm \"Allow this site to open the kelvo link with Kelvo Robot Updater?\""
        # Firefox keeps "Open Link" off for a moment after the question
        # shows or its window gains the focus (a disabled button is skipped
        # by Tab). The focus starts on "Choose a different application.",
        # and three Tabs (past "Always allow" and Cancel) reach "Open Link".
        xdotool windowfocus --sync "$window"
        sleep 2
        xdotool key --delay 300 Tab Tab Tab Return
        # The question gone and no program: the keys found Cancel (Open
        # Link still off after all); ask again.
        if poll 50 page_shown; then
            poll 150 command_line && break
            [[ $attempt -lt 3 ]] || fail "Firefox did not start the program" "$(tail -20 "$work/browser.log")"
            continue
        fi
    else
        step "confirm \"Open Kelvo Robot Updater?\""
        # Cancel has the focus; the next button opens the program.
        xdotool windowfocus --sync "$window" key --delay 300 Tab Return
        if poll 50 page_shown && poll 50 handed_on; then
            poll 300 command_line || fail "xdg-open did not start the program" "$(xdg_open_said)"
            break
        fi
    fi
    # Still open, Cancel was pressed, or (Firefox) a key reached "Choose a
    # different application." and opened its chooser over the question:
    # close what is open and try again.
    for _ in 1 2 3; do
        page_shown && break
        xdotool key Escape
        poll 25 page_shown && break
    done
    [[ $attempt -lt 3 ]] || fail "the question did not hand the link on"
done

step "the program runs"
grep -qxF "Command line: [$link]" <(sed 's/^\[[^]]*\] //' "$log") ||
    fail "the program got another command line" "$(grep -F 'Command line' "$log")"
if [[ $browser == chromium || $browser == hostile ]]; then
    want="Selected DE ${mode}"
    grep -qF "$want" "$work/browser.log" ||
        fail "xdg-open did not say \"$want\"" "$(grep -F 'Selected DE' "$work/browser.log")"
fi

if [[ $browser == hostile ]]; then
    step "the program refuses the link and runs no script"
    # The local road writes no end banner: wait for whichever comes.
    # shellcheck disable=SC2317  # called through poll
    finished() { grep -qE 'Kelvo Upgrader Ended|Called with "No Server"' "$log"; }
    poll 450 finished || fail "the program did not end" "$(cat "$log")"
    if grep -qF 'Called with "No Server"' "$log" || grep -q '\] Run: \[' "$log"; then
        sleep 2  # let the script's lines reach the log
        fail "the program ran the page's downloaded script" "$(cat "$log")"
    fi
    if ! grep -qF "ERROR: Invalid URL passed. Cannot start operation, returning -1" "$log" ||
        ! grep -qF "Kelvo Upgrader Ended - ret code = -1" "$log"; then
        fail "the program did not refuse the link as an invalid URL" "$(cat "$log")"
    fi
    echo "PASSED [$name]: Chromium -> xdg-open ($mode) -> $(basename "$program") refused \"$link\", in $((SECONDS - started)) s"
    exit 0
fi

ended() { grep -q "Kelvo Upgrader Ended - ret code = 0" "$log"; }
poll 450 ended || fail "the program did not end with 0" "$(cat "$log")"

step "the stand-in receives the report"
server_status=0
wait "$server_pid" || server_status=$?
[[ $server_status -eq 0 ]] || fail "the stand-in ended with $server_status" "$(cat "$work/server.out")"
if ! grep -q '^reports 1$' "$work/server.out" || ! grep -qF 'Software,3,1,2210' "$work/server.out"; then
    fail "no report with the simulated robot's answer" "$(cat "$work/server.out")"
fi

if [[ $browser == firefox ]]; then
    echo "PASSED [$name]: Firefox ESR ($mode) -> $(basename "$program") -> report received, in $((SECONDS - started)) s"
else
    echo "PASSED [$name]: Chromium -> xdg-open ($mode) -> $(basename "$program") -> report received, in $((SECONDS - started)) s"
fi
