# Sourced by the end-to-end scripts.
failures=0
check() { # check WHAT COMMAND...; $scratch holds the output
    if "${@:2}" >"$scratch/check.out" 2>&1; then
        echo "ok:   $1"
    else
        echo "FAIL: $1" && sed 's/^/      /' "$scratch/check.out"
        failures=$((failures + 1))
    fi
}
same_trees() { diff -r -x .lumipost-hashes -x .lumipost-index-counters "$@"; } # the agent's records
# none COMMAND...: it prints nothing; what it printed is the failure's detail.
none() { ! { "$@" 2>/dev/null || true; } | grep .; }
