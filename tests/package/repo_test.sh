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
# run finishes. apt reads only the test's own source entry (a file: URI in
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
make_key() {  # name: the key's GnuPG home is $work/gpg-name; prints its fingerprint
    local gpghome=$work/gpg-$1
    mkdir -m 0700 "$gpghome"
    gpg --homedir "$gpghome" --batch --passphrase '' --quick-gen-key "Kelvo test $1 <$1@kelvo.invalid>" \
        rsa2048 sign never >"$work/gpg.out" 2>&1 || fail "gpg could not make a key: $(cat "$work/gpg.out")"
    gpg --homedir "$gpghome" --with-colons --list-secret-keys 2>/dev/null | awk -F: '$1 == "fpr" {print $10; exit}'
}
maker_key=$(make_key maker)
other_key=$(make_key other)

# publish DEB REPO KEY-NAME KEY: scripts/package repo, as the maker runs it.
publish() {
    rm -rf "$work/dist"
    mkdir -p "$work/dist"
    cp "$1" "$work/dist/"
    KELVO_REPO_GPG_HOME=$work/gpg-$3 KELVO_REPO_KEY_ID=$4 \
        "$here/../../scripts/package" --dist "$work/dist" --repo "$2" repo >"$work/publish.out" 2>&1 ||
        fail "scripts/package repo ended with $?: $(tail -20 "$work/publish.out")"
}
publish "$deb" "$root/srv/kelvo-apt" maker "$maker_key"
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
publish "$newer" "$root/srv/kelvo-apt" maker "$maker_key"
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

echo "repo test: all steps passed ($((SECONDS - started)) s)"
