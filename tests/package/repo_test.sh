#!/usr/bin/env bash
# The signed apt repository of scripts/package as a household's apt meets it:
#
#   tests/package/repo_test.sh PACKAGE.deb NEWER.deb
#
# Two throwaway OpenPGP keys: the maker's and another. In a throwaway root
# (the same copy-on-write view of this machine's root as deb_test.sh, in a
# mount namespace of its own) with the source entry and keyring the README
# tells households to add: a repository signed by the other key is refused
# and nothing is installed; apt-get install puts PACKAGE.deb's version in from
# the maker's repository; NEWER.deb published into it is installed by
# apt-get upgrade while a run of the installed program is under way, and the
# run finishes. Then: NEWER.deb's version with other bytes is refused by
# scripts/package repo, the same bytes again are fine; Release is valid for
# the days asked for (Valid-Until); with apt's clock two days on (faketime), a
# copy frozen at the first publication (valid one day) is refused as expired
# while the repository signed anew (three days) is taken; a key with a
# passphrase and no KELVO_REPO_PASSPHRASE_FILE gives a message that says so,
# and signs with it. apt reads only the test's own source entry (a file: URI in
# the root); nothing outside the test's folders is written, and there is no
# traffic at all. Needs root (mounts).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=tests/package/lib.sh
source "$here/lib.sh"

