#!/usr/bin/env bash
# On a machine with an NVIDIA GPU: configures a CUDA build, builds it, and
# runs the device-labelled tests (each kernel against its CPU twin) followed
# by the rest of the suite on the same build.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${PCBINSPECT_DEVICE_BUILD:-build/device}
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPCBINSPECT_CUDA=ON \
  -DPCBINSPECT_BUILD_BENCHMARKS=OFF
cmake --build "$build" -j "$jobs"
ctest --test-dir "$build" -L device --output-on-failure --no-tests=error
ctest --test-dir "$build" -LE device --output-on-failure -j "$jobs"
