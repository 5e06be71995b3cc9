#!/usr/bin/env bash
# The Windows files signed by scripts/package, with a throwaway CA and
# code-signing certificate made here:
#
#   tests/package/sign_test.sh NEWER_VERSION
#
# Builds the signed .msi of the program's own version twice (two folders),
# of NEWER_VERSION once, and an unsigned one. Checks: each package has its own
# package code; osslsigncode verify against the throwaway CA
# passes for the .msi and for the .exe inside it, and fails against another
# CA; one changed byte makes it fail; the same key and input give the same
# bytes; the password is in no output; and the signed packages install,
# launch, upgrade and remove under wine (msi_test.sh on them). Everything is
# made in a temporary folder; the key goes with it.
# Environment: KELVO_MAKER_SERVER, the stand-in's binary (for msi_test.sh).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=tests/package/lib.sh
source "$here/lib.sh"

[[ $# -eq 1 ]] || { echo "usage: sign_test.sh NEWER_VERSION" >&2; exit 2; }
newer_version=$1
# shellcheck source=scripts/lib/common.sh
source "$here/../../scripts/lib/common.sh"
version=$(kelvo_upgrader_version)
version=${version#KelvoUpgrader }

started=$SECONDS
work=$(mktemp -d "${TMPDIR:-/tmp}/kelvo-sign-test.XXXXXX")
trap 'rm -rf "$work"' EXIT

step "a throwaway CA and code-signing certificate (openssl)"
password="kelvo-test-$RANDOM-$RANDOM"
make_ca() {  # name: $work/name.pem and $work/name.key
    openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=Kelvo test CA $1" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
        -keyout "$work/$1.key" -out "$work/$1.pem" 2>"$work/openssl.out" ||
        fail "openssl could not make the CA: $(cat "$work/openssl.out")"
}
make_ca ca
make_ca other-ca
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >"$work/signer.ext"
printf '%s\n' "$password" >"$work/password"
{
    openssl req -newkey rsa:2048 -nodes -subj "/CN=Kelvo/O=Kelvo" -keyout "$work/signer.key" -out "$work/signer.csr" &&
        openssl x509 -req -days 30 -in "$work/signer.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
            -CAcreateserial -extfile "$work/signer.ext" -out "$work/signer.pem" &&
        openssl pkcs12 -export -inkey "$work/signer.key" -in "$work/signer.pem" -certfile "$work/ca.pem" \
            -passout "file:$work/password" -out "$work/signer.p12"
} >"$work/openssl.out" 2>&1 || fail "openssl could not make the signing certificate: $(cat "$work/openssl.out")"
rm -f "$work/signer.key"

step "scripts/package with the key, twice, and the newer version"
export KELVO_SIGN_PKCS12=$work/signer.p12 KELVO_SIGN_PASSWORD_FILE=$work/password
package() {  # dist-folder [--version V]
    local dist=$1
    shift
    "$here/../../scripts/package" "$@" --dist "$dist" msi >"$work/package.out" 2>&1 ||
        fail "scripts/package ended with $?: $(tail -20 "$work/package.out")"
    grep -q '^== unsigned' "$work/package.out" && fail "scripts/package says unsigned with the key given"
    grep -qF "$password" "$work/package.out" && fail "the password is in scripts/package's output"
    cat "$work/package.out" >>"$work/package-all.out"
}
package "$work/dist1"
package "$work/dist2"
package "$work/newer" --version "$newer_version"
unset KELVO_SIGN_PKCS12 KELVO_SIGN_PASSWORD_FILE
"$here/../../scripts/package" --dist "$work/unsigned" msi >"$work/package.out" 2>&1 ||
    fail "scripts/package without the key ended with $?: $(tail -20 "$work/package.out")"
expect_eq "scripts/package's word without the key" \
    "== unsigned: KELVO_SIGN_PKCS12 is not set, so the .exe and the .msi are not signed" \
    "$(grep '^== unsigned' "$work/package.out")"
msi=$work/dist1/KelvoUpgrader-$version.msi
newer=$work/newer/KelvoUpgrader-$newer_version.msi
unsigned=$work/unsigned/KelvoUpgrader-$version.msi

# Windows Installer takes two packages with one package code for the same.
step "every package its own package code; one product code per version"
package_code() { msiinfo suminfo "$1" | sed -n 's/^Revision number (UUID): //p'; }
product_code() { msiinfo export "$1" Property | tr -d '\r' | awk -F'\t' '$1 == "ProductCode" {print $2}'; }
codes=$(for file in "$unsigned" "$msi" "$newer"; do package_code "$file"; done)
[[ $(sort -u <<<"$codes" | grep -c '^{[0-9A-F-]\{36\}}$') -eq 3 ]] ||
    fail "the unsigned, signed and newer packages do not have three package codes: $codes"
expect_eq "the product code of the unsigned and the signed package" "$(product_code "$unsigned")" "$(product_code "$msi")"
[[ $(product_code "$msi") != "$(product_code "$newer")" ]] || fail "the newer version has the same product code"

step "the same key and input give the same bytes"
cmp "$msi" "$work/dist2/KelvoUpgrader-$version.msi" ||
    fail "two signed builds differ"

# verify FILE CA: osslsigncode's verdict, its output in $work/verify.out.
verify() { osslsigncode verify -CAfile "$2" -in "$1" >"$work/verify.out" 2>&1; }
step "osslsigncode verify of the .msi and of the .exe inside it"
mkdir -p "$work/extract"
msiextract -C "$work/extract" "$msi" >/dev/null || fail "msiextract could not read the signed package"
exe=$(find "$work/extract" -name KelvoUpgrader.exe)
[[ -f $exe ]] || fail "no KelvoUpgrader.exe in the signed package"
for file in "$msi" "$exe" "$newer"; do
    verify "$file" "$work/ca.pem" || fail "verify of $(basename "$file") failed: $(tail -15 "$work/verify.out")"
    expect_file_has "$work/verify.out" '^Signature verification: ok$'
    expect_file_has "$work/verify.out" 'Message digest algorithm *: SHA256'
    expect_file_has "$work/verify.out" 'Subject: .*CN ?= ?Kelvo'
    verify "$file" "$work/other-ca.pem" && fail "$(basename "$file") verifies against a CA that did not sign it"
done

step "one changed byte makes verify fail"
flip_byte() {  # file: the byte in its middle, with its lowest bit flipped
    local offset=$(($(stat -c %s "$1") / 2)) byte
    byte=$(od -An -tu1 -j "$offset" -N 1 "$1" | tr -d ' ')
    # shellcheck disable=SC2059
    printf "$(printf '\\%03o' $((byte ^ 1)))" | dd of="$1" bs=1 seek="$offset" conv=notrunc status=none
}
for file in "$msi" "$exe"; do
    cp "$file" "$work/changed"
    flip_byte "$work/changed"
    cmp -s "$file" "$work/changed" && fail "the byte was not changed"
    verify "$work/changed" "$work/ca.pem" && fail "$(basename "$file") with one changed byte still verifies"
done
echo "   $(grep -m1 -E 'MISMATCH|failed' "$work/verify.out" || tail -1 "$work/verify.out")"

step "the signed packages under wine (msi_test.sh)"
"$here/msi_test.sh" "$msi" "$newer" 2>&1 | sed 's/^/   /' | tee "$work/msi-test.out"
grep -q '^   msi test: all steps passed' "$work/msi-test.out" || fail "msi_test.sh on the signed packages failed"

echo "sign test: all steps passed ($((SECONDS - started)) s)"
