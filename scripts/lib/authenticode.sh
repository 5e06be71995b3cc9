# shellcheck shell=bash disable=SC2154
# Authenticode signing for scripts/package (source it; bash only). Uses the
# caller's $epoch (the packages' date) and $stage (its working folder).
#
#   sign_prepare       when KELVO_SIGN_PKCS12 is set: reads the certificates
#                      of the maker's PKCS#12 (never its key), checks the
#                      signing certificate's dates, usage and chain, and sets
#                      sign_time; stops the run with a message otherwise
#   sign_windows FILE  signs FILE in place, then verifies the signed file
#                      against that chain; stops the run when it does not
#                      verify
#
# The signing time. Without a time stamp the signature carries the time we
# give it, and two builds give the same bytes only when that time is fixed by
# the source: the packages' date, the last commit's time. A certificate made
# after that commit (a new or renewed one) would then sign at a time before
# it existed, which no verifier accepts. So the signing time is the later of
# the two: the commit's time, or the certificate's start. It still depends
# only on the source and the certificate, so rebuilds stay identical.
#
# Without a time stamp Windows checks the signature at the time it runs, so
# the certificate must also be valid now: an expired or not yet valid
# certificate is refused here instead of giving files Windows refuses.

sign_time=

sign_fail() {
    echo "scripts/package: signing: $1" >&2
    exit 1
}

# Certificates of the PKCS#12 as PEM (openssl pkcs12 options in "$@"). The
# password is read by openssl from its file: it is never on a command line.
sign_p12_certs() {
    local pass=pass:
    [[ -n ${KELVO_SIGN_PASSWORD_FILE-} ]] && pass=file:$KELVO_SIGN_PASSWORD_FILE
    openssl pkcs12 -in "$KELVO_SIGN_PKCS12" -passin "$pass" -nokeys "$@" 2>"$stage/sign/openssl.out" ||
        # Files made with older tools use ciphers OpenSSL 3 keeps in its
        # legacy provider.
        openssl pkcs12 -legacy -in "$KELVO_SIGN_PKCS12" -passin "$pass" -nokeys "$@" 2>>"$stage/sign/openssl.out"
}

sign_date() { LC_ALL=C date -u -d "@$1" '+%Y-%m-%d %H:%M:%S UTC'; }

sign_prepare() {
    [[ -n ${KELVO_SIGN_PKCS12-} ]] || return 0
    local dir=$stage/sign leaf chain
    rm -rf "$dir"
    mkdir -p "$dir"
    leaf=$dir/certificate.pem
    chain=$dir/chain.pem
    [[ -r $KELVO_SIGN_PKCS12 ]] || sign_fail "cannot read KELVO_SIGN_PKCS12 [$KELVO_SIGN_PKCS12]"
    if [[ -n ${KELVO_SIGN_PASSWORD_FILE-} && ! -r $KELVO_SIGN_PASSWORD_FILE ]]; then
        sign_fail "cannot read KELVO_SIGN_PASSWORD_FILE [$KELVO_SIGN_PASSWORD_FILE]"
    fi
    sign_p12_certs -clcerts -out "$leaf" || true
    grep -qs 'BEGIN CERTIFICATE' "$leaf" ||
        sign_fail "cannot read the certificate in $KELVO_SIGN_PKCS12 (is KELVO_SIGN_PASSWORD_FILE its password?): $(tail -3 "$dir/openssl.out")"
    sign_p12_certs -cacerts -out "$chain" || true
    grep -qs 'BEGIN CERTIFICATE' "$chain" ||
        sign_fail "$KELVO_SIGN_PKCS12 holds no CA certificates: it must carry the certificate's chain up to its root, which the signed files are checked against"

    local subject not_before not_after now
    subject=$(openssl x509 -in "$leaf" -noout -subject -nameopt RFC2253 | sed 's/^subject=//')
    not_before=$(LC_ALL=C date -u -d "$(openssl x509 -in "$leaf" -noout -startdate | cut -d= -f2)" +%s)
    not_after=$(LC_ALL=C date -u -d "$(openssl x509 -in "$leaf" -noout -enddate | cut -d= -f2)" +%s)
    now=$(date +%s)
    local dates
    dates="valid from $(sign_date "$not_before") to $(sign_date "$not_after")"
    ((now <= not_after)) || sign_fail "the certificate [$subject] has expired ($dates); files signed with it would not be accepted"
    ((now >= not_before)) || sign_fail "the certificate [$subject] is not valid yet ($dates); files signed with it would not be accepted"
    sign_time=$((epoch > not_before ? epoch : not_before))
    ((sign_time <= not_after)) ||
        sign_fail "the packages' date $(sign_date "$epoch") is after the certificate's end ($dates)"

    # Authenticode wants the code-signing purpose; where the key's usage is
    # restricted at all, it must allow signatures.
    local usage
    usage=$(openssl x509 -in "$leaf" -noout -ext keyUsage,extendedKeyUsage 2>/dev/null)
    grep -q 'Code Signing' <<<"$usage" ||
        sign_fail "the certificate [$subject] is not for code signing (its extended key usage: $(sed -n '/Extended Key Usage/{n;p}' <<<"$usage" | xargs || true))"
    if grep -q 'X509v3 Key Usage' <<<"$usage" && ! grep -q 'Digital Signature' <<<"$usage"; then
        sign_fail "the certificate [$subject] may not make digital signatures (its key usage: $(sed -n '/X509v3 Key Usage/{n;p}' <<<"$usage" | xargs))"
    fi
    if ! openssl verify -CAfile "$chain" -attime "$sign_time" "$leaf" >"$dir/verify.out" 2>&1; then
        sign_fail "the certificate [$subject] does not verify against the chain in $KELVO_SIGN_PKCS12 at $(sign_date "$sign_time"): $(grep -m1 'error' "$dir/verify.out" || tail -1 "$dir/verify.out")"
    fi
    echo "== signing as [$subject] at $(sign_date "$sign_time") ($dates)"
}

