# shellcheck shell=bash
# What a ctest run skipped, and why, for the summary of scripts/test. Source it.
#
#   kelvo_skips LASTTEST_LOG CTEST_OUTPUT
#       one line per reason, most often first: the count, a tab, the reason,
#       a tab, the names skipped for it (space-separated). A test is skipped
#       either by GoogleTest (GTEST_SKIP: "<file>:<line>: Skipped", its
#       message, "[  SKIPPED ] Suite.Case (N ms)"; ctest runs each case as a
#       test of its own on Linux, a whole program on Windows) or by a script
#       that ends with its SKIP_RETURN_CODE after printing "SKIP: <reason>".
#       What ctest lists under "The following tests did not run" without
#       either is counted too, with ctest's own word for it.

kelvo_skips() {
    local log=$1 ctest_out=$2
    [[ -f $log ]] || return 0
    # The names ctest did not run, with why (Skipped, Disabled, Not Run).
    sed -n '/^The following tests did not run:/,/^[^ \t]/{s/^[ \t]*[0-9]* - \(.*\) (\(.*\))$/\1\t\2/p}' \
        "$ctest_out" 2>/dev/null >"$log.notrun" || true
    awk -F'\t' -v notrun="$log.notrun" '
        { sub(/\r$/, "") }
        /^[0-9]+\/[0-9]+ Test: / { test = $0; sub(/^[0-9]+\/[0-9]+ Test: /, "", test); want = 0; next }
        /^\[ RUN      \] / { reason = ""; want = 0; next }
        /^\[  SKIPPED \] [^ ]+ \([0-9]+ ms\)$/ {
            split($0, f, " ")
            skip[f[4]] = reason != "" ? reason : "(no reason given)"
            reason = ""; want = 0; next
        }
        /: Skipped$/ { want = 1; next }
        want && NF { reason = $0; want = 0; next }
        /^SKIP: / && test != "" { skip[test] = substr($0, 7); next }
        END {
            while ((getline line < notrun) > 0) {
                split(line, f, "\t")
                name = f[1]; found = (name in skip)
                # Linux ctest names are "<program>.<Suite>.<Case>".
                for (k in skip) if (!found && substr(name, length(name) - length(k)) == "." k) found = 1
                if (!found) skip[name] = "(" f[2] " by ctest, no reason printed)"
            }
            for (n in skip) { count[skip[n]]++; names[skip[n]] = names[skip[n]] " " n }
            for (r in count) printf "%d\t%s\t%s\n", count[r], r, substr(names[r], 2)
        }' "$log" | sort -t$'\t' -k1,1nr -k2,2
    rm -f "$log.notrun"
}

# kelvo_skip_total: the sum of the counts kelvo_skips printed (on stdin).
kelvo_skip_total() { awk -F'\t' '{n += $1} END {print n + 0}'; }
