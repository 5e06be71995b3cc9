# shellcheck shell=bash
# The long fuzz run (scripts/test fuzz-long; not part of the default steps or
# CI). Sourced by scripts/test after common.sh: uses note, fail and
# kelvo_configure_build from there.
#
# Each fuzzer runs until it has made KELVO_FUZZ_LONG_RUNS executions (10
# million) or KELVO_FUZZ_LONG_SECONDS have passed (an hour), whichever comes
# first, on the corpus kept in the repository (fuzz/<x>/corpus). What it
# learns is merged back into that corpus, minimized (-merge=1), so that the
# next run, and CI's short smoke run, start from it; commit the change.
# KELVO_FUZZ_LONG_JOBS fuzzers run side by side (default 1: the machine is
# usually shared); KELVO_FUZZ_LONG_ONLY names the fuzzers to run, separated
# by spaces or commas (one build serves them all: two fuzz-long runs in one
# checkout would build over each other).

FUZZ_LONG_RUNS=${KELVO_FUZZ_LONG_RUNS:-10000000}
FUZZ_LONG_SECONDS=${KELVO_FUZZ_LONG_SECONDS:-3600}
FUZZ_LONG_JOBS=${KELVO_FUZZ_LONG_JOBS:-1}

# One fuzzer: the long run into a scratch corpus, then the kept corpus
# rebuilt as the minimal set that covers what both hold.
fuzz_long_one() {
    local binary=$1 seeds=$2 work=$3
    local name log runs rate
    name=$(basename "$binary")
    log=build/fuzz/long/$name.log
    mkdir -p "$work/$name" build/fuzz/long/artifacts
    if ! "$binary" -runs="$FUZZ_LONG_RUNS" -max_total_time="$FUZZ_LONG_SECONDS" -timeout=30 \
            -print_final_stats=1 -artifact_prefix="build/fuzz/long/artifacts/$name-" \
            "$work/$name" "$seeds" >"$log" 2>&1; then
        echo "FAILED"
        return
    fi
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
    rate=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
    # The kept corpus becomes the minimal set covering the old one and the new finds.
    mkdir -p "$work/$name.min"
    if ! "$binary" -merge=1 "$work/$name.min" "$seeds" "$work/$name" >"$log.merge" 2>&1; then
        echo "$runs executions ($rate/s), no findings; the merge FAILED (log $log.merge)"
        return
    fi
    # Seeds with names of their own (they say what they are for) stay; the
    # rest (named by their SHA-1, as libFuzzer names them) become the merge's.
    find "$seeds" -maxdepth 1 -type f -regextype posix-extended -regex '.*/[0-9a-f]{40}' -delete
    local file named
    named=$(find "$seeds" -maxdepth 1 -type f -exec sha1sum {} + | cut -d' ' -f1)
    for file in "$work/$name.min"/*; do
        [[ -f $file ]] || continue
        grep -qx "$(sha1sum "$file" | cut -d' ' -f1)" <<<"$named" || cp "$file" "$seeds"/
    done
    echo "$runs executions ($rate/s), no findings; corpus $(find "$seeds" -type f | wc -l) inputs"
}

run_fuzz_long() {
    echo
    echo "==================== fuzz-long"
    if ! kelvo_configure_build fuzz; then
        fail "fuzz-long: FAILED to configure or build"
        return
    fi
    local list=build/fuzz/fuzzers.txt lines=() line binary seeds name
    mapfile -t lines < <(grep -v '^$' "$list" || true)
    local work
    work=$(mktemp -d "${TMPDIR:-/tmp}/kelvo-fuzz-long.XXXXXX")
    mkdir -p build/fuzz/long
    local pids=() names=() only=" ${KELVO_FUZZ_LONG_ONLY//,/ } "
    for line in "${lines[@]}"; do
        # The build's own corpus folder (the second field) is the smoke run's.
        IFS=$'\t' read -r binary _ seeds <<<"$line"
        name=$(basename "$binary")
        [[ -n ${KELVO_FUZZ_LONG_ONLY-} && $only != *" $name "* ]] && continue
        if [[ -z $seeds ]]; then
            note "fuzz-long: $name skipped, no kept corpus"
            continue
        fi
        echo "== $name: up to $FUZZ_LONG_RUNS executions or $FUZZ_LONG_SECONDS s"
        fuzz_long_one "$binary" "$seeds" "$work" >"$work/$name.result" &
        pids+=($!)
        names+=("$name")
        while (($(jobs -rp | wc -l) >= FUZZ_LONG_JOBS)); do wait -n || true; done
    done
    wait || true
    local result
    for name in "${names[@]}"; do
        result=$(cat "$work/$name.result" 2>/dev/null || echo "FAILED")
        if [[ $result == FAILED* ]]; then
            tail -40 "build/fuzz/long/$name.log"
            fail "fuzz-long: $name FAILED (log build/fuzz/long/$name.log, inputs in build/fuzz/long/artifacts/)"
        else
            note "fuzz-long: $name: $result"
        fi
    done
    rm -rf "$work"
}
