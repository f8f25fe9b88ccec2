#!/usr/bin/env bash
# The agent for Windows, built on this Debian machine: cross-builds the agent
# and its test programs with MinGW-w64 against Qt for Windows (built once per
# machine by scripts/windows-qt.sh, about 35 minutes), lays out the runnable
# folder build/windows/dist and builds the installer
# build/windows/LumipostSync-<version>-win64.exe.
#
#   scripts/windows.sh [-DLUMIPOST_SYNC_SERVER_URL=... ...]   build
#   scripts/windows.sh test                                    build, then run under Wine
#
# "test" runs the worker's tables, the fault matrix and the window test as
# Windows programs, installs and uninstalls the installer silently, and runs
# the real agent against the reference server signing its indexes, all in a
# scratch Wine prefix.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$top/scripts/deps.sh"
install_missing_packages "${LUMIPOST_WINDOWS_PACKAGES[@]}" php-cli php-sqlite3

mode=build
if [ "${1:-}" = test ]; then
    mode=test
    shift
fi
qt=$(bash "$top/scripts/windows-qt.sh")
openssl=$(bash "$top/scripts/windows-openssl.sh")
out="$top/build/windows"
build="$out/build"
mkdir -p "$out"
# The test run's agent takes only indexes signed by a key of its own, which
# its end-to-end run's server signs with; a plain build takes the caller's
# setting, or none (the cache would otherwise keep the test's).
key="$out/index.key"
key_setting=-DLUMIPOST_INDEX_PUBLIC_KEY=
if [ "$mode" = test ]; then
    rm -f "$key"
    key_setting=-DLUMIPOST_INDEX_PUBLIC_KEY=$(php "$top/server/keygen.php" "$key")
fi

# configure_windows BUILD_DIR [CMAKE_ARGS...]
configure_windows() {
    local dir=$1
    shift
    "$qt/bin/qt-cmake" -G Ninja -S "$top" -B "$dir" \
        -DQT_CHAINLOAD_TOOLCHAIN_FILE="$qt/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DLUMIPOST_WERROR=ON \
        -DCMAKE_CROSSCOMPILING_EMULATOR="$top/scripts/wine-run.sh" \
        -DOPENSSL_ROOT_DIR="$openssl" "$@" >/dev/null
}

configure_windows "$build" "$key_setting" "$@"
cmake --build "$build" -j"$(nproc)"
rm -rf "$out/dist"
cmake --install "$build" --prefix "$out/dist" --strip >/dev/null
rm -f "$build"/LumipostSync-*-win64.exe
(cd "$build" && cpack -G NSIS >/dev/null)
mv "$build"/LumipostSync-*-win64.exe "$out/"
echo "Windows agent: $out/dist ($(du -sh "$out/dist" | cut -f1)), installer: $(ls "$out"/LumipostSync-*-win64.exe)"
[ "$mode" = test ] || exit 0

# A prefix of its own, made to behave as Windows does: dot files are not hidden.
export WINEPREFIX="$out/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$WINEPREFIX"
wineboot -i >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine' /v ShowDotFiles /d Y /f >/dev/null 2>&1
wineserver -w
# The test programs find the Qt, libcrypto and MinGW-w64 libraries on Wine's search path.
runtime=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")
WINEPATH="$(winepath -w "$qt/bin");$(winepath -w "$openssl/bin");$(winepath -w "$runtime")"
export WINEPATH="$WINEPATH;$(winepath -w /usr/x86_64-w64-mingw32/lib)"

status=0
ctest --test-dir "$build" --output-on-failure || status=1
bash "$top/tests/e2e/e2e-windows.sh" "$out" "$key" || status=1
wineserver -k || true
exit $status
