# Shared by the set-up scripts: install missing Debian packages, configure and build a preset.
set -euo pipefail

VANTOR_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Installs those of the given Debian packages that are not installed yet.
ensure_packages() {
    local missing=() package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$package")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}" >&2
    local run_as_root=()
    if [ "$(id -u)" -ne 0 ]; then
        if command -v sudo >/dev/null; then
            run_as_root=(sudo)
        else
            echo "error: these Debian packages are missing and we are not root: ${missing[*]}" >&2
            exit 1
        fi
    fi
    "${run_as_root[@]}" apt-get update -q
    DEBIAN_FRONTEND=noninteractive "${run_as_root[@]}" apt-get install -y -q \
        --no-install-recommends "${missing[@]}"
}

BUILD_PACKAGES=(g++ cmake ninja-build qt6-base-dev libnghttp2-dev nlohmann-json3-dev zlib1g-dev
                libbrotli-dev libzstd-dev libpcap-dev clang libbpf-dev bpftool libelf-dev
                libcapstone-dev libssl-dev)
TEST_PACKAGES=(libgtest-dev libgmock-dev libbenchmark-dev python3 curl wget git openssl nginx-light
               tzdata python3-jsonschema dpkg-dev file tcpdump golang-go nodejs php-cli php-curl
               chromium)

# Configures and builds one CMake preset of the project.
build_preset() {
    local preset=$1
    shift
    cmake -S "$VANTOR_ROOT" --preset "$preset" "$@" >/dev/null
    cmake --build --preset "$preset"
}
