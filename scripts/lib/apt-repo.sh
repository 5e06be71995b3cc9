# shellcheck shell=bash disable=SC2154
# The signed apt repository of scripts/package ("repo"; source it, bash only).
# Uses the caller's dist, repo, stage, valid_days and temporary (folders its
# exit removes).
#
#   publish_repo   copies DIST's kelvo-upgrader_*.deb into the repository,
#                  writes and signs its indexes

# A version once published keeps its bytes: apt clients that have it never
# take other bytes of the same version, and mirrors refuse a changed file.
repo_check_published() {
    local deb name
    for deb in "$@"; do
        name=$(basename "$deb")
        [[ -e $repo/$name ]] || continue
        cmp -s "$deb" "$repo/$name" && continue
        echo "scripts/package: $name is already published in $repo with other bytes" >&2
        echo "  published: sha256 $(sha256sum <"$repo/$name" | cut -d' ' -f1)" >&2
        echo "  in $dist: sha256 $(sha256sum <"$deb" | cut -d' ' -f1)" >&2
        echo "  A published version is never replaced: build the change as a new version." >&2
        exit 1
    done
}

# Signs with gpg ("$@" its command); explains what is missing when gpg
# could not get the key's passphrase.
repo_gpg() {
    if "$@" 2>"$stage/gpg.out"; then
        return 0
    fi
    if grep -Eqi 'Inappropriate ioctl|pinentry|No passphrase|Bad passphrase' "$stage/gpg.out"; then
        echo "scripts/package: gpg could not unlock the key $KELVO_REPO_KEY_ID: it has a passphrase, and" >&2
        if [[ -n ${KELVO_REPO_PASSPHRASE_FILE-} ]]; then
            echo "  KELVO_REPO_PASSPHRASE_FILE [$KELVO_REPO_PASSPHRASE_FILE] does not hold it." >&2
        else
            echo "  neither KELVO_REPO_PASSPHRASE_FILE nor a gpg-agent with a way to ask for it" >&2
            echo "  (a terminal or a desktop's pinentry) gave it. Set KELVO_REPO_PASSPHRASE_FILE" >&2
            echo "  to a file that holds it, or unlock the key in the agent first." >&2
        fi
    else
        echo "scripts/package: gpg could not sign with the key $KELVO_REPO_KEY_ID:" >&2
    fi
    sed 's/^/  gpg: /' "$stage/gpg.out" >&2
    exit 1
}

publish_repo() {
    if [[ -z ${KELVO_REPO_GPG_HOME-} || -z ${KELVO_REPO_KEY_ID-} ]]; then
        echo "scripts/package: repo needs the maker's signing key: KELVO_REPO_GPG_HOME and KELVO_REPO_KEY_ID" >&2
        exit 1
    fi
    local debs=("$dist"/kelvo-upgrader_*_amd64.deb)
    [[ -f ${debs[0]} ]] || { echo "scripts/package: no kelvo-upgrader_*_amd64.deb in $dist to publish" >&2; exit 1; }
    repo=${repo:-$dist/apt}
    mkdir -p "$repo"
    repo=$(cd "$repo" && pwd)
    repo_check_published "${debs[@]}"
    local gpg=(gpg --homedir "$KELVO_REPO_GPG_HOME" --batch --yes --local-user "$KELVO_REPO_KEY_ID")
    if [[ -n ${KELVO_REPO_PASSPHRASE_FILE-} ]]; then
        gpg+=(--pinentry-mode loopback --passphrase-file "$KELVO_REPO_PASSPHRASE_FILE")
    elif [[ -z ${GPG_TTY-} ]] && tty -s; then
        # The agent's pinentry can ask at this terminal.
        GPG_TTY=$(tty)
        export GPG_TTY
    fi
    # Everything is made in a folder inside the repository (its file
    # system) and moved in by renames: the packages first (apt sees only
    # what Packages lists), the signed indexes last, so a failure leaves the
    # indexes as they were and apt never meets a Release without its
    # signature. Paths in Packages are relative to the repository (a flat
    # one: its sources entry's suite is "./").
    local next deb name
    for deb in "${debs[@]}"; do
        name=$(basename "$deb")
        if [[ ! -e $repo/$name ]]; then
            cp "$deb" "$repo/.$name.partial" && mv -T "$repo/.$name.partial" "$repo/$name"
        fi
    done
    next=$(mktemp -d "$repo/.incoming.XXXXXX")
    temporary+=("$next")
    mkdir "$next/index"
    (cd "$repo" && apt-ftparchive packages .) >"$next/index/Packages"
    gzip -9n <"$next/index/Packages" >"$next/index/Packages.gz"
    # The Release is good for valid_days from now (Valid-Until): a client
    # refuses it after that, so a repository or mirror frozen at an old
    # version shows up as an error instead of passing for the newest. The
    # maker signs it anew (this command again) within that time.
    (cd "$next/index" && apt-ftparchive -o APT::FTPArchive::Release::Origin=Kelvo \
        -o "APT::FTPArchive::Release::Label=Kelvo Robot Updater" \
        -o APT::FTPArchive::Release::Architectures=amd64 \
        -o "APT::FTPArchive::Release::ValidTime=$((valid_days * 86400))" \
        release . >"$next/Release")
    grep -q '^Valid-Until: ' "$next/Release" || { echo "scripts/package: apt-ftparchive wrote no Valid-Until" >&2; exit 1; }
    mv "$next/Release" "$next/index/Release"
    repo_gpg "${gpg[@]}" --clearsign -o "$next/index/InRelease" "$next/index/Release"
    repo_gpg "${gpg[@]}" --armor --detach-sign -o "$next/index/Release.gpg" "$next/index/Release"
    repo_gpg "${gpg[@]}" --export "$KELVO_REPO_KEY_ID" >"$next/index/kelvo-upgrader.gpg"
    local f
    for f in kelvo-upgrader.gpg Packages Packages.gz Release Release.gpg InRelease; do
        mv -T -f "$next/index/$f" "$repo/$f"
    done
    echo "== $repo (signed by $KELVO_REPO_KEY_ID, $(grep '^Valid-Until: ' "$repo/Release"))"
}

