#!/usr/bin/env bash
# The Debian packages each task needs, in sets; sourced by run.sh, test.sh and fuzz.sh.
#   tolvern_install_deps build run     # what building and starting the server need
#   tolvern_install_deps build run test fuzz
# Installs only what is missing, so a machine that has everything is not touched.
set -euo pipefail

# Compiling the server, the client and the tests.
TOLVERN_DEPS_BUILD=(
    build-essential cmake ninja-build pkg-config
    # lld: test.sh links its two trees' many test programs with it, in a fraction of ld's time.
    lld
    qt6-base-dev qt6-base-dev-tools libgl-dev
    # The SQLite library the Qt driver uses, for the server's own file layer beneath it.
    libsqlite3-dev
    # Argon2id password hashes.
    libsodium-dev
    # SHA-256 of the admin token and of saves summed by earlier servers (libcrypto, with the
    # processor's SHA instructions).
    libssl-dev
    # XXH3-128, the saves' and backups' sums against rot: tens of GB/s a core, so checking
    # costs a transfer or a backup next to nothing.
    libxxhash-dev
    # The operators' HTTP port: a small, long-kept HTTP server that hands us each request body
    # in pieces (so a size limit holds before memory is spent) and can park a connection.
    libmicrohttpd-dev
    # sd_notify: readiness and the watchdog under systemd.
    libsystemd-dev
    # The one-file archive of a player's data export.
    libarchive-dev
    # Saves in S3-compatible object stores: libcurl signs each request itself (AWS Signature
    # Version 4, CURLOPT_AWS_SIGV4) and keeps connections to the store open.
    libcurl4-openssl-dev
    # Man pages made from the programs' --help texts when packaging.
    help2man
)
# What the server loads at run time: the Qt SQL drivers of both databases.
TOLVERN_DEPS_RUN=(
    libqt6sql6-sqlite libqt6sql6-psql
)
# The tests: private PostgreSQL clusters; dpkg-dev and file for packaging the .deb
# (CPack's dependency step calls dpkg-shlibdeps, which calls file).
TOLVERN_DEPS_TEST=(
    postgresql-15 dpkg-dev file
    # Certificates made at test time for the TLS suites.
    openssl
    # The web console in a real browser, and a real Prometheus scraping the metrics.
    chromium chromium-driver python3-selenium prometheus
    # The package held against Debian's policy checker, its units rated and verified
    # (systemd-analyze) and run under their system-call filter (tests/app/unitrun.py) in a
    # namespace with a loopback of its own (ip) where systemd is not PID 1.
    lintian python3-seccomp systemd iproute2
    # A throwaway Ceph cluster with its S3 gateway for the S3 suites (tests/s3/start-s3.sh).
    ceph-mon ceph-osd radosgw ceph-common curl
)
# libFuzzer and the sanitizer runtime for scripts/fuzz.sh.
TOLVERN_DEPS_FUZZ=(
    clang libclang-rt-14-dev
)

# Test tools from the npm registry, pinned in tests/tools/package-lock.json: axe-core, which
# checks the web console's pages in tst_console. Installed into tests/tools/node_modules.
tolvern_install_npm_tools() {
    local dir
    dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/../tests/tools" && pwd)"
    [ -f "$dir/node_modules/axe-core/axe.min.js" ] && return 0
    if ! command -v npm >/dev/null 2>&1; then
        tolvern_install_packages npm
    fi
    echo "Installing test tools from the npm registry into $dir"
    npm ci --prefix "$dir" --no-audit --no-fund --loglevel=error
}

tolvern_install_deps() {
    local sets=("$@")
    [ ${#sets[@]} -eq 0 ] && sets=(build run test fuzz)
    local wanted=()
    local set
    for set in "${sets[@]}"; do
        case "$set" in
        build) wanted+=("${TOLVERN_DEPS_BUILD[@]}") ;;
        run) wanted+=("${TOLVERN_DEPS_RUN[@]}") ;;
        test) wanted+=("${TOLVERN_DEPS_TEST[@]}") ;;
        fuzz) wanted+=("${TOLVERN_DEPS_FUZZ[@]}") ;;
        *) echo "deps.sh: unknown package set '$set' (build, run, test, fuzz)" >&2; return 64 ;;
        esac
    done

    tolvern_install_packages "${wanted[@]}"
    case " ${sets[*]} " in *" test "*) tolvern_install_npm_tools ;; esac
}

# tolvern_install_packages PACKAGE...: the Debian packages not installed yet.
tolvern_install_packages() {
    local wanted=("$@")
    local missing=()
    local pkg
    for pkg in "${wanted[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null 2>&1; then
            echo "deps.sh: missing Debian packages: ${missing[*]}" >&2
            echo "deps.sh: not root and no sudo here; as root run: apt-get install ${missing[*]}" >&2
            return 1
        fi
        sudo=(sudo)
    fi
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
}
