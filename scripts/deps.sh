# Debian packages the build, the tests and the demo need; sourced by the scripts. clang
# builds the `tsa` preset (the lock annotations) and the fuzzers (libFuzzer comes with it).
THERMPOS_PACKAGES=(cmake ninja-build g++ clang pkg-config libgtest-dev libgmock-dev
    libbenchmark-dev qt6-base-dev libpng-dev zlib1g-dev libzint-dev console-setup-linux
    zbar-tools libzbar-dev libzxing-dev netcat-openbsd)

thermpos_install_deps() {
    local missing=()
    local p
    for p in "${THERMPOS_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}
