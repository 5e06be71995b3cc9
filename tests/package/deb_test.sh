#!/usr/bin/env bash
# The Debian package as a household meets it, in a throwaway root:
#
#   tests/package/deb_test.sh PACKAGE.deb NEWER.deb
#
# NEWER.deb is the same program packaged with a higher version. The root is
# a copy-on-write view of this machine's own (an overlay whose upper layer is
# a tmpfs of this test's own, in a mount namespace of its own): dpkg, its
# maintainer scripts and triggers, xdg-open, gio and udevadm are the
# machine's, and every change they make lands in the tmpfs, which goes away
# with the namespace. Nothing outside it is written; the only traffic is to
# the maker's server stand-in on 127.0.0.1.
#
# Checks Debian's own tools first (lintian, desktop-file-validate), then in
# the root: install (apt-get, recommended packages too); the udev rule
# against emulated robots (umockdev); a kelvo:// link opened with xdg-open,
# gio open and the desktop portal (what sandboxed browsers use) starts the
# installed program; a user's own "register" wins for that user and
# "unregister" gives the link back to the package; an upgrade and a removal
# while a run is under way leave the run to finish; purge leaves nothing of
# the package behind. Last, without desktop-file-utils on the machine, apt's
# install without recommended packages still gives a package every launcher
# finds.
# Needs root (mounts). Environment: KELVO_MAKER_SERVER, the stand-in's binary.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=tests/package/lib.sh
source "$here/lib.sh"

