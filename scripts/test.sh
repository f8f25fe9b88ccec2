#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors and runs every
# test; then builds and runs them all again under AddressSanitizer and
# UndefinedBehaviorSanitizer, where any report fails the run.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$top/scripts/deps.sh"
install_missing_packages

run_suite() { # run_suite BUILD_DIR [cmake options...]
    local build=$1
    shift
    cmake -S "$top" -B "$build" -DLUMIPOST_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build "$build" -j"$(nproc)"
    ctest --test-dir "$build" --output-on-failure
}

run_suite "$top/build/test"
ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:strict_string_checks=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    run_suite "$top/build/sanitize" -DLUMIPOST_SANITIZE=ON
