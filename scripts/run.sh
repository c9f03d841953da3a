#!/usr/bin/env bash
# The main job: build the library and its tools, install them under
# ./_install, and show the machine through them (`tqsys status`).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/deps.sh --minimal
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DSYSLIB_BUILD_TESTS=OFF >/dev/null
cmake --build build/release -j "$(nproc 2>/dev/null || echo 2)"
cmake --install build/release --prefix "$root/_install" >/dev/null
exec "$root/_install/bin/tqsys" status "$@"
