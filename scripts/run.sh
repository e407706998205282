#!/usr/bin/env bash
# Installs what building and running need, builds tolvern-server and tolvern-client in build/
# and starts the server: its window where a display is reachable, else headless with the
# default storage folder.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
source scripts/configure.sh
tolvern_install_deps build run

tolvern_configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)" --target tolvern-server tolvern-client
exec build/bin/tolvern-server "$@"
