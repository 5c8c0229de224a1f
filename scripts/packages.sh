# Sourced by run.sh and test.sh: installs the Debian packages that are missing.
#
# ensure_packages PKG...   checks each package with dpkg-query and installs
# only those not yet installed (apt-get update first), as root or with sudo.

ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    if [ "${#missing[@]}" -eq 0 ]; then
        return 0
    fi

    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null 2>&1; then
            echo "Missing packages: ${missing[*]}" >&2
            echo "Install them as root (apt-get install ${missing[*]}), or install sudo." >&2
            return 1
        fi
        sudo=(sudo)
    fi

    echo "Installing: ${missing[*]}"
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y --no-install-recommends "${missing[@]}"
}

# What building and running the program needs. qt6-qpa-plugins (the display
# plugins) is only recommended by Qt's GUI library, so it is named here;
# fonts-noto-cjk shows the Japanese captions.
BUILD_PACKAGES=(cmake ninja-build g++ qt6-base-dev qt6-serialport-dev qt6-qpa-plugins
                fonts-noto-cjk)
# The tests also drive the program on a virtual X display and through
# pseudo-terminal bridges, and complete vantorctl's command lines with
# bash-completion's helpers.
TEST_PACKAGES=(xvfb xauth xdotool socat bash-completion)

# configure_build DIR: configures an optimised build in DIR.
configure_build() {
    cmake -S "$REPO" -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
}
