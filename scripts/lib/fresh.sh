# shellcheck shell=bash
# The "fresh" step of scripts/test: README's two commands as a newcomer meets
# them. Source it; bash only.
#
#   kelvo_fresh OUT   makes a minimal Debian 12 root with mmdebstrap (variant
#                     minbase, from this machine's own Debian sources), puts a
#                     clean clone of HEAD in it and runs scripts/demo there,
#                     then scripts/test linux, each as root in a mount and PID
#                     namespace of its own: /dev bound, its own /proc, tmpfs on
#                     /run, /tmp and /dev/shm, /sys read-only (a machine has
#                     one). The root is a plain chroot: its / is no mount point.
#                     Ends 0 when both pass. Writes its findings to OUT, one
#                     line each, for the summary.
#
# Everything happens in a mount namespace of the step's own, in a folder under
# /var/tmp removed at the end: nothing of it stays on the machine. With
# KELVO_FRESH_KEEP=1 the folder stays (the root, its build and the tests'
# kept files, without the mounts) and the step says where, for a failure to be
# looked into; removing it is then the caller's. apt in the
# root reads the .deb files this machine has already downloaded through an
# overlay (writes land in the step's folder), so the machine's cache is read,
# never changed, and what it lacks is downloaded.
#
# When this machine builds through ccache (CMAKE_CXX_COMPILER_LAUNCHER=ccache,
# as a shared compiler cache is set up), the root's builds read that cache the
# same way, through an overlay, with ccache put in the root from the machine's
# downloads (dpkg -i, two packages, no headers or libraries a build could use):
# the step then checks the same things in a fraction of the time. Unset
# CMAKE_CXX_COMPILER_LAUNCHER for a root without it.

kelvo_fresh() {
    local out=$1
    if [[ $(id -u) -ne 0 ]]; then
        echo "fresh: needs root (mmdebstrap, chroot, mounts)" >"$out"
        return 1
    fi
    local head
    head=$(git -C "$KELVO_ROOT" rev-parse HEAD) || {
        echo "fresh: FAILED: no git commit to clone" >"$out"
        return 1
    }
    local dir
    dir=$(mktemp -d /var/tmp/kelvo-fresh.XXXXXX)
    # The mounts below are this namespace's alone and go with it; the
    # folder goes after it, whatever happened inside.
    local status=0
    # shellcheck disable=SC2016  # expanded by that bash
    unshare --mount --propagation private --pid --fork --mount-proc --kill-child \
        bash -c 'set -o pipefail; KELVO_ROOT=$1; source "$1/scripts/lib/fresh.sh"; kelvo_fresh_inside "$2" "$3" "$4"' \
        bash "$KELVO_ROOT" "$dir" "$head" "$out" || status=$?
    if [[ ${KELVO_FRESH_KEEP-} == 1 ]]; then
        echo "fresh: the root is kept in $dir/root (KELVO_FRESH_KEEP=1)" >>"$out"
    else
        rm -rf --one-file-system "$dir"
    fi
    return "$status"
}

# The machine's own Debian sources: what it lists for bookworm.
kelvo_fresh_sources() {
    local file
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [[ -f $file ]] && grep -Eq '^[^#]*(deb\.debian\.org|debian).*' "$file" &&
            grep -q bookworm "$file" && printf '%s\n' "$file"
    done
}

