#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer and runs one of them.
#   scripts/fuzz.sh TARGET SECONDS [LIBFUZZER-FLAG...]
# TARGET is one of: copy_gray cad resample masks circles inspect search
# tool_text render. An input that runs longer than 30 s is reported as a hang.
# New inputs found go to build/fuzz/corpus/TARGET; the committed seeds in
# fuzz/corpus/TARGET are read too (and replayed by the ordinary tests).
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:?target}
seconds=${2:-60}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "fuzz_$target"
work=build/fuzz/corpus/$target
mkdir -p "$work" build/fuzz/artifacts
# libgerbv's own leaks (render) are left to it, as in the corpus replay.
export LSAN_OPTIONS=suppressions=$PWD/tests/tools/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}
exec build/fuzz/fuzz/"fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix=build/fuzz/artifacts/ -rss_limit_mb=4096 -timeout=30 "${@:3}" "$work" "fuzz/corpus/$target"
