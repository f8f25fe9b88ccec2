#!/usr/bin/env bash
# Builds Qt 6.4.2 for Windows (x86_64, MinGW-w64) from Debian's own qtbase
# source into a cache outside the checkout, once per machine: about 35 minutes
# on two cores. Prints the cache folder. Run again, it only checks the cache.
#
#   scripts/windows-qt.sh            # LUMIPOST_WINDOWS_CACHE overrides the folder
#   scripts/windows-qt.sh --check    # prints the folder if it is built, fails if not
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$top/scripts/deps.sh"

cache=${LUMIPOST_WINDOWS_CACHE:-/var/cache/lumipost-sync}
prefix="$cache/qt-6.4.2-win64"
# Bump when the configuration below changes, so an old cache is rebuilt.
stamp="$prefix/.lumipost-qt-build-3"

if [ -f "$stamp" ]; then
    echo "$prefix"
    exit 0
fi
[ "${1:-}" != --check ] || exit 1

install_missing_packages "${LUMIPOST_WINDOWS_PACKAGES[@]}" >&2

# apt-get source needs source entries for the suites the binaries come from.
enable_debian_sources() {
    if apt-get source --print-uris qt6-base >/dev/null 2>&1; then
        return 0
    fi
    local list=/etc/apt/sources.list.d/lumipost-deb-src.sources
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
            $sudo tee "$list" >/dev/null
    else
        grep -h '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
            $sudo tee /etc/apt/sources.list.d/lumipost-deb-src.list >/dev/null
    fi
    $sudo apt-get update >&2
}

work="$cache/work"
rm -rf "$work"
mkdir -p "$work" "$cache"
enable_debian_sources
(cd "$work" && apt-get source --download-only qt6-base >&2)
tar -xf "$work"/qt6-base_6.4.2*.orig.tar.xz -C "$work"
src=$(find "$work" -maxdepth 1 -type d -name 'qtbase-*' | head -n 1)
tar -xf "$work"/qt6-base_6.4.2*.debian.tar.xz -C "$src"

# Debian's security fixes to the code we build (Network, Gui); its other
# patches concern parts we leave out or its own multiarch layout.
for patch in $(grep -iE '^[^#]*cve' "$src/debian/patches/series" || true); do
    echo "Applying $patch" >&2
    patch -d "$src" -p1 --forward <"$src/debian/patches/$patch" >&2
done

# With direct2d off QtGui leaves out the DirectWrite font database, yet the
# windows plugin still refers to it under two conditions.
sed -i 's/^\(#\s*if QT_CONFIG(directwrite3)\)$/\1 \&\& QT_CONFIG(direct2d)/' \
    "$src/src/plugins/platforms/windows/qwindowsintegration.cpp"
grep -c 'QT_CONFIG(directwrite3) && QT_CONFIG(direct2d)' \
    "$src/src/plugins/platforms/windows/qwindowsintegration.cpp" | grep -qx 2

mkdir -p "$prefix"
toolchain="$prefix/mingw-w64-x86_64.cmake"
cp "$top/scripts/mingw-w64-x86_64.cmake" "$toolchain"

cmake -G Ninja -S "$src" -B "$work/build" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DBUILD_SHARED_LIBS=ON -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
    -DQT_BUILD_BENCHMARKS=OFF -DFEATURE_pkg_config=OFF -DFEATURE_sql=OFF \
    -DFEATURE_dbus=OFF -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF \
    -DFEATURE_xml=OFF -DINPUT_opengl=no -DFEATURE_opengl=OFF -DFEATURE_vulkan=OFF \
    -DFEATURE_direct2d=OFF -DFEATURE_tabletevent=OFF -DFEATURE_system_zlib=OFF \
    -DFEATURE_system_pcre2=OFF -DFEATURE_system_png=OFF -DFEATURE_freetype=ON \
    -DFEATURE_system_freetype=OFF -DFEATURE_harfbuzz=ON -DFEATURE_system_harfbuzz=OFF \
    -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF -DFEATURE_zstd=OFF -DFEATURE_brotli=OFF \
    -DFEATURE_icu=OFF -DFEATURE_openssl=OFF >&2
cmake --build "$work/build" -j"$(nproc)" >&2
cmake --install "$work/build" --strip >&2
rm -rf "$work"
touch "$stamp"
echo "$prefix"
