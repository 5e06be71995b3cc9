#!/usr/bin/env bash
# Runs a Windows program under wine; ctest uses it as CMAKE_CROSSCOMPILING_EMULATOR.
#
#   wine-run.sh [--default-prefix=DIR] program.exe [args...]
#   wine-run.sh [--default-prefix=DIR] --prepare     (only set up the prefix)
#
# The wine prefix is $WINEPREFIX when set, otherwise DIR, otherwise ~/.wine.
# The prefix is set up once with "wineboot -i" (several seconds for a new one);
# a lock inside it keeps parallel test runs from doing that twice. The program's exit
# code is passed through (wine reports it modulo 256, as a shell does).
set -euo pipefail

default_prefix=
if [[ ${1-} == --default-prefix=* ]]; then
    default_prefix=${1#--default-prefix=}
    shift
fi
if [[ $# -eq 0 ]]; then
    echo "usage: wine-run.sh [--default-prefix=DIR] (program.exe [args...] | --prepare)" >&2
    exit 2
fi

export WINEPREFIX=${WINEPREFIX:-${default_prefix:-$HOME/.wine}}
# Wine's own diagnostics would mix with the program's output (and with test
# output that tests compare); KELVO_WINEDEBUG turns them back on when needed.
export WINEDEBUG=${KELVO_WINEDEBUG:--all}
# No Mono/Gecko install prompts: the programs use neither .NET nor MSHTML.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

ready_mark=$WINEPREFIX/.kelvo-prefix-ready
if [[ ! -e $ready_mark ]]; then
    # Wine is content with an existing empty folder, so the lock can live inside.
    mkdir -p "$WINEPREFIX"
    exec 9>"$WINEPREFIX/.kelvo-prefix-lock"
    flock 9
    if [[ ! -e $ready_mark ]]; then
        boot_log=$(mktemp)
        # Quiet: wineboot reports missing 32-bit parts and such, none of which a
        # 64-bit program needs. On an existing prefix it only brings it up to date.
        if ! wineboot -i >"$boot_log" 2>&1 9>&-; then
            echo "wine-run.sh: setting up the wine prefix $WINEPREFIX failed:" >&2
            cat "$boot_log" >&2
            rm -f "$boot_log"
            exit 1
        fi
        rm -f "$boot_log"
        touch "$ready_mark"
    fi
    flock -u 9
    exec 9>&-
fi

if [[ $1 == --prepare ]]; then
    exit 0
fi
exec wine "$@"
