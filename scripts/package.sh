#!/usr/bin/env bash
# Builds the Debian package quillgate_VERSION_ARCH.deb from an optimised build without the test
# suite. Usage: scripts/package.sh [BUILD-DIR [OUTPUT-DIR]] (defaults: build-release, BUILD-DIR).
# An existing BUILD-DIR is built as it is configured; a new one is configured RelWithDebInfo.
# Prints the path of the package on standard output, the build's progress on standard error.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-release}
out=${2:-$build}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLGATE_TESTS=OFF \
    >&2
fi
cmake --build "$build" --target quillgate -j "${QUILLGATE_BUILD_JOBS:-$(nproc)}" >&2
mkdir -p "$out"
out=$(cd "$out" && pwd)
(cd "$build" && cpack -G DEB -B "$out" > "$out/cpack.log" 2>&1) || { cat "$out/cpack.log" >&2; exit 1; }
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
echo "$out/quillgate_${version}_$(dpkg --print-architecture).deb"
