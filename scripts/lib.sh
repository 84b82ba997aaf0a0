# Shared set-up for scripts/run and scripts/test: install what is missing,
# then configure and build in build/ (or $PRISMORA_BUILD_DIR). What the
# package manager and the build say goes to logs there, named on a failure.
set -euo pipefail

PRISMORA_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PRISMORA_BUILD_DIR=${PRISMORA_BUILD_DIR:-$PRISMORA_ROOT/build}
PRISMORA_PACKAGES=(cmake ninja-build g++ qt6-base-dev libgtest-dev file desktop-file-utils)

prismora_say() { echo "prismora: $*"; }

# Runs a command with its output in `log`; on a failure, shows the end of it.
prismora_logged() {
    local log=$1
    shift
    "$@" >>"$log" 2>&1 && return 0
    echo "prismora: failed: $*" >&2
    tail -n 40 "$log" >&2
    echo "prismora: the whole output is in $log" >&2
    exit 1
}

prismora_install_missing() {
    local missing=() pkg
    for pkg in "${PRISMORA_PACKAGES[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null || { echo "prismora: missing ${missing[*]}; install them as root, or install sudo" >&2; exit 1; }
        sudo=(sudo)
    fi
    mkdir -p "$PRISMORA_BUILD_DIR"
    local log=$PRISMORA_BUILD_DIR/apt.log
    : >"$log"
    prismora_say "installing ${missing[*]} with ${sudo[*]:+sudo }apt-get"
    prismora_logged "$log" "${sudo[@]}" apt-get update
    prismora_logged "$log" "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
}

prismora_build() {
    mkdir -p "$PRISMORA_BUILD_DIR"
    local log=$PRISMORA_BUILD_DIR/build.log
    : >"$log"
    prismora_say "building in ${PRISMORA_BUILD_DIR#"$PRISMORA_ROOT"/}/"
    prismora_logged "$log" cmake -S "$PRISMORA_ROOT" -B "$PRISMORA_BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@"
    prismora_logged "$log" cmake --build "$PRISMORA_BUILD_DIR" --parallel "$(nproc)"
}
