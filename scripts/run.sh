#!/usr/bin/env bash
# Installs what is missing, builds build/ and starts the server: its window where a display
# is reachable, else headless with the default storage folder, logging where it listens.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
tolvern_install_deps

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)" 
exec build/bin/tolvern-server "$@"
