#!/usr/bin/env bash
# The same source gives the same bytes:
#
#   tests/package/rebuild_test.sh DIST
#
# DIST holds what scripts/package built from this tree (the .msi, the .deb
# and SHA256SUMS of the program's version). The tree's files (tracked and
# untracked, not the ignored build/ and dist/) are copied into a folder of
# their own, under another path, where scripts/package builds them again with
# the same SOURCE_DATE_EPOCH and no compiler cache; every file must be
# byte-identical. A difference names the file (diffoscope shows it where
# installed, cmp otherwise).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=tests/package/lib.sh
source "$here/lib.sh"
# shellcheck source=scripts/lib/common.sh
source "$here/../../scripts/lib/common.sh"

[[ $# -eq 1 && -d $1 ]] || { echo "usage: rebuild_test.sh DIST" >&2; exit 2; }
dist=$(cd "$1" && pwd)
version=$(kelvo_upgrader_version)
version=${version#KelvoUpgrader }
files=("KelvoUpgrader-$version.msi" "kelvo-upgrader_${version}_amd64.deb" SHA256SUMS)

started=$SECONDS
work=$(mktemp -d "${TMPDIR:-/tmp}/kelvo-rebuild-test.XXXXXX")
trap 'rm -rf "$work"' EXIT

step "a copy of the tree in $work"
(cd "$KELVO_ROOT" && git ls-files -z --cached --others --exclude-standard |
    tar --null --ignore-failed-read -T - -cf - 2>/dev/null) | tar -C "$work" -xf - ||
    fail "could not copy the tree"
[[ -x $work/scripts/package ]] || fail "the copy has no scripts/package"

step "scripts/package in the copy"
# What scripts/package took as the packages' date in the tree itself.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$KELVO_ROOT" log -1 --format=%ct)}
# Compiled afresh: a compiler cache could hand back the first build's objects
# and hide a difference.
CCACHE_DISABLE=1 "$work/scripts/package" --dist "$work/out" >"$work/package.out" 2>&1 ||
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
        fi
    fi
done
[[ ${#differ[@]} -eq 0 ]] || fail "two builds of the same source differ: ${differ[*]}"
(cd "$dist" && sha256sum --check --quiet SHA256SUMS) >"$work/sums.out" 2>&1 ||
    fail "SHA256SUMS does not match the packages: $(cat "$work/sums.out")"
echo "   identical: ${files[*]}"

echo "rebuild test: all steps passed ($((SECONDS - started)) s)"
