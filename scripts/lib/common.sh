# shellcheck shell=bash
# Shared by scripts/test, scripts/demo and scripts/package (source it; bash only).
#
#   KELVO_ROOT                  the repository's top folder
#   kelvo_packages_for USE...   prints the Debian packages those uses need (table below)
#   kelvo_ensure_packages [USE...]
#                               installs whatever of them is missing (as root;
#                               apt-get update at most once); no USE: every use
#   kelvo_configure_build [--log FILE] PRESET [TARGET...]
#                               cmake --preset PRESET, then cmake --build --preset
#                               PRESET -j2 (only TARGETs when given); with --log the
#                               output goes to FILE, and its end is shown on failure
#   kelvo_upgrader_version      prints the program's UpgraderVersion text, read
#                               from the one source line that defines it

KELVO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# What each step of scripts/test (linux, linux-asan, windows, sweep, fuzz,
# fuzz-long, package, fresh; load for KELVO_TEST_LOAD) and each command
# (demo, scripts/package) needs, by Debian 12 name. A line: the uses, a colon,
# the packages, then why. Each package is on one line only; a use installs
# its lines and nothing else.
KELVO_PACKAGE_TABLE='
demo linux linux-asan windows sweep fuzz fuzz-long package scripts/package: cmake make pkg-config g++ googletest libgtest-dev libgmock-dev  # every build
demo linux linux-asan windows sweep fuzz fuzz-long package scripts/package: gettext       # msgfmt: the translations, at build time
demo linux linux-asan sweep fuzz fuzz-long package scripts/package: libcurl4-openssl-dev  # HTTP on Linux
demo linux linux-asan sweep fuzz fuzz-long package scripts/package: libsystemd-dev        # sd-bus: upload progress as a desktop notification
windows package scripts/package: g++-mingw-w64-x86-64-posix                               # the Windows build
windows package scripts/package: librsvg2-bin icoutils       # the Windows build: the icon drawn at each size and made an .ico
windows package: wine wine64                                 # Windows tests; the .msi test
windows package: util-linux                                  # flock in cmake/wine-run.sh
fuzz fuzz-long: clang libclang-rt-14-dev                     # libFuzzer, sanitizers
linux linux-asan package: umockdev                           # emulated USB robots (serial tests, the udev rule)
linux linux-asan package: openssl                            # self-signed HTTPS endpoint in the web tests; signing test
linux linux-asan: curl time                                  # download baseline and peak memory (tests/web)
linux linux-asan package: xdg-utils libglib2.0-bin           # xdg-mime, xdg-open, gio open: how desktops start the handler
linux package: xvfb dbus-daemon imagemagick x11-utils        # a screen and a session bus per test; screenshots, xwininfo
linux package: xdg-desktop-portal xdg-desktop-portal-gtk     # the portal test (sandboxed browsers)
linux: chromium firefox-esr xdotool                          # the real-browser tests (tests/browser)
linux: dunst dbus-bin                                        # upload progress test: notification server, dbus-monitor
linux: xfce4-notifyd notification-daemon                     # notification tests with other servers
linux package: locales                                       # localedef: a French user locale for the window under wine; fr_FR for the rebuild test
package: libfaketime                                         # repository test: the clock of apt past Valid-Until
linux windows package scripts/package: python3               # desktop tests; the Windows string tables (cmake/catalogs_to_rc.py); reproducible .msi
package scripts/package: wixl msitools                       # the .msi, and reading it back
package scripts/package: dpkg-dev fakeroot                   # the .deb (dpkg-shlibdeps, dpkg-deb)
package scripts/package: osslsigncode                        # Authenticode
package scripts/package: apt-utils gnupg                     # the apt repository: apt-ftparchive, its signature
package scripts/package fresh: git                           # the packages date from the last commit; the fresh step clones
package: lintian desktop-file-utils dpkg-repack              # .deb checks; a local repository of desktop-file-utils
package: udev man-db                                         # .deb test: udevadm test of the rule, man
linux package: libgdk-pixbuf2.0-bin librsvg2-common          # the SVG icon read as GTK reads it: notification servers, the .deb test
fresh: mmdebstrap                                            # a minimal Debian 12 root
load: stress-ng                                              # KELVO_TEST_LOAD: a busy machine beside the run
'

kelvo_packages_for() {
    local want=" $* " line uses pkgs use pkg
    local -A seen=()
    while IFS= read -r line; do
        line=${line%%#*}
        [[ $line == *:* ]] || continue
        uses=${line%%:*} pkgs=${line#*:}
        for use in $uses; do
            [[ $want == *" $use "* ]] || continue
            for pkg in $pkgs; do
                [[ -n ${seen[$pkg]-} ]] || { seen[$pkg]=1; printf '%s\n' "$pkg"; }
            done
            break
        done
    done <<<"$KELVO_PACKAGE_TABLE"
}

kelvo_all_uses() {
    local line
    while IFS= read -r line; do
        # shellcheck disable=SC2086  # the uses, one a word
        [[ $line == *:* ]] && printf '%s\n' ${line%%:*}
    done <<<"$KELVO_PACKAGE_TABLE" | sort -u
}

kelvo_missing_packages() {
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
            printf '%s\n' "$pkg"
        fi
    done
}

kelvo_ensure_packages() {
    local uses=("$@") wanted missing
    [[ ${#uses[@]} -gt 0 ]] || mapfile -t uses < <(kelvo_all_uses)
    mapfile -t wanted < <(kelvo_packages_for "${uses[@]}")
    [[ ${#wanted[@]} -gt 0 ]] || return 0
    missing=$(kelvo_missing_packages "${wanted[@]}")
    if [[ -z $missing ]]; then
        return 0
    fi
    # shellcheck disable=SC2086
    echo "== installing for ${uses[*]}:" $missing
    if [[ $(id -u) -ne 0 ]]; then
        # shellcheck disable=SC2086
        echo "error: missing packages; run as root or: sudo apt-get install -y" $missing >&2
        return 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    if [[ -z ${KELVO_APT_UPDATED-} ]]; then
        apt-get update
        export KELVO_APT_UPDATED=1
    fi
    # shellcheck disable=SC2086
    apt-get install -y $missing
}

kelvo_configure_build() {
    local log=
    if [[ ${1-} == --log ]]; then
        log=$2
        shift 2
    fi
    local preset=$1 targets=()
    shift
    [[ $# -eq 0 ]] || targets=(--target "$@")
    if [[ -z $log ]]; then
        (cd "$KELVO_ROOT" && cmake --preset "$preset" && cmake --build --preset "$preset" -j2 "${targets[@]}")
        return
    fi
    if (cd "$KELVO_ROOT" && cmake --preset "$preset" && cmake --build --preset "$preset" -j2 "${targets[@]}") \
            >"$log" 2>&1; then
        return 0
    fi
    # The reason is in the output that was kept out of sight: show its end.
    echo "== the $preset build failed; the end of its output ($log):" >&2
    tail -n 60 "$log" | sed 's/^/   | /' >&2
    return 1
}

kelvo_upgrader_version() {
    local line
    line=$(grep -E '^const char UpgraderVersion\[\] = "KelvoUpgrader [0-9.]+";' \
        "$KELVO_ROOT/src/script/report.cc") || {
        echo "error: no UpgraderVersion definition in src/script/report.cc" >&2
        return 1
    }
    line=${line#*\"}
    printf '%s\n' "${line%\"*}"
}