[[ $# -eq 2 && -f $1 && -f $2 ]] || { echo "usage: repo_test.sh PACKAGE.deb NEWER.deb" >&2; exit 2; }
[[ $(id -u) -eq 0 ]] || { echo "repo_test.sh: needs root (it mounts its throwaway root)" >&2; exit 2; }
deb=$(realpath "$1")
newer=$(realpath "$2")
# Mounts and processes of its own, as deb_test.sh has them.
if [[ -z ${KELVO_REPO_TEST_NAMESPACE-} ]]; then
    exec unshare --mount --propagation private --pid --fork --mount-proc --kill-child env KELVO_REPO_TEST_NAMESPACE=1 "$0" "$deb" "$newer"
fi

started=$SECONDS
work=$(mktemp -d "${TMPDIR:-/tmp}/kelvo-repo-test.XXXXXX")
root=$work/root
# A name no account or group of this machine has (the root is a view of it).
for _ in {1..50}; do
    user=kelvo-t$RANDOM$RANDOM
    getent passwd "$user" >/dev/null || getent group "$user" >/dev/null || break
done
home=/home/$user
cleanup() {
    local proc gpghome
    for gpghome in "$work"/gpg-*; do
        [[ -d $gpghome ]] && gpgconf --homedir "$gpghome" --kill all 2>/dev/null
    done
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

step "making the throwaway root"
mount_throwaway_root "$work" "$root"
# gpg keeps its agent's sockets under /run/user/<uid> when that exists: here
# that is a tmpfs of this namespace's own.
[[ -d /run/user ]] && mount -t tmpfs tmpfs /run/user
in_root() { chroot "$root" "$@"; }
in_root useradd --create-home --shell /bin/sh "$user" || fail "useradd $user in the root failed"
user_log=$root$home/.local/state/KelvoUpgrader/Logs/KelvoUpgrader.log

step "two throwaway OpenPGP keys: the maker's and another"
make_key() {  # name [passphrase]: the key's GnuPG home is $work/gpg-name; prints its fingerprint
    local gpghome=$work/gpg-$1
    mkdir -m 0700 "$gpghome"
    gpg --homedir "$gpghome" --batch --pinentry-mode loopback --passphrase "${2-}" \
        --quick-gen-key "Kelvo test $1 <$1@kelvo.invalid>" \
        rsa2048 sign never >"$work/gpg.out" 2>&1 || fail "gpg could not make a key: $(cat "$work/gpg.out")"
    gpg --homedir "$gpghome" --with-colons --list-secret-keys 2>/dev/null | awk -F: '$1 == "fpr" {print $10; exit}'
}
maker_key=$(make_key maker)
other_key=$(make_key other)

# publish_run DEB REPO KEY-NAME KEY [OPTION...]: scripts/package repo, as the
# maker runs it, with no terminal or desktop for gpg to ask at; its output in
# $work/publish.out. publish: the same, and it must succeed.
publish_run() {
    local deb=$1 repo=$2 name=$3 key=$4
    shift 4
    rm -rf "$work/dist"
    mkdir -p "$work/dist"
    cp "$deb" "$work/dist/"
    KELVO_REPO_GPG_HOME=$work/gpg-$name KELVO_REPO_KEY_ID=$key env -u GPG_TTY -u DISPLAY -u WAYLAND_DISPLAY \
        "$here/../../scripts/package" --dist "$work/dist" --repo "$repo" "$@" repo </dev/null >"$work/publish.out" 2>&1
}
publish() {
    publish_run "$@" || fail "scripts/package repo ended with $?: $(tail -20 "$work/publish.out")"
}
publish "$deb" "$root/srv/kelvo-apt" maker "$maker_key" --valid-for 1
# A mirror that stops here: its metadata must run out.
cp -a "$root/srv/kelvo-apt" "$root/srv/frozen-apt"
publish "$deb" "$root/srv/other-apt" other "$other_key"
for file in Packages Packages.gz Release InRelease Release.gpg kelvo-upgrader.gpg "$(basename "$deb")"; do
    [[ -f $root/srv/kelvo-apt/$file ]] || fail "no $file in the repository: $(ls "$root/srv/kelvo-apt")"
done

# What a household adds (README): the maker's keyring and a sources entry.
# apt reads only that entry: the machine's own sources are not this test's.
cp "$root/srv/kelvo-apt/kelvo-upgrader.gpg" "$root/usr/share/keyrings/kelvo-upgrader.gpg"
mkdir -p "$root/tmp/sources.list.d"
sources() {  # the repository's folder in the root
    cat >"$root/tmp/sources.list.d/kelvo-upgrader.sources" <<EOF
Types: deb
URIs: file:$1
Suites: ./
Signed-By: /usr/share/keyrings/kelvo-upgrader.gpg
EOF
}
apt_get() {
    in_root env DEBIAN_FRONTEND=noninteractive apt-get -q -y -o Dir::Etc::sourcelist=/tmp/no-sources.list \
        -o Dir::Etc::sourceparts=/tmp/sources.list.d "$@" >"$work/apt.out" 2>&1
}
# shellcheck disable=SC2016
installed() { in_root dpkg-query -W -f='${Status} ${Version}' kelvo-upgrader 2>/dev/null || true; }

step "a repository signed by another key is refused"
sources /srv/other-apt
apt_get update && fail "apt-get update accepted the repository signed by another key: $(cat "$work/apt.out")"
expect_file_has "$work/apt.out" "NO_PUBKEY ${other_key:24}|signatures couldn't be verified"
expect_file_has "$work/apt.out" "is not signed"
sed -n 's/^\(W\|E\): /   apt: &/p' "$work/apt.out" | head -3
apt_get install kelvo-upgrader && fail "apt-get installed from the refused repository: $(cat "$work/apt.out")"
expect_eq "the package's state after the refusal" "" "$(installed)"

step "install from the maker's repository (apt-get install)"
sources /srv/kelvo-apt
apt_get update || fail "apt-get update ended with $?: $(cat "$work/apt.out")"
apt_get install kelvo-upgrader || fail "apt-get install ended with $?: $(cat "$work/apt.out")"
expect_eq "the package's state" "install ok installed $(dpkg-deb -f "$deb" Version)" "$(installed)"

step "publish the newer version; apt-get upgrade while a run is under way"
publish "$newer" "$root/srv/kelvo-apt" maker "$maker_key" --valid-for 3
# The run stays in its script until the test lets it go: getlocal opens a
# named pipe, which waits for its writer, however long the upgrade takes.
printf '%s\r\n' "# repository test: a run that waits for the test" "getlocal /tmp/kelvo-hold" >"$root/tmp/long.txt"
chmod 0644 "$root/tmp/long.txt"
mkfifo -m 0666 "$root/tmp/kelvo-hold"
in_root runuser -u "$user" -- env -i HOME="$home" PATH=/usr/bin:/bin \
    /usr/bin/kelvo-upgrader /NOSERVER /tmp/long.txt >"$work/run.out" 2>&1 &
run_pid=$!
wait_for 60 grep -q "Get Local File: \[/tmp/kelvo-hold\]" "$user_log" 2>/dev/null ||
    fail "the run did not reach its wait: $(cat "$user_log" "$work/run.out" 2>/dev/null)"
apt_get update || fail "apt-get update ended with $?: $(cat "$work/apt.out")"
apt_get upgrade || fail "apt-get upgrade ended with $?: $(cat "$work/apt.out")"
expect_file_has "$work/apt.out" "^Unpacking kelvo-upgrader \($(dpkg-deb -f "$newer" Version)\) over"
expect_eq "the package's state" "install ok installed $(dpkg-deb -f "$newer" Version)" "$(installed)"
if ! kill -0 "$run_pid" 2>/dev/null || grep -q 'Script execution complete' "$user_log"; then
    fail "the run ended before the upgrade was done: $(cat "$user_log")"
fi
timeout 60 sh -c ': >"$1"' sh "$root/tmp/kelvo-hold" || fail "the run no longer reads its pipe: $(cat "$user_log")"
status=0
wait "$run_pid" || status=$?
expect_eq "the run's exit code" 0 "$status"
expect_file_has "$user_log" 'App executed from \[/usr/lib/kelvo-upgrader/KelvoUpgrader\]'
# A local run logs no end banner: its last lines are the script's end and
# the report it traced out.
expect_file_has "$user_log" '\] Run: \[getlocal /tmp/kelvo-hold\]$'
expect_file_has "$user_log" '^\[[0-9/ :]+\] Script execution complete\.$'
expect_file_has "$user_log" 'Tracing out the response data\.$'

# A version once published keeps its bytes; the same bytes again are fine.
step "the published version with other bytes is refused; the same bytes again are published"
name=$(basename "$newer")
mkdir -p "$work/other-bytes"
{ dpkg-deb -R "$newer" "$work/other-root" &&
    dpkg-deb --root-owner-group -Zgzip -b "$work/other-root" "$work/other-bytes/$name"; } >"$work/dpkg-deb.out" 2>&1 ||
    fail "could not repack $name: $(cat "$work/dpkg-deb.out")"
cmp -s "$newer" "$work/other-bytes/$name" && fail "the repacked $name has the same bytes"
expect_eq "the repacked package's version" "$(dpkg-deb -f "$newer" Version)" "$(dpkg-deb -f "$work/other-bytes/$name" Version)"
cp "$root/srv/kelvo-apt/Packages" "$work/Packages.before"
publish_run "$work/other-bytes/$name" "$root/srv/kelvo-apt" maker "$maker_key" &&
    fail "scripts/package repo replaced the published $name: $(cat "$work/publish.out")"
expect_file_has "$work/publish.out" "^scripts/package: $name is already published in .* with other bytes$"
expect_file_has "$work/publish.out" "published: sha256 $(sha256sum <"$newer" | cut -d' ' -f1)"
cmp -s "$newer" "$root/srv/kelvo-apt/$name" || fail "the published $name changed"
cmp -s "$work/Packages.before" "$root/srv/kelvo-apt/Packages" || fail "the repository's Packages changed"
sed -n 1p "$work/publish.out" | sed 's/^/   /'
publish "$newer" "$root/srv/kelvo-apt" maker "$maker_key" --valid-for 3
cmp -s "$newer" "$root/srv/kelvo-apt/$name" || fail "the published $name changed"

# Release dates: Valid-Until is Date and the validity asked for (30 days
# unless told).
release_seconds() {  # repository folder: Valid-Until minus Date of its Release
    local date until
    date=$(date -d "$(sed -n 's/^Date: //p' "$1/Release")" +%s)
    until=$(date -d "$(sed -n 's/^Valid-Until: //p' "$1/Release")" +%s) || return 1
    echo $((until - date))
}
step "Release is valid for the days asked for: 30 unless told"
expect_eq "the seconds the Release with --valid-for 3 is valid" $((3 * 86400)) "$(release_seconds "$root/srv/kelvo-apt")"
expect_eq "the seconds the Release of the first publication (--valid-for 1) is valid" 86400 "$(release_seconds "$root/srv/frozen-apt")"
expect_eq "the seconds the Release published without --valid-for is valid" $((30 * 86400)) "$(release_seconds "$root/srv/other-apt")"
grep -h '^\(Date\|Valid-Until\):' "$root/srv/kelvo-apt/Release" | sed 's/^/   /'

# apt's clock two days on (faketime): the copy frozen at the first
# publication (valid one day) is out of date, the repository signed anew
# (valid three days) is not. apt checks the dates by default; this machine's
# own apt.conf may turn that off (as one for a local mirror does), and a
# setting on apt-get's command line does not win over it here, so the
# household's default goes into the root's apt.conf.d, after every other file.
printf 'Acquire::Check-Valid-Until "true";\nAcquire::Check-Date "true";\n' \
    >"$root/etc/apt/apt.conf.d/zzzz-kelvo-repo-test"
expect_eq "apt's Check-Valid-Until in the root" 'Acquire::Check-Valid-Until "true";' \
    "$(in_root apt-config dump Acquire::Check-Valid-Until)"
# apt-get's own process, which checks the dates, runs two days on
# (libfaketime; without its faketime wrapper, whose clock shared between
# processes apt's _apt user cannot open). apt's methods (file, gpgv, store)
# run without it, from wrappers that drop it: with libfaketime loaded, the
# gpgv method often got no answer from gpgv and called the signature invalid.
libfaketime=$(dpkg-query -L libfaketime | grep -m1 '/libfaketime\.so\.1$') || fail "no libfaketime.so.1 (package libfaketime)"
mkdir -p "$root/tmp/apt-methods"
for method in "$root"/usr/lib/apt/methods/*; do
    # shellcheck disable=SC2016
    printf '#!/bin/bash\nexec -a "$0" env -u LD_PRELOAD -u FAKETIME /usr/lib/apt/methods/%s "$@"\n' \
        "${method##*/}" >"$root/tmp/apt-methods/${method##*/}"
    chmod 0755 "$root/tmp/apt-methods/${method##*/}"
done
apt_update_later() {
    in_root env LD_PRELOAD="$libfaketime" FAKETIME=+2d DEBIAN_FRONTEND=noninteractive apt-get -q -y \
        -o Dir::Bin::Methods=/tmp/apt-methods/ \
        -o Dir::Etc::sourcelist=/tmp/no-sources.list -o Dir::Etc::sourceparts=/tmp/sources.list.d update \
        >"$work/apt.out" 2>&1
}
step "two days on, apt refuses the copy frozen at the first publication and takes the one signed anew"
sources /srv/frozen-apt
apt_update_later && fail "apt-get update accepted metadata past its Valid-Until: $(cat "$work/apt.out")"
expect_file_has "$work/apt.out" "Release file for file:/srv/frozen-apt/\./InRelease is expired"
sed -n 's/^\(W\|E\): /   apt: &/p' "$work/apt.out" | head -2
sources /srv/kelvo-apt
apt_update_later || fail "apt-get update two days on refused the repository signed anew: $(cat "$work/apt.out")"

# gpg asks its agent for a key's passphrase; with no terminal, no desktop and
# no KELVO_REPO_PASSPHRASE_FILE nothing can answer, and the maker must be
# told that, not "Inappropriate ioctl for device".
step "a key with a passphrase: without its file a message says what is missing; with it, it signs"
locked_pass="kelvo-repo-$RANDOM-$RANDOM"
locked_key=$(make_key locked "$locked_pass")
printf '%s\n' "$locked_pass" >"$work/locked.pass"
publish_run "$deb" "$work/locked-apt" locked "$locked_key" &&
    fail "scripts/package repo signed with a locked key and no passphrase: $(cat "$work/publish.out")"
expect_file_has "$work/publish.out" "^scripts/package: gpg could not unlock the key $locked_key: it has a passphrase, and$"
expect_file_has "$work/publish.out" "neither KELVO_REPO_PASSPHRASE_FILE nor a gpg-agent"
[[ ! -e $work/locked-apt/InRelease ]] || fail "an InRelease was left behind"
head -3 "$work/publish.out" | sed 's/^/   /'
KELVO_REPO_PASSPHRASE_FILE=$work/locked.pass publish "$deb" "$work/locked-apt" locked "$locked_key"
gpgv --keyring "$work/locked-apt/kelvo-upgrader.gpg" "$work/locked-apt/InRelease" >"$work/gpgv.out" 2>&1 ||
    fail "the InRelease signed with the passphrase file does not verify: $(cat "$work/gpgv.out")"
grep -qF "$locked_pass" "$work/publish.out" && fail "the passphrase is in scripts/package's output"

echo "repo test: all steps passed ($((SECONDS - started)) s)"
