#!/usr/bin/env bash
# Installs what is missing, builds quillgate and starts it in the foreground with the shipped
# quillgate.conf (or the configuration file given as the first argument).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

build=build
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLGATE_TESTS=OFF
cmake --build "$build" --target quillgate
exec "$build/quillgate" "${1:-quillgate.conf}"