# In the step's own mount and PID namespace.
# shellcheck disable=SC2016  # dpkg-query's own ${Status}
kelvo_fresh_inside() {
    local dir=$1 head=$2 out=$3 root=$1/root t0 sources=()
    : >"$out"
    mapfile -t sources < <(kelvo_fresh_sources)
    if [[ ${#sources[@]} -eq 0 ]]; then
        echo "fresh: FAILED: this machine lists no Debian bookworm sources" >>"$out"
        return 1
    fi

    # The sources are read as this machine reads them (a mirror frozen in
    # time has Release files past their Valid-Until date).
    local options=() option
    for option in Acquire::Check-Valid-Until Acquire::Check-Date; do
        [[ $(apt-config shell value "$option") == *false* ]] && options+=(--aptopt="$option \"false\"")
    done
    echo "== fresh: a minimal Debian 12 root (mmdebstrap --variant=minbase, from ${sources[*]})"
    t0=$SECONDS
    if ! mmdebstrap --mode=root --variant=minbase "${options[@]}" bookworm "$root" "${sources[@]}" \
            >"$dir/mmdebstrap.out" 2>&1; then
        tail -n 40 "$dir/mmdebstrap.out"
        echo "fresh: FAILED to make the root with mmdebstrap" >>"$out"
        return 1
    fi
    local base_count
    base_count=$(chroot "$root" dpkg-query -W -f='${Status}\n' | grep -c 'install ok installed')
    [[ -f $root/etc/resolv.conf ]] || cp /etc/resolv.conf "$root/etc/resolv.conf"
    echo "fresh: a root of $base_count packages made in $((SECONDS - t0)) s" >>"$out"

    # A clean clone of HEAD, where root's home is.
    if ! git clone -q --no-checkout "$KELVO_ROOT" "$root/root/KelvoUpgrader" ||
            ! git -C "$root/root/KelvoUpgrader" checkout -q --detach "$head"; then
        echo "fresh: FAILED to clone $head" >>"$out"
        return 1
    fi

    # apt's downloads: this machine's, seen through an overlay.
    mkdir -p "$dir/apt-upper" "$dir/apt-work"
    mount -t overlay kelvo-fresh-apt \
        -o "lowerdir=/var/cache/apt/archives,upperdir=$dir/apt-upper,workdir=$dir/apt-work" \
        "$root/var/cache/apt/archives"

    kelvo_fresh_ccache "$dir" "$out"

    local failed=0
    kelvo_fresh_run "$dir" "$out" demo "scripts/demo" || failed=1
    if ((failed == 0)); then
        kelvo_fresh_run "$dir" "$out" linux "scripts/test linux" || failed=1
    else
        echo "fresh: linux not run, the demo failed" >>"$out"
    fi
    local all_count
    all_count=$(chroot "$root" dpkg-query -W -f='${Status}\n' | grep -c 'install ok installed')
    echo "fresh: $((all_count - base_count)) packages installed in the root by the demo and the linux step ($all_count in all)" >>"$out"
    return "$failed"
}

# Sets up the machine's compiler cache for the root's builds, when the machine
# builds through one; sets fresh_env to the variables the builds need.
fresh_env=()
kelvo_fresh_ccache() {
    local dir=$1 out=$2 root=$1/root cache=${CCACHE_DIR:-$HOME/.ccache} debs=() pkg deb
    [[ ${CMAKE_CXX_COMPILER_LAUNCHER-} == *ccache* && -d $cache ]] || return 0
    for pkg in ccache libhiredis0.14; do
        deb=$(find /var/cache/apt/archives -maxdepth 1 -name "${pkg}_*_amd64.deb" | sort | tail -1)
        [[ -n $deb ]] || { echo "fresh: builds without ccache: no $pkg .deb on this machine" >>"$out"; return 0; }
        debs+=("$deb")
    done
    mkdir -p "$root/var/tmp/debs" "$dir/ccache-upper" "$dir/ccache-work" "$root/var/cache/kelvo-ccache"
    cp "${debs[@]}" "$root/var/tmp/debs/"
    if ! chroot "$root" sh -c 'dpkg -i /var/tmp/debs/*.deb' >"$dir/ccache.out" 2>&1; then
        echo "fresh: builds without ccache: dpkg -i failed: $(tail -3 "$dir/ccache.out")" >>"$out"
        return 0
    fi
    rm -rf "$root/var/tmp/debs"
    mount -t overlay kelvo-fresh-ccache -o "lowerdir=$cache,upperdir=$dir/ccache-upper,workdir=$dir/ccache-work" \
        "$root/var/cache/kelvo-ccache"
    fresh_env=(CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
               CCACHE_DIR=/var/cache/kelvo-ccache CCACHE_BASEDIR=/root CCACHE_NOHASHDIR=1)
    echo "fresh: builds read this machine's ccache ($cache) through an overlay" >>"$out"
}

# kelvo_fresh_run DIR OUT NAME COMMAND: COMMAND in the clone, as root in the
# root, in a mount and PID namespace of its own; its output is shown as it
# comes and kept in DIR/NAME.out; what it came to goes to OUT.
kelvo_fresh_run() {
    local dir=$1 out=$2 name=$3 command=$4 root=$1/root t0=$SECONDS status
    echo
    echo "== fresh: $command in the root"
    # shellcheck disable=SC2016  # expanded by that bash
    unshare --mount --propagation private --pid --fork --kill-child bash -c '
        set -e
        root=$1
        mount --rbind /dev "$root/dev"
        mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
        mount -t proc proc "$root/proc"
        mount -t sysfs -o ro,nosuid,nodev,noexec sysfs "$root/sys"
        mount -t tmpfs -o mode=0755 tmpfs "$root/run"
        mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
        command=$2
        shift 2
        exec chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@" \
            bash -c "cd /root/KelvoUpgrader && $command"' bash "$root" "$command" "${fresh_env[@]}" 2>&1 |
        tee "$dir/$name.out"
    status=${PIPESTATUS[0]}
    local took=$((SECONDS - t0))
    if ((status == 0)); then
        echo "fresh: $command passed in $took s" >>"$out"
    else
        echo "fresh: $command FAILED in $took s (exit $status)" >>"$out"
    fi
    if [[ $name == linux ]]; then
        # The inner run's own summary: its steps, skips and times.
        sed -n '/^==================== summary$/,$p' "$dir/$name.out" | tail -n +2 |
            sed 's/^/fresh:   /' >>"$out"
    fi
    return "$status"
}
