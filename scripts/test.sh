#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors and runs every test,
# then runs them all again under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$top/scripts/deps.sh"
install_missing_packages

run_suite() {
    local build="$top/build/$1"
    shift
    cmake -S "$top" -B "$build" -DLUMIPOST_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build "$build" -j"$(nproc)"
    ctest --test-dir "$build" --output-on-failure
}

run_suite test

# Any report ends the test process with an error, leaks included, so ctest
# counts it as a failure.
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
run_suite sanitize -DLUMIPOST_SANITIZE=ON