sign_windows() {
    local file=$1
    [[ -n ${KELVO_SIGN_PKCS12-} ]] || return 0
    local dir=$stage/sign name
    name=$(basename "$file")
    local args=(sign -pkcs12 "$KELVO_SIGN_PKCS12" -h sha256 -n "Kelvo Robot Updater" -i https://www.kelvo.com/)
    [[ -n ${KELVO_SIGN_PASSWORD_FILE-} ]] && args+=(-readpass "$KELVO_SIGN_PASSWORD_FILE")
    if [[ -n ${KELVO_SIGN_TIMESTAMP_URL-} ]]; then
        args+=(-ts "$KELVO_SIGN_TIMESTAMP_URL")
    else
        args+=(-time "$sign_time")
    fi
    rm -f "$file.signed"
    if ! osslsigncode "${args[@]}" -in "$file" -out "$file.signed" >"$dir/sign.out" 2>&1; then
        echo "scripts/package: signing $name failed:" >&2
        cat "$dir/sign.out" >&2
        exit 1
    fi
    # The signed file must verify against the maker's own chain, at the
    # signing time, and be signed by this certificate. The certificate
    # revocation lists its certificates point to are not fetched: the build
    # goes on no network for this check. (A time-stamp server's own chain is
    # not the maker's, so the time stamp is left out of it.)
    local leaf_hash check=(verify -CAfile "$dir/chain.pem" -ignore-cdp -time "$sign_time")
    [[ -n ${KELVO_SIGN_TIMESTAMP_URL-} ]] && check+=(-ignore-timestamp)
    leaf_hash=$(openssl x509 -in "$dir/certificate.pem" -outform DER | sha256sum | cut -d' ' -f1)
    if ! osslsigncode "${check[@]}" -require-leaf-hash "sha256:$leaf_hash" -in "$file.signed" >"$dir/verify.out" 2>&1 ||
            ! grep -q '^Signature verification: ok$' "$dir/verify.out"; then
        rm -f "$file.signed"
        sign_fail "the signed $name does not verify against the chain in $KELVO_SIGN_PKCS12 at $(sign_date "$sign_time"):
$(grep -E -i 'error|fail|expired|mismatch' "$dir/verify.out" | sort -u | head -8)"
    fi
    mv "$file.signed" "$file"
}
