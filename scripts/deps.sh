# Sourced by the scripts: installs what a fresh Debian machine lacks.
# Usage: need_packages pkg...   (installs the missing ones with apt-get, as root)
need_packages() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "Installing: ${missing[*]}"
    # Another install in progress (an unattended upgrade, a parallel build) holds
    # dpkg's lock for a while: wait for it rather than fail.
    local lock=(-o DPkg::Lock::Timeout=600)
    if ! DEBIAN_FRONTEND=noninteractive $sudo apt-get "${lock[@]}" install -y -qq "${missing[@]}" >/dev/null 2>&1; then
        $sudo apt-get "${lock[@]}" update -qq >/dev/null 2>&1 || true
        DEBIAN_FRONTEND=noninteractive $sudo apt-get "${lock[@]}" install -y -qq "${missing[@]}"
    fi
}
