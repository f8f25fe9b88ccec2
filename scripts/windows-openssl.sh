#!/usr/bin/env bash
# Builds OpenSSL's libcrypto for Windows (x86_64, MinGW-w64) from Debian's own
# openssl source, with Debian's patches, into a cache outside the checkout,
# once per machine: a few minutes on two cores. Prints the prefix, which
# scripts/windows.sh hands to CMake as OPENSSL_ROOT_DIR.
#
#   scripts/windows-openssl.sh           # LUMIPOST_WINDOWS_CACHE overrides the folder
#   scripts/windows-openssl.sh --check   # prints the prefix; exit 0 if built, 1 if not
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

cache=${LUMIPOST_WINDOWS_CACHE:-/var/cache/lumipost-sync}
prefix="$cache/openssl-win64"
# Bump when the configuration below changes, so an old cache is rebuilt.
stamp="$prefix/.lumipost-openssl-build-1"

if [ -f "$stamp" ]; then
    echo "$prefix"
    exit 0
elif [ "${1:-}" = "--check" ]; then
    echo "$prefix"
    exit 1
fi

source "$top/scripts/deps.sh"
install_missing_packages "${LUMIPOST_WINDOWS_PACKAGES[@]}" >&2

# Its own folder: the Qt build may be using "$cache/work" at the same time.
work="$cache/work-openssl"
rm -rf "$work" "$prefix"
mkdir -p "$work"
# apt-get source unpacks with Debian's patches applied (dpkg-source); the
# source entries are the ones scripts/windows-qt.sh enables. A mirror that
# lacks the security suite's sources still has the release's.
(cd "$work" && { apt-get source openssl >&2 || apt-get source openssl/bookworm >&2; })
src=$(find "$work" -maxdepth 1 -type d -name 'openssl-*' | head -n 1)

# no-module: the default provider is built into libcrypto, so one DLL beside
# the agent is all it needs. Only the libraries are built, so no documents
# either (OpenSSL 3.0 knows no "no-docs").
(cd "$src" && ./Configure mingw64 --cross-compile-prefix=x86_64-w64-mingw32- \
    --prefix="$prefix" --libdir=lib no-tests no-module shared >&2)
make -C "$src" -j"$(nproc)" build_libs >&2
make -C "$src" install_dev >&2
rm -rf "$work"
touch "$stamp"
echo "$prefix"
