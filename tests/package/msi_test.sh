#!/usr/bin/env bash
# The Windows installer package as a household meets it, under wine in a
# fresh prefix of the test's own:
#
#   tests/package/msi_test.sh PACKAGE.msi NEWER.msi
#
# NEWER.msi is the same program packaged with a higher version. Steps: the
# File table gives the program its file version and no hash;
# install (msiexec /i /qn); the registry holds exactly what "register"
# writes, with the installed path; a kelvo:// link opened with "wine start"
# runs the installed program; the program carries its icon (twice: the
# program's and the scheme's DefaultIcon, as wine's ExtractIconExA finds
# it), its version information and manifest, and the product's icon shows
# in Apps & Features; the program's own unregister and register give
# the same values again; repair puts back what was deleted; the newer package
# replaces the older while a run is under way (one install, one
# registration, the run finishes); uninstall while a run is under way; an
# install into a folder whose name has blanks, and its upgrade, which stays
# there; and after each uninstall the prefix holds no key, value or file of
# the package. The only traffic is to the maker's server stand-in on
# 127.0.0.1.
# Environment: KELVO_MAKER_SERVER, the stand-in's binary.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=tests/package/lib.sh
source "$here/lib.sh"

[[ $# -eq 2 && -f $1 && -f $2 ]] || { echo "usage: msi_test.sh PACKAGE.msi NEWER.msi" >&2; exit 2; }
[[ -x ${KELVO_MAKER_SERVER-} ]] || { echo "msi_test.sh: KELVO_MAKER_SERVER is not the stand-in's binary" >&2; exit 2; }
# shellcheck source=scripts/lib/common.sh
source "$here/../../scripts/lib/common.sh"
agent=$(kelvo_upgrader_version)
msi=$(realpath "$1")
newer=$(realpath "$2")

started=$SECONDS
work=$(mktemp -d "${TMPDIR:-/tmp}/kelvo-msi-test.XXXXXX")
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
    stop_maker_server
    # Ends only what runs in this test's own prefix.
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

# The installer's version of a package (ProductVersion).
product_version() { msiinfo export "$1" Property | tr -d '\r' | awk -F'\t' '$1 == "ProductVersion" {print $2}'; }
version=$(product_version "$msi")
newer_version=$(product_version "$newer")

step "making a fresh wine prefix"
"$here/../../cmake/wine-run.sh" --prepare || fail "wineboot could not make the prefix"
wineserver -w
drive_c=$WINEPREFIX/drive_c
user_log=$(echo "$drive_c"/users/*/AppData/Local)/KelvoUpgrader/Logs/KelvoUpgrader.log
msi_w=$(winepath -w "$msi")
newer_w=$(winepath -w "$newer")

# The registry as wine stores it, with the times it keeps left out (the
# server writes it out when the prefix's last process has ended).
registry_now() {
    wineserver -w
    cat "$WINEPREFIX/system.reg" "$WINEPREFIX/user.reg" | grep -v '^#time=' | sed -E 's/^(\[.*\]) [0-9]+$/\1/'
}
# Every file of the prefix's drive, but wine's own temporary files, the
# program's log and WinINet's cache of its downloads (a user's data, which no
# uninstaller removes), and the folder Windows Installer keeps for itself
# (what is in it counts).
files_now() {
    (cd "$drive_c" && find . \( -path './users/*/Temp' -o -path './windows/temp' \
        -o -path './users/*/AppData/Local/KelvoUpgrader' -o -path './users/*/AppData/Local/Microsoft/Windows/INet*' \) \
        -prune -o -path ./windows/Installer -o -printf '%p %y %s\n' | sort)
}
# The scheme's keys and the user-agent key, exactly as stored.
scheme_keys() {
    registry_now | awk '/^\[/ {
            keep = ($0 ~ /^\[Software\\\\Classes\\\\kelvo(\]|\\\\)/ ||
                    $0 ~ /^\[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Internet Settings\\\\User Agent\\\\Post Platform\]/)
        } keep'
}
# What "register" writes for a program at the Windows path $1, as stored.
expected_keys() {
    local path=${1//\\/\\\\}
    cat <<EOF
[Software\\\\Classes\\\\kelvo]
@="URL:Kelvo Robot Updater"
"URL Protocol"=""

[Software\\\\Classes\\\\kelvo\\\\DefaultIcon]
@="\\"$path\\",1"

[Software\\\\Classes\\\\kelvo\\\\shell\\\\open\\\\command]
@="\\"$path\\" \\"%1\\""

[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Internet Settings\\\\User Agent\\\\Post Platform]
"$agent"=""
EOF
}
# The products this package family has installed, as "name version".
installed_products() {
    registry_now | awk '
        /^\[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Uninstall\\\\/ { name = ""; ver = ""; inkey = 1; next }
        /^\[/ { inkey = 0 }
        inkey && /^"DisplayName"=/ { name = $0 }
        inkey && /^"DisplayVersion"=/ { ver = $0 }
        inkey && name ~ /Kelvo Robot Updater/ && ver != "" { print name " " ver; name = ""; ver = "" }'
}
msiexec() {  # msiexec ARGS...: its exit code, wine's modulo 256
    local status=0
    # No "wineserver -w" here: it would wait for a run under way as well.
    wine msiexec "$@" /qn >"$work/msiexec.out" 2>&1 || status=$?
    return "$status"
}
# The registry but for what others change meanwhile: the empty folders
# Windows Installer keeps for its own records once it has installed
# anything, the adapter date wineboot -r writes, and the proxy switch
# WinINet records when the program first goes online.
registry_for_comparison() {
    awk '/^\[/ { held = ""
                  if ($0 ~ /^\[Software\\\\(Classes\\\\Installer|Microsoft\\\\Windows\\\\CurrentVersion\\\\Installer)\\\\/) { held = $0; next } }
         /^$/ && held != "" { held = ""; next }
         held != "" { print held; held = "" }
         /^"(DriverDateData|ProxyEnable)"=/ { next }
         { print }' "$1"
}
expect_clean() {
    registry_now >"$work/registry-after.txt"
    expect_eq "the registry after uninstall" "$(registry_for_comparison "$work/registry-before.txt")" \
        "$(registry_for_comparison "$work/registry-after.txt")"
    expect_eq "the prefix's files after uninstall" "$(cat "$work/files-before.txt")" "$(files_now)"
}
# Opens the kelvo:// link as a browser does and checks the run in the log.
open_link() {
    local exe=$1
    rm -f "$user_log"
    start_maker_server "$work" "$work/quick.txt" 30
    http_proxy=$proxy no_proxy='' wine start "$pkg_url" >"$work/start.out" 2>&1 ||
        fail "wine start ended with $?: $(cat "$work/start.out")"
    wait_maker_server || no_report
    expect_run_logged "$exe"
    # Until the program's process is gone: its file is in use until then.
    wineserver -w
}
no_report() {
    fail "the stand-in got no report: $(tail -5 "$work/server.out")
  wine start said: $(cat "$work/start.out")
  the program's log: $(grep -av '^Content-\|^--K\|^$' "$user_log" 2>/dev/null || echo none)"
}
expect_run_logged() {
    local exe=$1
    wait_for 30 grep -aq 'Kelvo Upgrader Ended' "$user_log" 2>/dev/null || true
    expect_file_has "$user_log" "Command line: \[\"$(sed 's/[?.]/\\&/g' <<<"$pkg_url")\"\]"
    expect_file_has "$user_log" "App executed from \[$(sed 's/[\\.]/\\&/g' <<<"$exe")\]"
    expect_file_has "$user_log" 'Kelvo Upgrader Ended - ret code = 0 '
}
# A run that takes a while, started by the link; returns once it is in its script.
start_long_run() {
    rm -f "$user_log"
    start_maker_server "$work" "$work/long.txt" 60
    http_proxy=$proxy no_proxy='' wine start "$pkg_url" >"$work/start.out" 2>&1 ||
        fail "wine start ended with $?: $(cat "$work/start.out")"
    wait_for 30 grep -aq 'wait 15000' "$user_log" 2>/dev/null ||
        fail "the long run did not reach its wait: $(cat "$user_log" 2>/dev/null)"
}
crlf() { printf '%s\r\n' "$@"; }
crlf "# package test" "wait 10" >"$work/quick.txt"
crlf "# package test: a run that takes a while" "wait 15000" >"$work/long.txt"

registry_now >"$work/registry-before.txt"
files_now >"$work/files-before.txt"
program_w='C:\Program Files\KelvoUpgrader\KelvoUpgrader.exe'
program=$drive_c/Program\ Files/KelvoUpgrader/KelvoUpgrader.exe
msiextract -C "$work/extract" "$msi" >/dev/null || fail "msiextract could not read the package"
packaged_exe=$(find "$work/extract" -name KelvoUpgrader.exe)

# Windows Installer applies its file versioning rules (never replace a newer
# file with an older one) only to a file with a version in the File table;
# a versioned file has no hash row.
step "the File table gives the program its version; no hash row"
file_row=$(msiinfo export "$msi" File | tr -d '\r' | awk -F'\t' '$1 == "KelvoUpgraderExe" {print $3 " " $5 " " $6}')
expect_eq "KelvoUpgrader.exe's name, version and language in the File table" \
    "KelvoUpgrader.exe ${agent#KelvoUpgrader }.0 1033" "$file_row"
expect_eq "the MsiFileHash rows of KelvoUpgrader.exe" "" \
    "$(msiinfo export "$msi" MsiFileHash | tr -d '\r' | awk -F'\t' '$1 == "KelvoUpgraderExe"')"

# ------------------------------------------------------------ install
step "install (msiexec /i /qn)"
msiexec /i "$msi_w" || fail "msiexec /i ended with $?: $(cat "$work/msiexec.out")"
cmp -s "$packaged_exe" "$program" || fail "no installed program equal to the packaged one at $program"
expect_eq "the installed products" "\"DisplayName\"=\"Kelvo Robot Updater\" \"DisplayVersion\"=\"$version\"" \
    "$(installed_products)"

step "registry values after install"
expect_eq "the scheme's and the user-agent keys" "$(expected_keys "$program_w")" "$(scheme_keys)"
expect_eq "wine reg query of the command" \
    "    (Default)    REG_SZ    \"$program_w\" \"%1\"" \
    "$(wine reg query 'HKCR\kelvo\shell\open\command' /ve 2>&1 | tr -d '\r' | grep REG_SZ)"

# ------------------------------------------------------------ the program's identity
ico_sizes() { icotool -l "$1" | sed -E 's/.*--width=([0-9]+).*/\1/' | sort -n | paste -sd' '; }
step "the program's resources: two icon groups, version information, manifest, string tables"
# Resources but the icon images the groups point to, each as type and name.
expect_eq "the program's resources" "--type=14 --name=1
--type=14 --name=2
--type=16 --name=1
--type=24 --name=1" "$(wrestool -l "$program" | grep -v -- '^--type=[36] ' | sed 's/ --language=.*//')"
# The desktop texts' string tables: a set for English and each of the six
# translations.
expect_eq "the languages of the string tables" 7 \
    "$(wrestool -l -t6 "$program" | sed -n 's/.*--language=\([0-9]*\).*/\1/p' | sort -u | wc -l)"
x86_64-w64-mingw32-objdump -p "$program" >"$work/objdump.txt"
expect_file_has "$work/objdump.txt" '^Entry 2 [0-9a-f]+ [0-9a-f]*[1-9a-f][0-9a-f]* Resource Directory \[\.rsrc\]$'
# Both groups hold the whole picture, from 16 to 256 pixels.
for group in 1 2; do
    wrestool -x -t14 -n"$group" "$program" >"$work/group$group.ico"
    expect_eq "the sizes of icon group $group" "16 24 32 48 64 256" \
        "$(ico_sizes "$work/group$group.ico")"
done
# The version's texts, "name=value" each.
expect_eq "the version information's texts" "CompanyName=Kelvo
FileDescription=Kelvo Robot Updater
FileVersion=${agent#KelvoUpgrader }
InternalName=KelvoUpgrader
LegalCopyright=Copyright (C) 2026 Kelvo
OriginalFilename=KelvoUpgrader.exe
ProductName=Kelvo Robot Updater
ProductVersion=${agent#KelvoUpgrader }" \
    "$(wrestool -x --raw -t16 "$program" | strings -el | awk '/^VarFileInfo$/ {f = 0}
        f { if (k == "") k = $0; else { print k "=" $0; k = "" } } /^040904B0$/ {f = 1}')"
wrestool -x --raw -t24 -n1 "$program" >"$work/manifest.xml"
expect_file_has "$work/manifest.xml" '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>'
expect_eq "the manifest's supported systems (7, 8, 8.1, 10 and 11)" 4 "$(grep -c '<supportedOS Id=' "$work/manifest.xml")"

step "the scheme's DefaultIcon and the file's version as the shell finds them"
x86_64-w64-mingw32-gcc-posix -O2 -o "$work/shell_view_probe.exe" "$here/shell_view_probe.c" -lgdi32 -lversion ||
    fail "could not build the probe"
probe_out=$(wine "$work/shell_view_probe.exe" 2>&1 | tr -d '\r') || fail "the probe failed: $probe_out"
v=${agent#KelvoUpgrader }
expect_eq "the probe's findings" "value \"$program_w\",1
groups 2
index 0 large 32x32 small 16x16
index 1 large 32x32 small 16x16
version file $v.0 product $v.0" "$probe_out"

step "the product's icon for Apps & Features"
product_icon=$(registry_now | sed -n 's/^"ProductIcon"="\(.*\)"$/\1/p' | sed 's/\\\\/\\/g')
[[ $product_icon == 'C:\windows\Installer\{'*'}\KelvoUpgrader.ico' ]] ||
    fail "no ProductIcon in the installer's records: [$product_icon]"
expect_eq "the sizes of the product's icon" "16 24 32 48 64 256" \
    "$(ico_sizes "$(winepath -u "$product_icon")")"

step "wine start of a kelvo:// link"
open_link "$program_w"

step "the installed program's unregister, then register"
wine "$program_w" unregister >"$work/run.out" 2>&1 || fail "unregister ended with $?"
expect_eq "the keys after unregister" \
    "[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Internet Settings\\\\User Agent\\\\Post Platform]" \
    "$(scheme_keys | grep -v '^$')"
wine "$program_w" register >"$work/run.out" 2>&1 || fail "register ended with $?"
expect_eq "the keys after register" "$(expected_keys "$program_w")" "$(scheme_keys)"

# Repair as the maintenance dialog does it (wine's msiexec /f answers 1605
# or 1 for every form tried, so the properties are given directly).
step "repair (REINSTALL=ALL REINSTALLMODE=amus) after the program and the scheme were deleted"
rm -f "$program"
wine reg delete 'HKCR\kelvo' /f >/dev/null 2>&1 || fail "could not delete HKCR\\kelvo"
msiexec /i "$msi_w" REINSTALL=ALL REINSTALLMODE=amus || fail "the repair ended with $?: $(cat "$work/msiexec.out")"
cmp -s "$packaged_exe" "$program" || fail "repair did not put the program back"
expect_eq "the keys after repair" "$(expected_keys "$program_w")" "$(scheme_keys)"

# ------------------------------------------------------------ while a run is under way
# The file in use is replaced at the next restart (3010: restart needed,
# 194 as wine reports it modulo 256); the PC is never restarted by the
# package, the run finishes, and the restart ("wineboot -r") completes it.
step "upgrade to the newer package while a run is under way"
start_long_run
status=0
msiexec /i "$newer_w" || status=$?
[[ $status -eq 0 || $status -eq 194 ]] || fail "msiexec /i of the newer package ended with $status: $(cat "$work/msiexec.out")"
grep -aq 'Kelvo Upgrader Ended' "$user_log" && fail "the run ended before the upgrade was done"
wait_maker_server || no_report
expect_run_logged "$program_w"
wine wineboot -r >/dev/null 2>&1 || fail "wineboot -r failed"
wineserver -w
expect_eq "the installed products" "\"DisplayName\"=\"Kelvo Robot Updater\" \"DisplayVersion\"=\"$newer_version\"" \
    "$(installed_products)"
cmp -s "$packaged_exe" "$program" || fail "no program at $program after the upgrade"
expect_eq "the program's folder" "KelvoUpgrader.exe" "$(ls "$drive_c/Program Files/KelvoUpgrader")"
expect_eq "the keys after the upgrade" "$(expected_keys "$program_w")" "$(scheme_keys)"
open_link "$program_w"

step "uninstall while a run is under way (msiexec /x /qn)"
start_long_run
status=0
msiexec /x "$newer_w" || status=$?
[[ $status -eq 0 || $status -eq 194 ]] || fail "msiexec /x ended with $status: $(cat "$work/msiexec.out")"
grep -aq 'Kelvo Upgrader Ended' "$user_log" && fail "the run ended before the uninstall was done"
wait_maker_server || no_report
expect_run_logged "$program_w"
wine wineboot -r >/dev/null 2>&1 || fail "wineboot -r failed"
wineserver -w
# Windows schedules the removal of a file in use for the next restart; wine's
# msiexec leaves it where it is and schedules nothing. Only that file and its
# folder may be left, and only here; they go by hand so that the steps after
# this one start from a clean prefix.
left=$(comm -13 "$work/files-before.txt" <(files_now))
if [[ -n $left ]]; then
    expect_eq "what the uninstall left while the program ran" \
        "./Program Files/KelvoUpgrader d 4096
./Program Files/KelvoUpgrader/KelvoUpgrader.exe f $(stat -c %s "$packaged_exe")" "$left"
    echo "   wine left the program's file that was in use (Windows removes it at the next restart)"
    rm -rf "$drive_c/Program Files/KelvoUpgrader"
fi

step "nothing of the package is left"
expect_clean

# ------------------------------------------------------------ a folder with blanks
blank_dir='C:\Program Files\Kelvo Upgrader Test\'
blank_w=${blank_dir}KelvoUpgrader.exe
step "install into [$blank_dir]"
msiexec /i "$msi_w" "INSTALLDIR=$blank_dir" || fail "msiexec /i ended with $?: $(cat "$work/msiexec.out")"
cmp -s "$packaged_exe" "$drive_c/Program Files/Kelvo Upgrader Test/KelvoUpgrader.exe" ||
    fail "the program is not in the folder with blanks: $(ls "$drive_c/Program Files")"
expect_eq "the scheme's and the user-agent keys" "$(expected_keys "$blank_w")" "$(scheme_keys)"
open_link "$blank_w"
step "upgrade of the install in [$blank_dir] stays there"
msiexec /i "$newer_w" || fail "msiexec /i of the newer package ended with $?: $(cat "$work/msiexec.out")"
expect_eq "the program folders" "Kelvo Upgrader Test" \
    "$(cd "$drive_c/Program Files" && ls -d Kelvo*)"
expect_eq "the scheme's and the user-agent keys" "$(expected_keys "$blank_w")" "$(scheme_keys)"
msiexec /x "$newer_w" || fail "msiexec /x ended with $?: $(cat "$work/msiexec.out")"
step "nothing of the package is left after the install with blanks"
expect_clean

echo "msi test: all steps passed ($((SECONDS - started)) s)"
