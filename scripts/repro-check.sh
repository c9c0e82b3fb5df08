#!/usr/bin/env bash
# Checks that builds with different flags and runs on different thread
# counts give the same output bytes: the board digests and the replay of the
# fuzz corpus, from the release, debug and asan presets (each built as far as
# these programs need), each preset on one thread and then on three
# (PCBINSPECT_THREADS). Prints the digests of the first run and one line per
# run compared with it.
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
targets=(pcbinspect_board_digests fuzz_copy_gray fuzz_cad fuzz_resample fuzz_masks fuzz_circles
         fuzz_inspect fuzz_search)

digests() {  # preset -> digest lines on stdout (PCBINSPECT_THREADS as set)
  local dir=build/$1
  "$dir"/tests/pcbinspect_board_digests || return 1
  for t in copy_gray cad resample masks circles inspect search; do
    printf '%-28s ' "corpus $t"
    "$dir"/fuzz/fuzz_$t fuzz/corpus/$t | sed -E 's/.*digest //' || return 1
  done
}

reference=""
status=0
for preset in ${PCBINSPECT_REPRO_PRESETS:-release debug asan}; do
  if ! cmake --preset "$preset" >/dev/null ||
     ! cmake --build --preset "$preset" -j "$jobs" --target "${targets[@]}" >/dev/null; then
    echo "repro-check: $preset build failed"
    status=1
    continue
  fi
  for threads in 1 3; do
    run="$preset, $threads thread(s)"
    out=$(PCBINSPECT_THREADS=$threads digests "$preset") ||
      { echo "repro-check: $run failed"; status=1; continue; }
    if [ -z "$reference" ]; then
      reference=$out
      echo "$out"
      echo "repro-check: $run is the reference"
    elif [ "$out" = "$reference" ]; then
      echo "repro-check: $run gives the same bytes"
    else
      echo "repro-check: $run differs:"
      diff <(echo "$reference") <(echo "$out")
      status=1
    fi
  done
done
exit $status
