#!/usr/bin/env bash
# Builds the library and the pcbinspect tool, runs the demo board through it
# and says where the report and the picture are. Installs the Debian
# packages the build needs when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ ninja-build pkg-config libpng-dev libjpeg62-turbo-dev nlohmann-json3-dev
          libcli11-dev libopencv-core-dev libopencv-imgproc-dev libtiff-dev googletest libgtest-dev libgmock-dev libbenchmark-dev)
bash scripts/install-packages.sh demo.sh "${packages[@]}" || exit 1

jobs=$(nproc 2>/dev/null || echo 2)
cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs" --target pcbinspect_cli
out=${1:-demo-output}
echo
build/release/tools/pcbinspect demo --out "$out"
echo
echo "Try it on the demo's own images:"
echo "  build/release/tools/pcbinspect inspect $out/reference.png $out/camera.png --out $out/again"
