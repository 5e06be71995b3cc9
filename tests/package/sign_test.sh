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
signer_start=$(date -u -d "$(openssl x509 -in "$work/signer.pem" -noout -startdate | cut -d= -f2)" +%s)

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
    # The certificate was made after the last commit: the signing time is
    # the certificate's start, not the commit's time before it.
    expect_eq "the signing time of $(basename "$file")" "$signer_start" \
        "$(date -u -d "$(sed -n 's/^[[:space:]]*Signing time: //p' "$work/verify.out")" +%s)"
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

# What a DIST folder holds: names and sums (also of hidden files).
dist_state() { (cd "$1" && find . -mindepth 1 | sort && find . -type f -exec sha256sum {} + | sort -k2); }

# Certificates a careful maker might be handed by mistake, each from the
# throwaway CA with explicit dates (openssl ca): expired, not valid yet, and
# one for web servers. scripts/package must stop before signing anything,
# say what is wrong, and leave DIST as it was.
step "expired, not yet valid and wrong-usage certificates are refused; DIST stays as it was"
mkdir -p "$work/ca-db"
: >"$work/ca-db/index.txt"
echo 1000 >"$work/ca-db/serial"
printf '%s\n' "[ ca ]" "default_ca = test_ca" "[ test_ca ]" "database = $work/ca-db/index.txt" \
    "new_certs_dir = $work/ca-db" "serial = $work/ca-db/serial" "default_md = sha256" \
    "policy = any_name" "unique_subject = no" "[ any_name ]" "commonName = supplied" \
    "organizationName = optional" >"$work/ca.cnf"
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n' >"$work/web.ext"
bad_p12() {  # name start end extfile: $work/name.p12 with the test's password
    openssl req -newkey rsa:2048 -nodes -subj "/CN=Kelvo $1/O=Kelvo" -keyout "$work/$1.key" -out "$work/$1.csr" &&
        openssl ca -batch -config "$work/ca.cnf" -cert "$work/ca.pem" -keyfile "$work/ca.key" -notext \
            -startdate "$2" -enddate "$3" -extfile "$4" -in "$work/$1.csr" -out "$work/$1.pem" &&
        openssl pkcs12 -export -inkey "$work/$1.key" -in "$work/$1.pem" -certfile "$work/ca.pem" \
            -passout "file:$work/password" -out "$work/$1.p12"
}
day=86400
now=$(date +%s)
stamp() { date -u -d "@$1" +%Y%m%d%H%M%SZ; }
{
    bad_p12 expired "$(stamp $((now - 60 * day)))" "$(stamp $((now - 30 * day)))" "$work/signer.ext" &&
        bad_p12 not-yet-valid "$(stamp $((now + day)))" "$(stamp $((now + 30 * day)))" "$work/signer.ext" &&
        bad_p12 web-server "$(stamp $((now - day)))" "$(stamp $((now + 30 * day)))" "$work/web.ext"
} >"$work/openssl.out" 2>&1 || fail "openssl could not make the bad certificates: $(tail -5 "$work/openssl.out")"
dist_state "$work/dist1" >"$work/dist1.before"
for bad in "expired:has expired" "not-yet-valid:is not valid yet" "web-server:is not for code signing"; do
    name=${bad%%:*}
    status=0
    KELVO_SIGN_PKCS12=$work/$name.p12 KELVO_SIGN_PASSWORD_FILE=$work/password \
        "$here/../../scripts/package" --dist "$work/dist1" msi >"$work/package.out" 2>&1 || status=$?
    [[ $status -ne 0 ]] || fail "scripts/package signed with the $name certificate and ended 0"
    expect_file_has "$work/package.out" "^scripts/package: signing: the certificate \[.*CN=Kelvo $name.*\] ${bad#*:}"
    grep -qF "$password" "$work/package.out" && fail "the password is in scripts/package's output"
    expect_eq "DIST after the run with the $name certificate" "$(cat "$work/dist1.before")" "$(dist_state "$work/dist1")"
    echo "   $name: $(grep -m1 '^scripts/package: signing:' "$work/package.out")"
done

# A run that fails after the signed .msi is made (here: its .deb step) must
# not leave that .msi beside the old SHA256SUMS.
step "a run whose .deb step fails leaves DIST as it was (the unsigned set, sums that match)"
mkdir -p "$work/failing-bin"
printf '#!/bin/sh\necho "dpkg-deb: failing for the sign test" >&2\nexit 1\n' >"$work/failing-bin/dpkg-deb"
chmod 0755 "$work/failing-bin/dpkg-deb"
dist_state "$work/unsigned" >"$work/unsigned.before"
status=0
KELVO_SIGN_PKCS12=$work/signer.p12 KELVO_SIGN_PASSWORD_FILE=$work/password PATH=$work/failing-bin:$PATH \
    "$here/../../scripts/package" --dist "$work/unsigned" >"$work/package.out" 2>&1 || status=$?
[[ $status -ne 0 ]] || fail "scripts/package ended 0 with a failing dpkg-deb"
expect_file_has "$work/package.out" '^== KelvoUpgrader-.*\.msi made$'
expect_file_has "$work/package.out" 'dpkg-deb: failing for the sign test'
expect_eq "DIST after the failed run" "$(cat "$work/unsigned.before")" "$(dist_state "$work/unsigned")"
(cd "$work/unsigned" && sha256sum --check --quiet SHA256SUMS) >"$work/sums.out" 2>&1 ||
    fail "SHA256SUMS does not match: $(cat "$work/sums.out")"

step "the signed packages under wine (msi_test.sh)"
"$here/msi_test.sh" "$msi" "$newer" 2>&1 | sed 's/^/   /' | tee "$work/msi-test.out"
grep -q '^   msi test: all steps passed' "$work/msi-test.out" || fail "msi_test.sh on the signed packages failed"

echo "sign test: all steps passed ($((SECONDS - started)) s)"
