#!/usr/bin/env bash
# The same source gives the same bytes, on any file system and from any tree:
#
#   tests/package/rebuild_test.sh DIST
#
# DIST holds what scripts/package built from this tree (the .msi, the .deb
# and SHA256SUMS of the program's version). The tree's files (tracked and
# untracked, not the ignored build/ and dist/) are copied onto a tmpfs of the
# test's own (another file system, under another path), where scripts/package
# builds them again with the same SOURCE_DATE_EPOCH, no compiler cache, umask
# 077, another time zone and the fr_FR locale; every file must be
# byte-identical. A difference names the file (diffoscope shows it where
# installed, cmp otherwise).
#
# Before that, the copy is built without SOURCE_DATE_EPOCH where git cannot
# give the last commit's time (no .git; a checkout owned by another user; a
# tree inside another repository's folder): scripts/package must stop with a
# message that says so, and make nothing. Needs root (it mounts the tmpfs, in
# a mount namespace of its own).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=tests/package/lib.sh
source "$here/lib.sh"
# shellcheck source=scripts/lib/common.sh
source "$here/../../scripts/lib/common.sh"

[[ $# -eq 1 && -d $1 ]] || { echo "usage: rebuild_test.sh DIST" >&2; exit 2; }
[[ $(id -u) -eq 0 ]] || { echo "rebuild_test.sh: needs root (it mounts a tmpfs)" >&2; exit 2; }
dist=$(cd "$1" && pwd)
if [[ -z ${KELVO_REBUILD_TEST_NAMESPACE-} ]]; then
    exec unshare --mount --propagation private env KELVO_REBUILD_TEST_NAMESPACE=1 "$0" "$dist"
fi
version=$(kelvo_upgrader_version)
version=${version#KelvoUpgrader }
files=("KelvoUpgrader-$version.msi" "kelvo-upgrader_${version}_amd64.deb" SHA256SUMS)
# What scripts/package took as the packages' date in the tree itself.
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$KELVO_ROOT" log -1 --format=%ct)}
unset SOURCE_DATE_EPOCH

started=$SECONDS
work=$(mktemp -d "${TMPDIR:-/tmp}/kelvo-rebuild-test.XXXXXX")
cleanup() {
    umount "$work" 2>/dev/null || umount -l "$work" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
mount -t tmpfs -o size=4g,mode=0755 kelvo-rebuild-test "$work"
tree=$work/tree
mkdir "$tree"

step "a copy of the tree on a tmpfs ($tree)"
[[ $(stat -f -c %T "$tree") == tmpfs ]] || fail "$tree is on $(stat -f -c %T "$tree"), not on a tmpfs"
[[ $(stat -f -c %T "$dist") != tmpfs ]] || echo "   (the first build is on a tmpfs as well)"
(cd "$KELVO_ROOT" && git ls-files -z --cached --others --exclude-standard |
    tar --null --ignore-failed-read -T - -cf - 2>/dev/null) | tar -C "$tree" -xf - ||
    fail "could not copy the tree"
[[ -x $tree/scripts/package ]] || fail "the copy has no scripts/package"

# package_without_date WHAT GIT-SAYS: scripts/package in the copy, with no
# SOURCE_DATE_EPOCH, must stop with a message about the date (and what git
# said, when given) and make nothing.
package_without_date() {
    local what=$1 git_says=${2-} status=0
    step "no SOURCE_DATE_EPOCH and $what: scripts/package stops"
    mkdir -p "$work/no-date"
    "$tree/scripts/package" --dist "$work/no-date" >"$work/package.out" 2>&1 || status=$?
    [[ $status -ne 0 ]] || fail "scripts/package ended 0: $(tail -5 "$work/package.out")"
    expect_file_has "$work/package.out" "^scripts/package: cannot tell the packages' date: .*SOURCE_DATE_EPOCH is not set"
    [[ -z $git_says ]] || expect_file_has "$work/package.out" "$git_says"
    expect_eq "what it left in its DIST" "" "$(ls -A "$work/no-date")"
    sed -n '1p' "$work/package.out" | sed 's/^/   /'
}
package_without_date "no .git"
git_in() {  # folder: a repository there with one commit
    if ! git -C "$1" init -q ||
            ! git -C "$1" -c user.name=test -c user.email=test@kelvo.invalid commit -q --allow-empty -m "rebuild test"; then
        fail "git init in $1 failed"
    fi
}
git_in "$tree"
chown 65534 "$tree"
package_without_date "a checkout owned by another user" "dubious ownership"
chown 0 "$tree"
rm -rf "$tree/.git"
git_in "$work"
package_without_date "a tree without .git inside another repository" "no git checkout of its own"
rm -rf "$work/.git"

step "scripts/package in the copy: umask 077, TZ=Pacific/Kiritimati, LC_ALL=fr_FR.UTF-8"
# A French locale of the test's own (glibc reads LOCPATH): it sorts and
# formats unlike C.
mkdir "$work/locales"
localedef -i fr_FR -f UTF-8 "$work/locales/fr_FR.UTF-8" >"$work/localedef.out" 2>&1 ||
    fail "localedef could not make fr_FR.UTF-8: $(cat "$work/localedef.out")"
expect_eq "sort in the test's fr_FR locale" "changelog.gz README.Debian" \
    "$(printf '%s\n' README.Debian changelog.gz | LOCPATH=$work/locales LC_ALL=fr_FR.UTF-8 sort | paste -sd' ')"
# Compiled afresh: a compiler cache could hand back the first build's objects
# and hide a difference.
(umask 077 && SOURCE_DATE_EPOCH=$epoch CCACHE_DISABLE=1 TZ=Pacific/Kiritimati LOCPATH=$work/locales \
    LC_ALL=fr_FR.UTF-8 "$tree/scripts/package" --dist "$work/out") >"$work/package.out" 2>&1 ||
    fail "scripts/package in the copy ended with $?: $(tail -20 "$work/package.out")"

step "the same bytes"
differ=()
for file in "${files[@]}"; do
    [[ -f $dist/$file ]] || fail "no $file in $dist"
    [[ -f $work/out/$file ]] || fail "the copy's build made no $file"
    if ! cmp "$dist/$file" "$work/out/$file"; then
        differ+=("$file")
        if command -v diffoscope >/dev/null; then
            diffoscope "$dist/$file" "$work/out/$file" | head -60 || true
        elif [[ $file == *.deb ]]; then
            echo "   Installed-Size: $(dpkg-deb -f "$dist/$file" Installed-Size) and $(dpkg-deb -f "$work/out/$file" Installed-Size)"
        fi
    fi
done
[[ ${#differ[@]} -eq 0 ]] || fail "two builds of the same source differ: ${differ[*]}"
(cd "$dist" && sha256sum --check --quiet SHA256SUMS) >"$work/sums.out" 2>&1 ||
    fail "SHA256SUMS does not match the packages: $(cat "$work/sums.out")"
echo "   identical: ${files[*]}"

echo "rebuild test: all steps passed ($((SECONDS - started)) s)"
