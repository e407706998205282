#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the fuzzers and the server need.
# Sourced by run.sh and test.sh; does nothing when everything is already there.
set -euo pipefail

TOLVERN_PACKAGES=(
    build-essential cmake pkg-config
    qt6-base-dev qt6-base-dev-tools libqt6sql6-sqlite libgl-dev
    # The SQLite library the Qt driver uses, for the server's own file layer beneath it.
    libsqlite3-dev
    # The user database on PostgreSQL, and the private clusters of its tests and benchmark.
    libqt6sql6-psql postgresql-15
    dpkg-dev
    # libFuzzer and the sanitizer runtime for scripts/fuzz.sh.
    clang libclang-rt-14-dev
)

tolvern_install_deps() {
    local missing=()
    local pkg
    for pkg in "${TOLVERN_PACKAGES[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then
        sudo="sudo"
    fi
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