[[ $# -eq 2 && -f $1 && -f $2 ]] || { echo "usage: deb_test.sh PACKAGE.deb NEWER.deb" >&2; exit 2; }
[[ $(id -u) -eq 0 ]] || { echo "deb_test.sh: needs root (it mounts its throwaway root)" >&2; exit 2; }
[[ -x ${KELVO_MAKER_SERVER-} ]] || { echo "deb_test.sh: KELVO_MAKER_SERVER is not the stand-in's binary" >&2; exit 2; }

deb=$(realpath "$1")
newer=$(realpath "$2")

if [[ -z ${KELVO_DEB_TEST_NAMESPACE-} ]]; then
    # Every mount below is this namespace's alone and vanishes with it. The
    # processes too: a kelvo:// launch ends another running copy of the
    # program, and in a PID namespace of its own it can see only the test's.
    exec unshare --mount --propagation private --pid --fork --mount-proc --kill-child env KELVO_DEB_TEST_NAMESPACE=1 "$0" "$deb" "$newer"
fi

started=$SECONDS
work=$(mktemp -d "${TMPDIR:-/tmp}/kelvo-deb-test.XXXXXX")
root=$work/root
# A name no account or group of this machine has (the root is a view of it).
for _ in {1..50}; do
    user=kelvo-t$RANDOM$RANDOM
    getent passwd "$user" >/dev/null || getent group "$user" >/dev/null || break
done
home=/home/$user
cleanup() {
    stop_maker_server
    # Whatever still runs from inside the root (a program the test started).
    local proc
    for proc in /proc/[0-9]*; do
        if [[ $(readlink "$proc/root" 2>/dev/null) == "$root" ]]; then
            kill -9 "${proc#/proc/}" 2>/dev/null || true
        fi
    done
    umount -R "$root" 2>/dev/null || umount -lR "$root" 2>/dev/null || true
    umount "$work" 2>/dev/null || umount -l "$work" 2>/dev/null || true
    rmdir "$work" 2>/dev/null || true
}
trap cleanup EXIT

# ------------------------------------------------------------ Debian's checks
step "package contents"
expected_files="/usr/bin/kelvo-upgrader -> ../lib/kelvo-upgrader/KelvoUpgrader
/usr/lib/kelvo-upgrader/KelvoUpgrader -rwxr-xr-x
/usr/lib/udev/rules.d/70-kelvo-robot.rules -rw-r--r--
/usr/share/applications/kelvo-upgrader.desktop -rw-r--r--
/usr/share/doc/kelvo-upgrader/changelog.gz -rw-r--r--
/usr/share/doc/kelvo-upgrader/copyright -rw-r--r--
/usr/share/man/man1/kelvo-upgrader.1.gz -rw-r--r--"
# The icon in the hicolor theme: the drawing and its bitmap sizes.
icon_sizes="16 22 24 32 48 64 128 256"
expected_files=$( { echo "$expected_files"
    echo "/usr/share/icons/hicolor/scalable/apps/kelvo-upgrader.svg -rw-r--r--"
    for size in $icon_sizes; do
        echo "/usr/share/icons/hicolor/${size}x$size/apps/kelvo-upgrader.png -rw-r--r--"
    done
    # The desktop texts in the household's language: one catalog per language.
    for language in de es fr it nl pl; do
        echo "/usr/share/locale/$language/LC_MESSAGES/kelvo-upgrader.mo -rw-r--r--"
    done; } | sort)
found=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {
        path = substr($6, 2); if ($1 ~ /^l/) print path " -> " $8; else print path " " $1 }' | sort)
expect_eq "the package's files" "$expected_files" "$found"
owners=$(dpkg-deb -c "$deb" | awk '{print $2}' | sort -u)
expect_eq "the owner of every file" "root/root" "$owners"

step "lintian"
lintian_out=$(lintian --pedantic "$deb" 2>&1 | grep -v '^running with root privileges' || true)
if grep -q '^E:' <<<"$lintian_out"; then
    fail "lintian reports errors: $lintian_out"
fi
[[ -n $lintian_out ]] && sed 's/^/   lintian: /' <<<"$lintian_out"

step "desktop-file-validate"
mkdir -p "$work/extract"
dpkg-deb -x "$deb" "$work/extract"
validate_out=$(desktop-file-validate "$work/extract/usr/share/applications/kelvo-upgrader.desktop" 2>&1) ||
    fail "desktop-file-validate: $validate_out"
[[ -n $validate_out ]] && sed 's/^/   desktop-file-validate: /' <<<"$validate_out"

step "the icon the desktop entry names"
expect_file_has "$work/extract/usr/share/applications/kelvo-upgrader.desktop" '^Icon=kelvo-upgrader$'
icons=$work/extract/usr/share/icons/hicolor
cmp -s "$here/../../packaging/icons/kelvo-upgrader.svg" "$icons/scalable/apps/kelvo-upgrader.svg" ||
    fail "the scalable icon is not the program's drawing"
# Read as GTK reads it (gdk-pixbuf sniffs the content, so the <svg> element
# must come early): desktops and browsers show a broken image otherwise.
gdk-pixbuf-thumbnailer -s 48 "$icons/scalable/apps/kelvo-upgrader.svg" "$work/svg48.png" 2>"$work/pixbuf.err" ||
    fail "gdk-pixbuf can't read the scalable icon: $(cat "$work/pixbuf.err")"
expect_eq "the header of the SVG drawn by gdk-pixbuf" "49484452$(printf '%08x%08x' 48 48)" \
    "$(od -An -tx1 -j12 -N12 "$work/svg48.png" | tr -d ' \n')"
# Each bitmap as large as its folder says: its PNG header's IHDR, width, height.
for size in $icon_sizes; do
    png=$icons/${size}x$size/apps/kelvo-upgrader.png
    expect_eq "the header of $png" "49484452$(printf '%08x%08x' "$size" "$size")" \
        "$(od -An -tx1 -j12 -N12 "$png" | tr -d ' \n')"
done
rm -rf "$work/extract"

# ------------------------------------------------------------ the throwaway root
step "making the throwaway root"
mount_throwaway_root "$work" "$root"
# No /sys: nothing here needs the machine's devices (the udev step brings
# its own under umockdev), and no udevd runs in the root, so the
# maintainer scripts leave udev alone as they must in a chroot.
cp "$deb" "$root/tmp/package.deb"
cp "$newer" "$root/tmp/newer.deb"
cp "$here/../browser/portal_open_test.sh" "$here/../browser/simulated_program.sh" "$root/tmp/"
in_root() { chroot "$root" "$@"; }
# A user's session as a browser would start the handler: a clean
# environment, the proxy pointing at the stand-in. xdg-open hands links to
# handlers only in a graphical session, so it gets a DISPLAY (no X server is
# there, and none is needed by the program).
as_user() {
    chroot "$root" runuser -u "$user" -- env -i HOME="$home" USER="$user" LOGNAME="$user" \
        PATH=/usr/local/bin:/usr/bin:/bin XDG_RUNTIME_DIR="/tmp/runtime-$user" \
        http_proxy="$proxy" https_proxy="$proxy" no_proxy= "$@"
}
in_root useradd --create-home --shell /bin/sh "$user" ||
    fail "useradd $user in the root failed"
mkdir -p "$root/tmp/runtime-$user"
chmod 0700 "$root/tmp/runtime-$user"
in_root chown "$user" "/tmp/runtime-$user"
user_log=$root$home/.local/state/KelvoUpgrader/Logs/KelvoUpgrader.log
# The desktop portal's OpenURI as a sandboxed browser calls it, in the
# user's session in the root, on a screen and a bus of its own, and in a PID
# namespace of its own (a kelvo:// launch ends another copy of the program):
# the program at $1 must start with the URL unchanged, no chooser or dialog
# may show, and the run must end. The screen is kept as portal-$2.png in
# $KELVO_DEB_TEST_SHOTS when that is set.
portal_open_as_user() {
    local shot=/tmp/portal-$2.png
    unshare --pid --fork --mount-proc="$root/proc" chroot "$root" runuser -u "$user" -- \
        env -i HOME="$home" USER="$user" LOGNAME="$user" PATH=/usr/local/bin:/usr/bin:/bin \
        LANG=C.UTF-8 XDG_RUNTIME_DIR="/tmp/runtime-$user" http_proxy="$proxy" https_proxy="$proxy" no_proxy= \
        timeout 150 bash /tmp/portal_open_test.sh open "$pkg_url" \
        "$home/.local/state/KelvoUpgrader/Logs/KelvoUpgrader.log" "$1" "$shot" >"$work/open.out" 2>&1 ||
        fail "the portal's OpenURI: $(cat "$work/open.out")"
    if [[ -n ${KELVO_DEB_TEST_SHOTS-} ]]; then
        cp "$root$shot" "$KELVO_DEB_TEST_SHOTS/" || true
    fi
}

# What the system folders of the root hold, but for the caches and logs that
# dpkg, apt and man-db keep for themselves and for /var/tmp (where other
# programs of the machine work meanwhile): every path with its type, mode,
# size and link target (not a folder's size: one the overlay has copied up
# reports another); and the content of each file the root has changed
# (anywhere but the users' homes).
pruned=(\( -path ./home -o -path ./var/log -o -path ./var/cache/man -o -path ./var/cache/debconf
        -o -path ./var/lib/apt -o -path ./var/cache/apt -o -path ./var/tmp
        -o -path ./var/lib/dpkg/triggers -o -path './var/lib/dpkg/*-old' \) -prune)
system_folders=(./etc ./opt ./srv ./usr ./var)
listing() { (cd "$root" && find "${system_folders[@]}" -xdev "${pruned[@]}" -o \
    -type d -printf '%p d %m\n' -o -printf '%p %y %m %s %l\n' | sort); }
changed_files() { (cd "$work/upper" && find . -xdev "${pruned[@]}" -o ! -type d -print | sort); }
# The files the root has changed now, against the same files before: as
# they were at the first snapshot, or else as the machine's own root has them.
changed_contents() {
    local path now was
    while read -r path; do
        now=$( { md5sum <"$work/upper/$path"; } 2>/dev/null || echo "not a file")
        was=$(awk -v p="$path" '$2 == p {print $1 "  -"; exit}' "$work/before-contents.txt")
        [[ -n $was ]] || was=$( { md5sum <"/$path"; } 2>/dev/null || echo "no such file")
        [[ $now == "$was" ]] || echo "changed: ${path#.}"
    done < <(changed_files)
}
# The machine's icon cache may be older than its icons (when a package put
# one in without the trigger running after it); the purge below rebuilds it
# as hicolor-icon-theme's trigger does, so it is rebuilt so before the first
# look too.
if in_root sh -c 'command -v gtk-update-icon-cache' >/dev/null; then
    in_root gtk-update-icon-cache --force --quiet /usr/share/icons/hicolor || true
fi
listing >"$work/before.txt" || fail "listing the root's files failed"
changed_files | while read -r path; do
    printf '%s %s\n' "$(md5sum <"$work/upper/$path" 2>/dev/null | cut -d' ' -f1)" "$path"
done >"$work/before-contents.txt"

# ------------------------------------------------------------ install
step "install with recommended packages (apt-get install)"
# Everything it needs is on this machine already: apt fetches nothing.
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y /tmp/package.deb >"$work/dpkg.out" 2>&1 ||
    fail "apt-get install failed: $(cat "$work/dpkg.out")"
status=$(in_root dpkg-query -W -f='${Status} ${Version}' kelvo-upgrader 2>&1 || true)
expect_eq "the package's state" "install ok installed $(dpkg-deb -f "$deb" Version)" "$status"
listed=$(in_root dpkg -L kelvo-upgrader | while read -r p; do [[ -d $root$p && ! -L $root$p ]] || echo "$p"; done | sort)
expect_eq "the installed files (dpkg -L)" "$(cut -d' ' -f1 <<<"$expected_files")" "$listed"
expect_eq "the command's target" /usr/lib/kelvo-upgrader/KelvoUpgrader \
    "$(in_root readlink -f /usr/bin/kelvo-upgrader)"
expect_file_has "$root/usr/share/applications/mimeinfo.cache" '^x-scheme-handler/kelvo=(.*;)?kelvo-upgrader\.desktop;'
# The icon theme's cache (hicolor-icon-theme's trigger) knows the new icon.
grep -aq kelvo-upgrader "$root/usr/share/icons/hicolor/icon-theme.cache" ||
    fail "the hicolor icon cache does not list kelvo-upgrader"
expect_eq "xdg-mime's handler for the user" kelvo-upgrader.desktop \
    "$(as_user xdg-mime query default x-scheme-handler/kelvo 2>&1)"
expect_eq "the installed manual page's name line" "kelvo-upgrader - update a Kelvo household robot from kelvo:// links" \
    "$(zcat "$root/usr/share/man/man1/kelvo-upgrader.1.gz" | in_root env MANWIDTH=200 man -l - 2>/dev/null |
        sed -n '/^NAME/{n;s/^ *//;p;q}')"

# ------------------------------------------------------------ udev rule
step "udev rule (udevadm test under umockdev)"
robot_data=$(cd "$here/../robot/data" && pwd)
cp "$robot_data/robot_first.umockdev" "$robot_data/robot_second.umockdev" "$root/tmp/"
# The module's port on interface 1, and a device of another maker.
sed -e 's|1-2:1\.0/tty|1-2:1.1/tty|' -e 's|^L: device=../../../1-2:1.0|L: device=../../../1-2:1.1|' \
    "$robot_data/robot_second.umockdev" >"$root/tmp/second_interface1.umockdev"
sed -e 's/^A: idVendor=3a7c/A: idVendor=2341/' "$robot_data/robot_first.umockdev" >"$root/tmp/other_maker.umockdev"
udev_case() {  # device file, "robot" or "other"
    local out
    # udevadm test keeps what it found in the root's /run/udev, and every
    # emulated robot here is the same device number: start each case afresh.
    rm -rf "$root/run/udev"
    out=$(in_root umockdev-run -d "/tmp/$1" -- udevadm test --action=add /sys/class/tty/ttyACM0 2>&1) ||
        fail "udevadm test for $1 failed: $(tail -20 <<<"$out")"
    grep -q 'Reading rules file: /usr/lib/udev/rules.d/70-kelvo-robot.rules' <<<"$out" ||
        fail "udevadm did not read the rule for $1: $(grep -i rules <<<"$out" | head)"
    if grep -Ei 'kelvo-robot.rules.*(invalid|error|fail|unknown|ignor)' <<<"$out"; then
        fail "udevadm complains about the rule"
    fi
    local tagged=no ignored=no
    grep -Eq '^CURRENT_TAGS=.*:uaccess:' <<<"$out" && tagged=yes
    grep -q '^ID_MM_DEVICE_IGNORE=1$' <<<"$out" && ignored=yes
    local want=no
    [[ $2 == robot ]] && want=yes
    expect_eq "uaccess and ModemManager's leave for $1" "uaccess $want, ID_MM_DEVICE_IGNORE $want" \
        "uaccess $tagged, ID_MM_DEVICE_IGNORE $ignored"
}
udev_case robot_first.umockdev robot
udev_case robot_second.umockdev robot
udev_case second_interface1.umockdev other
udev_case other_maker.umockdev other

# ------------------------------------------------------------ links
crlf() { printf '%s\r\n' "$@"; }
crlf "# package test" "wait 10" >"$work/quick.txt"
# A run that stays in its script until the test lets it go: getlocal opens a
# named pipe, which waits for its writer (release_long_run), however long an
# upgrade or a removal takes.
crlf "# package test: a run that waits for the test" "getlocal /tmp/kelvo-hold" >"$work/long.txt"

no_report() {
    fail "the stand-in got no report: $(tail -5 "$work/server.out")
  the opener said: $(cat "$work/open.out")
  the program's log: $(grep -v "^Content-\|^--K\|^$" "$user_log" 2>/dev/null || echo none)"
}

# Checks the log of one run of the program at PATH, started with the URL.
expect_run_logged() {
    local path=$1
    wait_for 30 grep -q 'Kelvo Upgrader Ended' "$user_log" 2>/dev/null || true
    expect_file_has "$user_log" "^\[[0-9/ :]+\] Command line: \[$(sed 's/[?.]/\\&/g' <<<"$pkg_url")\]$"
    expect_file_has "$user_log" "App executed from \[$path\]"
    expect_file_has "$user_log" 'Kelvo Upgrader Ended - ret code = 0 '
}

step "xdg-open of a kelvo:// link (generic mode)"
rm -f "$user_log"
start_maker_server "$work" "$work/quick.txt" 20
as_user DISPLAY=:0 timeout 60 xdg-open "$pkg_url" >"$work/open.out" 2>&1 || fail "xdg-open ended with $?: $(cat "$work/open.out")"
wait_maker_server || no_report
expect_run_logged /usr/lib/kelvo-upgrader/KelvoUpgrader

step "gio open of a kelvo:// link"
rm -f "$user_log"
start_maker_server "$work" "$work/quick.txt" 20
as_user timeout 60 gio open "$pkg_url" >"$work/open.out" 2>&1 || fail "gio open ended with $?: $(cat "$work/open.out")"
wait_maker_server || no_report
expect_run_logged /usr/lib/kelvo-upgrader/KelvoUpgrader

step "the desktop portal's OpenURI of a kelvo:// link"
rm -f "$user_log"
start_maker_server "$work" "$work/quick.txt" 60
portal_open_as_user /usr/lib/kelvo-upgrader/KelvoUpgrader package
wait_maker_server || no_report
expect_run_logged /usr/lib/kelvo-upgrader/KelvoUpgrader

step "a user's own register wins for that user"
mkdir -p "$root$home/own"
cp "$root/usr/lib/kelvo-upgrader/KelvoUpgrader" "$root$home/own/KelvoUpgrader"
in_root chown -R "$user" "$home/own"
as_user "$home/own/KelvoUpgrader" register >/dev/null 2>&1 || fail "register ended with $?"
# The user's entry is the one handler GIO lists for that user: the desktop
# portal asks which program to use whenever it lists more than one.
expect_eq "what gio lists for the user" "Default application for “x-scheme-handler/kelvo”: kelvo-upgrader-user.desktop
Registered applications:
	kelvo-upgrader-user.desktop
Recommended applications:
	kelvo-upgrader-user.desktop" "$(as_user LANG=C.UTF-8 gio mime x-scheme-handler/kelvo 2>&1)"
# Both launchers: xdg-open's generic mode starts only an entry whose Exec
# names the program without quotes, which the user's own entry must do too.
for opener in "DISPLAY=:0 xdg-open" "gio open"; do
    rm -f "$user_log"
    start_maker_server "$work" "$work/quick.txt" 20
    # shellcheck disable=SC2086
    as_user timeout 60 env $opener "$pkg_url" >"$work/open.out" 2>&1 ||
        fail "$opener ended with $?: $(cat "$work/open.out")"
    wait_maker_server || no_report
    expect_run_logged "$home/own/KelvoUpgrader"
done
rm -f "$user_log"
start_maker_server "$work" "$work/quick.txt" 60
portal_open_as_user "$home/own/KelvoUpgrader" user-over-package
wait_maker_server || no_report
expect_run_logged "$home/own/KelvoUpgrader"

step "unregister gives the link back to the package"
as_user "$home/own/KelvoUpgrader" unregister >/dev/null 2>&1 || fail "unregister ended with $?"
expect_eq "what gio lists for the user" "Default application for “x-scheme-handler/kelvo”: kelvo-upgrader.desktop
Registered applications:
	kelvo-upgrader.desktop
Recommended applications:
	kelvo-upgrader.desktop" "$(as_user LANG=C.UTF-8 gio mime x-scheme-handler/kelvo 2>&1)"
expect_eq "xdg-mime's handler for the user" kelvo-upgrader.desktop \
    "$(as_user xdg-mime query default x-scheme-handler/kelvo 2>&1)"
rm -f "$user_log"
start_maker_server "$work" "$work/quick.txt" 20
as_user DISPLAY=:0 timeout 60 xdg-open "$pkg_url" >"$work/open.out" 2>&1 || fail "xdg-open ended with $?: $(cat "$work/open.out")"
wait_maker_server || no_report
expect_run_logged /usr/lib/kelvo-upgrader/KelvoUpgrader
rm -f "$user_log"
start_maker_server "$work" "$work/quick.txt" 60
portal_open_as_user /usr/lib/kelvo-upgrader/KelvoUpgrader package-after-unregister
wait_maker_server || no_report
expect_run_logged /usr/lib/kelvo-upgrader/KelvoUpgrader
rm -rf "$root$home/own"

# ------------------------------------------------------------ while a run is under way
# Starts a long run through gio and waits until the program is in its script.
start_long_run() {
    rm -f "$user_log" "$root/tmp/kelvo-hold"
    mkfifo -m 0666 "$root/tmp/kelvo-hold"
    start_maker_server "$work" "$work/long.txt" 600
    as_user timeout 60 gio open "$pkg_url" >"$work/open.out" 2>&1 || fail "gio open ended with $?: $(cat "$work/open.out")"
    wait_for 60 grep -q "Get Local File: \[/tmp/kelvo-hold\]" "$user_log" 2>/dev/null ||
        fail "the long run did not reach its wait: $(cat "$user_log" 2>/dev/null)"
}
# Lets the long run go on: its getlocal gets an empty file. Bounded, should
# the run be gone and nobody read the pipe.
release_long_run() {
    timeout 60 sh -c ': >"$1"' sh "$root/tmp/kelvo-hold" || fail "the long run no longer reads its pipe: $(cat "$user_log")"
}

step "upgrade while a run is under way"
start_long_run
in_root dpkg -i /tmp/newer.deb >"$work/dpkg.out" 2>&1 || fail "dpkg -i of the newer package failed: $(cat "$work/dpkg.out")"
expect_eq "the package's state" "install ok installed $(dpkg-deb -f "$newer" Version)" \
    "$(in_root dpkg-query -W -f='${Status} ${Version}' kelvo-upgrader 2>&1 || true)"
grep -q 'Kelvo Upgrader Ended' "$user_log" && fail "the run ended before the upgrade was done: $(cat "$user_log")"
release_long_run
# The run goes on to its end: its report arrives.
wait_maker_server || fail "the run was broken off by the upgrade; the stand-in got no report: $(tail -20 "$work/server.out")"
expect_run_logged /usr/lib/kelvo-upgrader/KelvoUpgrader

step "removal while a run is under way (dpkg -r)"
start_long_run
in_root dpkg -r kelvo-upgrader >"$work/dpkg.out" 2>&1 || fail "dpkg -r failed: $(cat "$work/dpkg.out")"
[[ -e $root/usr/lib/kelvo-upgrader/KelvoUpgrader ]] && fail "the program is still there after dpkg -r"
grep -q 'Kelvo Upgrader Ended' "$user_log" && fail "the run ended before the removal was done: $(cat "$user_log")"
release_long_run
wait_maker_server || fail "the run was broken off by the removal; the stand-in got no report: $(tail -20 "$work/server.out")"
expect_run_logged /usr/lib/kelvo-upgrader/KelvoUpgrader
if grep -q '^x-scheme-handler/kelvo=' "$root/usr/share/applications/mimeinfo.cache" 2>/dev/null; then
    fail "the desktop database still names a kelvo handler after removal"
fi

step "purge (dpkg -P) leaves nothing of the package"
in_root dpkg -P kelvo-upgrader >"$work/dpkg.out" 2>&1 || fail "dpkg -P failed: $(cat "$work/dpkg.out")"
state=$(in_root dpkg-query -W -f='${Status}' kelvo-upgrader 2>/dev/null || true)
[[ -z $state || $state == "unknown ok not-installed" ]] || fail "dpkg still knows the package: [$state]"
listing >"$work/after.txt" || fail "listing the root's files failed"
if ! diff -u "$work/before.txt" "$work/after.txt" >"$work/left.diff"; then
    fail "the root's files differ from before the install:
$(grep '^[-+][^-+]' "$work/left.diff" | head -40)"
fi
left=$(changed_contents)
[[ -z $left ]] || fail "files differ from before the install: $left"

# ------------------------------------------------------------ without recommends
# GIO (gio open, exo-open, qtxdg-mat, Firefox, the portal) finds the handler
# only through the desktop database that desktop-file-utils writes, so the
# package depends on it: apt brings it even when told to leave out what is
# only recommended. A repository in the root, made from this machine's own
# desktop-file-utils, stands in for Debian's archive: apt fetches nothing.
step "without desktop-file-utils: apt-get install --no-install-recommends"
expect_eq "the package's Depends on desktop-file-utils" desktop-file-utils \
    "$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/^ *//; s/ .*//' | grep -x desktop-file-utils)"
in_root sh -c 'mkdir -p /tmp/repo && cd /tmp/repo && dpkg-repack desktop-file-utils && dpkg-scanpackages . >Packages' \
    >"$work/dpkg.out" 2>&1 || fail "making the repository failed: $(cat "$work/dpkg.out")"
echo 'deb [trusted=yes] file:/tmp/repo ./' >"$root/tmp/repo.list"
apt_repo=(-o Dir::Etc::sourcelist=/tmp/repo.list -o Dir::Etc::sourceparts=- -o APT::Get::List-Cleanup=0)
in_root apt-get "${apt_repo[@]}" update >"$work/dpkg.out" 2>&1 || fail "apt-get update failed: $(cat "$work/dpkg.out")"
in_root dpkg --purge desktop-file-utils >"$work/dpkg.out" 2>&1 || fail "dpkg --purge desktop-file-utils failed: $(cat "$work/dpkg.out")"
[[ -e $root/usr/share/applications/mimeinfo.cache ]] && fail "the desktop database is still there without desktop-file-utils"
in_root env DEBIAN_FRONTEND=noninteractive apt-get "${apt_repo[@]}" install -y --no-install-recommends /tmp/package.deb \
    >"$work/dpkg.out" 2>&1 || fail "apt-get install --no-install-recommends failed: $(cat "$work/dpkg.out")"
for pkg in kelvo-upgrader desktop-file-utils; do
    expect_eq "the state of $pkg" "install ok installed" "$(in_root dpkg-query -W -f='${Status}' "$pkg" 2>&1 || true)"
done
expect_file_has "$root/usr/share/applications/mimeinfo.cache" '^x-scheme-handler/kelvo=(.*;)?kelvo-upgrader\.desktop;'
rm -f "$user_log"
start_maker_server "$work" "$work/quick.txt" 20
as_user timeout 60 gio open "$pkg_url" >"$work/open.out" 2>&1 || fail "gio open ended with $?: $(cat "$work/open.out")"
wait_maker_server || no_report
expect_run_logged /usr/lib/kelvo-upgrader/KelvoUpgrader
rm -f "$user_log"
start_maker_server "$work" "$work/quick.txt" 60
portal_open_as_user /usr/lib/kelvo-upgrader/KelvoUpgrader package-without-recommends
wait_maker_server || no_report
expect_run_logged /usr/lib/kelvo-upgrader/KelvoUpgrader

echo "deb test: all steps passed ($((SECONDS - started)) s)"
