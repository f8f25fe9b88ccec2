#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors, builds the .deb and
# checks it with lintian, runs every test, then runs them all again under
# AddressSanitizer and UndefinedBehaviorSanitizer; last, where this machine has
# Qt for Windows, builds the Windows agent and runs its suites under Wine.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$top/scripts/deps.sh"
install_missing_packages "${LUMIPOST_TEST_PACKAGES[@]}"

build_tree() {
    local build="$top/build/$1"
    shift
    cmake -S "$top" -B "$build" -DLUMIPOST_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build "$build" -j"$(nproc)"
}

build_tree test -DCMAKE_EXPORT_COMPILE_COMMANDS=ON


# The fleet's package, built as the README says, must pass lintian without
# errors; its one warning is the missing manual page.
package="$top/build/package"
cmake -S "$top" -B "$package" -DLUMIPOST_WERROR=ON -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_TESTING=OFF -DLUMIPOST_SYNC_SERVER_URL=http://sync.example.net \
    -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON
cmake --build "$package" -j"$(nproc)" --target LumipostSync
rm -f "$package"/*.deb
(cd "$package" && cpack -G DEB)
lintian --fail-on error "$package"/lumipost-sync_*.deb

ctest --test-dir "$top/build/test" --output-on-failure

# Any report ends the test process with an error, leaks included, so ctest
# counts it as a failure.
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
build_tree sanitize -DLUMIPOST_SANITIZE=ON
ctest --test-dir "$top/build/sanitize" --output-on-failure

# Qt for Windows takes about 35 minutes to build, once per machine.
if bash "$top/scripts/windows-qt.sh" --check >/dev/null; then
    bash "$top/scripts/windows.sh" test
else
    echo "Windows suites skipped: no Qt for Windows on this machine;" \
        "scripts/windows-qt.sh builds it (about 35 minutes on two cores)."
    # Without it the Windows code is at least parsed, against the Linux Qt headers.
    cmake -DBUILD_DIR="$top/build/test" -P "$top/scripts/windows-syntax.cmake"
fi
