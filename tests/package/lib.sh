# shellcheck shell=bash disable=SC2034
# Shared by the package tests (source it; its variables are theirs). Every
# check names its step; the first failure prints the step, what was expected
# and what was found, and ends the test with 1.
#
#   step TEXT                  the step the checks below belong to
#   fail TEXT                  the step failed: TEXT says what was found
#   expect_eq WHAT WANT GOT    WANT and GOT must be equal (shown as a diff)
#   expect_file_has FILE RE    FILE holds a line matching the extended RE
#   wait_for SECONDS CMD...    runs CMD every 0.2 s until it succeeds; 1 at the end
#   start_maker_server DIR SCRIPT_FILE [SECONDS]
#                              the maker's server stand-in on 127.0.0.1, serving
#                              SCRIPT_FILE at $pkg_script_url and taking one report
#                              at $pkg_report_url; sets server_pid and proxy
#   wait_maker_server          waits for it to end; 0 when it got its report

current_step="setting up"
step() {
    current_step=$1
    echo "-- [$SECONDS s] $current_step"
}

fail() {
    echo "FAILED in step [$current_step]: $1" >&2
    exit 1
}

expect_eq() {
    local what=$1 want=$2 got=$3
    [[ $want == "$got" ]] && return 0
    echo "FAILED in step [$current_step]: $what differs (- expected, + found):" >&2
    diff -u <(printf '%s\n' "$want") <(printf '%s\n' "$got") | tail -n +3 >&2 || true
    exit 1
}

expect_file_has() {
    local file=$1 re=$2
    [[ -f $file ]] || fail "no file $file (looked for a line matching [$re])"
    grep -Eq -- "$re" "$file" && return 0
    echo "FAILED in step [$current_step]: no line matching [$re] in $file; it holds:" >&2
    tail -30 "$file" | sed 's/^/    /' >&2
    exit 1
}

wait_for() {
    local seconds=$1 tries
    shift
    for ((tries = seconds * 5; tries > 0; tries--)); do
        "$@" && return 0
        sleep 0.2
    done
    return 1
}

pkg_script_url=http://updates.kelvo.com/package-test/run.txt
pkg_report_url=http://updates.kelvo.com/package-test/report
pkg_url="kelvo://updates.kelvo.com/package-test/run.txt?Reply-To=$pkg_report_url"

server_pid=
proxy=
start_maker_server() {
    local dir=$1 script=$2 seconds=${3:-60}
    # Gone before the stand-in starts: the last one's address must not be read
    # in the moment before the new one's output replaces it.
    rm -f "$dir/server.out"
    "$KELVO_MAKER_SERVER" --seconds "$seconds" --script "$pkg_script_url" "$script" \
        --report "$pkg_report_url" --reply empty --reports 1 >"$dir/server.out" 2>&1 &
    server_pid=$!
    proxy=
    wait_for 10 grep -qs '^proxy ' "$dir/server.out" || fail "the maker's server stand-in did not start: $(cat "$dir/server.out")"
    proxy=$(sed -n 's/^proxy //p' "$dir/server.out")
}

wait_maker_server() {
    local status=0
    wait "$server_pid" || status=$?
    server_pid=
    return "$status"
}

stop_maker_server() {
    if [[ -n $server_pid ]] && kill -0 "$server_pid" 2>/dev/null; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    server_pid=
}

# mount_throwaway_root WORK ROOT: ROOT becomes a copy-on-write view of this
# machine's root (an overlay whose upper layer is a tmpfs on WORK), with its
# own /proc, /tmp and /run and the machine's /dev. Call it in a mount
# namespace of the test's own (unshare --mount): everything goes with it.
mount_throwaway_root() {
    local work=$1 root=$2
    mount -t tmpfs -o mode=0700 kelvo-package-test "$work"
    mkdir -p "$work/upper" "$work/overlay-work" "$root"
    mount -t overlay kelvo-package-test -o "lowerdir=/,upperdir=$work/upper,workdir=$work/overlay-work" "$root"
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs tmpfs "$root/tmp"
    mount -t tmpfs tmpfs "$root/run"
}
