#!/usr/bin/env bash
# tolvern_configure DIR [cmake options...]: configures DIR with Ninja. A tree configured
# earlier with another generator is configured anew, since CMake refuses to switch.
tolvern_configure() {
    local dir="$1"
    shift
    if [ -f "$dir/CMakeCache.txt" ] && ! grep -q '^CMAKE_GENERATOR:INTERNAL=Ninja$' "$dir/CMakeCache.txt"; then
        rm -rf "$dir/CMakeCache.txt" "$dir/CMakeFiles"
    fi
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
}
