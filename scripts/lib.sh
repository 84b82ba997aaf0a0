# Shared set-up for scripts/run and scripts/test: install what is missing,
# then configure and build in build/ (or $PRISMORA_BUILD_DIR).
set -euo pipefail

PRISMORA_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PRISMORA_BUILD_DIR=${PRISMORA_BUILD_DIR:-$PRISMORA_ROOT/build}
PRISMORA_PACKAGES=(cmake ninja-build g++ qt6-base-dev libgtest-dev file desktop-file-utils)

prismora_install_missing() {
    local missing=() pkg
    for pkg in "${PRISMORA_PACKAGES[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

prismora_build() {
    cmake -S "$PRISMORA_ROOT" -B "$PRISMORA_BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
    cmake --build "$PRISMORA_BUILD_DIR" --parallel "$(nproc)"
}
