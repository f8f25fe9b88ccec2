# Sourced by the set-up scripts: installs the Debian packages that building,
# testing and the demo need, and only when one of them is missing.
LUMIPOST_PACKAGES=(
    cmake g++ make pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev libssl-dev
    php-cli php-fpm php-sqlite3 nginx
    xvfb xauth
)

# What scripts/test.sh needs beyond that: the MinGW-w64 compiler that parses the
# Windows build, lintian with what CPack needs to compute the .deb's library
# dependencies (dpkg-shlibdeps, file), PostgreSQL for the server's shared state, and
# Chromium for the end-to-end look at the fleet page.
LUMIPOST_TEST_PACKAGES=(
    g++-mingw-w64-x86-64-posix
    lintian dpkg-dev file
    postgresql php-pgsql
    chromium
)

# What the Windows build and its run under Wine need: the MinGW-w64 compilers,
# Debian's qtbase source (fetched by apt-get source, which dpkg-dev unpacks),
# Wine with its 64-bit loader, NSIS for the installer, and fonts for the
# offscreen platform.
LUMIPOST_WINDOWS_PACKAGES=(
    g++-mingw-w64-x86-64-posix ninja-build dpkg-dev xz-utils
    wine wine64 nsis fonts-dejavu-core
)

install_missing_packages() {
    local missing=()
    for package in "${LUMIPOST_PACKAGES[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "Installing: ${missing[*]}"
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
}
