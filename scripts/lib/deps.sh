# Installs the Debian packages that building, testing and the demos need,
# but only when one of them is missing, so a prepared machine starts at once.
# Usage: source scripts/lib/deps.sh; ensure_packages [extra packages...]

# fonts-wqy-microhei: the windows' texts are Chinese; without a CJK font
# every label renders as boxes (tst_resources checks that one is installed).
UPDATER_PACKAGES=(cmake make g++ pkg-config qtbase5-dev qtbase5-dev-tools libqt5network5
                  libspdlog-dev libfmt-dev libssl-dev openssl nginx-light curl e2fsprogs fonts-wqy-microhei)

ensure_packages() {
    local wanted=("${UPDATER_PACKAGES[@]}" "$@") missing=() pkg
    for pkg in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing missing packages: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
}
