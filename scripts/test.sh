#!/usr/bin/env bash
# Builds the library and runs the whole test suite on the release and the
# asan (AddressSanitizer + UndefinedBehaviorSanitizer) presets. Installs the
# Debian packages the build needs when they are missing. Then the Python
# binding's tests (system Python, pytest) against the release build, and again
# against its wheel installed in a fresh virtual environment. The last line
# sums up every run: "N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ ninja-build pkg-config googletest libgtest-dev libgmock-dev libbenchmark-dev
          libpng-dev libjpeg62-turbo-dev nlohmann-json3-dev libcli11-dev
          gerbv libgtk2.0-dev libcairo2-dev
          python3 python3-numpy python3-pytest python3-setuptools python3-wheel python3-build
          python3-venv python3-dask python3-distributed)
bash scripts/install-packages.sh test.sh "${packages[@]}" || exit 1

jobs=$(nproc 2>/dev/null || echo 2)
passed=0
failed=0
status=0

# Adds the counts of a pytest log ("3 failed, 27 passed in 1.20s" or "30
# passed in 1.20s") to the totals; a log without them is one failure.
count_pytest() {
  local summary ok bad n
  summary=$(grep -E '^=*[ ]*[0-9]+ (passed|failed|error)' "$1" | tail -n 1)
  if [ -z "$summary" ]; then
    echo "test.sh: $2 ran no test"
    status=1
    failed=$((failed + 1))
    return
  fi
  ok=$(grep -oE '[0-9]+ passed' <<<"$summary" | grep -oE '[0-9]+' || echo 0)
  bad=0
  for n in $(grep -oE '[0-9]+ (failed|errors?)' <<<"$summary" | grep -oE '^[0-9]+'); do
    bad=$((bad + n))
  done
  passed=$((passed + ${ok:-0}))
  failed=$((failed + bad))
}
# The layers of src/: every include between folders points down.
echo "== layers"
if bash scripts/check-layers.sh; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  status=1
fi

for preset in ${PCBINSPECT_PRESETS:-release asan}; do
  echo "== $preset: configure and build"
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset" -j "$jobs"; then
    echo "test.sh: $preset build failed"
    status=1
    failed=$((failed + 1))
    continue
  fi
  echo "== $preset: test"
  log=$(mktemp)
  ctest --preset "$preset" -LE device -j "$jobs" 2>&1 | tee "$log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  # "100% tests passed, 0 tests failed out of 43"
  summary=$(grep -E 'tests? failed out of [0-9]+' "$log" | tail -n 1)
  rm -f "$log"
  if [ -z "$summary" ]; then
    echo "test.sh: $preset ran no test"
    status=1
    continue
  fi
  bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$summary")
  all=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$summary")
  passed=$((passed + all - bad))
  failed=$((failed + bad))
done

# The Python binding, loaded from the release build (an instrumented library
# cannot be loaded into an uninstrumented interpreter).
if [ -f build/release/src/libpcbinspect.so ]; then
  echo "== python: test"
  log=$(mktemp)
  PCBINSPECT_PYTHON=checkout PCBINSPECT_LIBRARY="$PWD/build/release/src/libpcbinspect.so" \
    PCBINSPECT_TOOL="$PWD/build/release/tools/pcbinspect" \
    /usr/bin/python3 -m pytest -q -p no:cacheprovider python/tests 2>&1 | tee "$log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  count_pytest "$log" python
  rm -f "$log"
fi

# The Python package as users get it: a wheel built from the sources (sdist,
# then the wheel from it, the library built inside), installed into a fresh
# virtual environment over the system's numpy and pytest, and the same tests
# run against it: no PCBINSPECT_LIBRARY, no checkout on the path.
echo "== python: wheel in a virtual environment"
wheelhouse=$(mktemp -d)
tool_env=()
if [ -x build/release/tools/pcbinspect ]; then
  tool_env=(PCBINSPECT_TOOL="$PWD/build/release/tools/pcbinspect")
fi
if CMAKE_BUILD_PARALLEL_LEVEL="$jobs" /usr/bin/python3 -m build --no-isolation \
     --outdir "$wheelhouse/dist" python >"$wheelhouse/build.log" 2>&1 &&
   /usr/bin/python3 -m venv --system-site-packages "$wheelhouse/venv" &&
   "$wheelhouse/venv/bin/python" -m pip install -q --no-index "$wheelhouse"/dist/*.whl; then
  log=$(mktemp)
  env -u PCBINSPECT_LIBRARY PCBINSPECT_PYTHON=installed "${tool_env[@]}" \
    "$wheelhouse/venv/bin/python" -m pytest -q -p no:cacheprovider python/tests 2>&1 | tee "$log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  count_pytest "$log" "python (wheel)"
  rm -f "$log"
else
  tail -n 30 "$wheelhouse/build.log"
  echo "test.sh: the wheel could not be built or installed"
  status=1
  failed=$((failed + 1))
fi
rm -rf "$wheelhouse"

# The same output bytes from the release, debug and sanitizer builds, and no
# data race when the exports run on several threads at once.
if [ "${PCBINSPECT_HARDENING:-1}" != 0 ]; then
  echo "== reproducibility: release, debug and asan builds"
  if bash scripts/repro-check.sh; then passed=$((passed + 1)); else failed=$((failed + 1)); status=1; fi
  echo "== tsan: exports on several threads at once, each call on 1, 2 and 4 threads"
  if cmake --preset tsan >/dev/null && cmake --build --preset tsan -j "$jobs" --target pcbinspect_tests >/dev/null &&
     (for threads in 1 2 4; do
        PCBINSPECT_THREADS=$threads TSAN_OPTIONS=halt_on_error=1 \
          build/tsan/tests/pcbinspect_tests --gtest_filter='Concurrency.*:InspectBoard.*' || exit 1
      done); then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    status=1
  fi
fi

# A short fuzz run of every target on top of its committed corpus, so that a
# new overflow shows up in the change that brings it: PCBINSPECT_FUZZ_SECONDS
# a target (default 30; 0 skips). Needs clang with libFuzzer; skipped with a
# message when it cannot be installed. A target counts as one test.
fuzz_seconds=${PCBINSPECT_FUZZ_SECONDS:-30}
if [ "$fuzz_seconds" != 0 ]; then
  echo "== fuzz: every target for $fuzz_seconds s"
  if bash scripts/install-packages.sh test.sh clang libclang-rt-14-dev >/dev/null 2>&1 &&
     cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j "$jobs" >/dev/null; then
    mkdir -p build/fuzz/artifacts
    for target in copy_gray cad resample masks circles inspect search; do
      work=$(mktemp -d)
      if build/fuzz/fuzz/fuzz_$target -max_total_time="$fuzz_seconds" -rss_limit_mb=4096 \
           -artifact_prefix=build/fuzz/artifacts/ "$work" "fuzz/corpus/$target" >"$work/log" 2>&1; then
        echo "fuzz $target: $(grep -E '^Done [0-9]+ runs' "$work/log" | tail -n 1)"
        passed=$((passed + 1))
      else
        tail -n 40 "$work/log"
        echo "fuzz $target: FAILED (libFuzzer's report and the input's Base64 are above; the input is in build/fuzz/artifacts)"
        failed=$((failed + 1))
        status=1
      fi
      rm -rf "$work"
    done
  else
    echo "test.sh: fuzz run skipped: clang with libFuzzer cannot be installed or built here"
  fi
fi

echo "$passed passed, $failed failed"
exit $status
