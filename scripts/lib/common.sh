# shellcheck shell=bash
# Shared by scripts/test and scripts/demo (source it; bash only).
#
#   KELVO_ROOT               the repository's top folder
#   kelvo_ensure_packages    installs whatever Debian packages the build needs
#                            and lacks (as root; apt-get update at most once)
#   kelvo_configure_build P  cmake --preset P, then cmake --build --preset P -j2
#   kelvo_upgrader_version   prints the program's UpgraderVersion text, read
#                            from the one source line that defines it

KELVO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# Everything the presets, the tests and the tools use, by Debian 12 name.
KELVO_PACKAGES=(
    cmake make pkg-config g++
    g++-mingw-w64-x86-64-posix          # windows preset
    wine wine64                         # windows tests
    libcurl4-openssl-dev                # HTTP on Linux
    libsystemd-dev                      # sd-bus: upload progress as a desktop notification
    googletest libgtest-dev libgmock-dev
    clang libclang-rt-14-dev            # fuzz preset (libFuzzer, sanitizers)
    umockdev                            # serial port tests
    openssl                             # self-signed HTTPS endpoint in the web tests
    curl time                           # download benchmark baseline and peak memory
    xdg-utils                           # URL handler registration (xdg-mime), xdg-open
    libglib2.0-bin                      # gio open: how GNOME desktops start the handler
    chromium xvfb xdotool dbus-daemon   # the real-browser test (tests/browser)
    firefox-esr imagemagick             # ... with Firefox too; screenshots of the questions
    xdg-desktop-portal xdg-desktop-portal-gtk x11-utils  # the portal test (tests/browser)
    dunst dbus-bin                      # upload progress test: notification server, dbus-monitor
    notification-daemon xfce4-notifyd   # ... on two more notification servers (x11-utils: xmessage, the message box test's dialog)
    util-linux                          # flock
    wixl msitools                       # scripts/package: the .msi, and reading it back
    dpkg-dev fakeroot                   # scripts/package: the .deb (dpkg-shlibdeps, dpkg-deb)
    dpkg-repack                         # .deb test: a local repository of desktop-file-utils
    lintian desktop-file-utils          # .deb checks; desktop database in the test root
    udev man-db                         # .deb tests: udevadm test of the rule, man
    librsvg2-bin icoutils               # the icon's sizes and the .ico; checking the .exe's resources
    libgdk-pixbuf2.0-bin librsvg2-common  # .deb test: the SVG icon read as GTK reads it
    osslsigncode python3                # scripts/package: Authenticode, reproducible .msi
    apt-utils gnupg                     # scripts/package repo: apt-ftparchive, its signature
    gettext                             # msgfmt, msgcmp: the translation catalogs (po/)
    locales                             # upload progress test: a French user locale for wine (localedef)
)

kelvo_missing_packages() {
    local pkg
    for pkg in "${KELVO_PACKAGES[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
            printf '%s\n' "$pkg"
        fi
    done
}

kelvo_ensure_packages() {
    local missing
    missing=$(kelvo_missing_packages)
    if [[ -z $missing ]]; then
        return 0
    fi
    # shellcheck disable=SC2086
    echo "== installing:" $missing
    if [[ $(id -u) -ne 0 ]]; then
        # shellcheck disable=SC2086
        echo "error: missing packages; run as root or: sudo apt-get install -y" $missing >&2
        return 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    # shellcheck disable=SC2086
    apt-get install -y $missing
}

kelvo_configure_build() {
    local preset=$1
    (cd "$KELVO_ROOT" && cmake --preset "$preset" && cmake --build --preset "$preset" -j2)
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
