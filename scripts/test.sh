#!/usr/bin/env bash
# Builds the library and runs everything CI checks: the layers of src/; the
# whole test suite on the release and the asan (AddressSanitizer +
# UndefinedBehaviorSanitizer) presets; the Python binding's tests against the
# release build and against its wheel installed in a fresh virtual
# environment; the same output bytes from the release, debug and asan builds
# (scripts/repro-check.sh); the concurrency tests under ThreadSanitizer; a
# short fuzz run of every target; line and branch coverage of src/ by the
# suite, against its floors; a small fresh-drawn mutation sample
# (informational); and, with PCBINSPECT_WINDOWS_CHECK=1 (or
# auto, as .ci/run sets it, where Wine can be installed), the Windows DLL
# check. Installs the Debian packages it needs when they are missing.
#
# Each build happens once. After the release build the work runs in two
# lanes that share the machine: one builds the other presets one after
# another (asan, then debug, tsan and fuzz as far as their checks need), the
# other runs the checks as soon as what they need is built; the packages of
# the later stages are installed while the release build runs. Each stage's
# output is printed as one block when it ends, headed by its time; the
# summary ends with a table of the stages' times and, on the last line,
# "N passed, N failed". PCBINSPECT_TEST_SERIAL=1 runs the stages one after
# another instead (same checks, same counts).
#
# Coverage: the coverage preset (gcov instrumentation, -O1) runs the suite
# (ctest -LE device) and gcovr prints one line, "coverage: lines L % (n/m),
# branches B % (n/m) of src/"; the stage fails below the floors set here.
# COVERAGE_HTML=DIR also writes an HTML report there. PCBINSPECT_COVERAGE=0
# leaves it out. Mutants: PCBINSPECT_MUTANTS (default 3) mutants drawn from
# the commit by scripts/mutants.sh --fresh, built in the coverage build and
# scored against the suite without the tool's tests, never failing; 0 leaves
# them out.
set -uo pipefail
cd "$(dirname "$0")/.."
t_start=$(date +%s)

packages=(cmake g++ ninja-build pkg-config googletest libgtest-dev libgmock-dev libbenchmark-dev
          libpng-dev libjpeg62-turbo-dev nlohmann-json3-dev libcli11-dev
          gerbv libgtk2.0-dev libcairo2-dev
          libopencv-core-dev libopencv-imgproc-dev libtiff-dev
          python3 python3-numpy python3-pytest python3-setuptools python3-wheel python3-build
          python3-venv python3-dask python3-distributed gcovr)
bash scripts/install-packages.sh test.sh "${packages[@]}" || exit 1
# The packages of the fuzz run and of the Windows check (as
# scripts/windows-check.sh installs them), fetched while the release build runs.
fuzz_packages=(clang libclang-rt-14-dev)
windows_packages=(cmake ninja-build g++ g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64)

jobs=$(nproc 2>/dev/null || echo 2)
presets=(${PCBINSPECT_PRESETS:-release asan})
fuzz_seconds=${PCBINSPECT_FUZZ_SECONDS:-30}
# Slowest first (see fuzz_runs).
fuzz_targets=(inspect cad search circles masks resample copy_gray)
hardening=${PCBINSPECT_HARDENING:-1}
coverage=${PCBINSPECT_COVERAGE:-1}
coverage_line_floor=96.0     # per cent of the lines of src/ the suite runs
coverage_branch_floor=87.0   # per cent of the branches of src/ it takes
mutants=${PCBINSPECT_MUTANTS:-3}
windows=${PCBINSPECT_WINDOWS_CHECK:-0}
if [ "$windows" = auto ]; then
  # grep reads the whole policy text (no -q): under pipefail a grep that
  # quits early would fail the pipeline when apt-cache is still writing.
  if command -v wine64 >/dev/null 2>&1 || [ -x /usr/lib/wine/wine64 ] ||
     apt-cache policy wine64 2>/dev/null | grep -E 'Candidate: [0-9]' >/dev/null; then
    windows=1
  else
    windows=skip
  fi
fi

state=$(mktemp -d)
trap 'rm -rf "$state"' EXIT

# --- Stage bookkeeping. A stage runs with its output in a log of its own;
# when it ends the log is printed as one block, so the lanes' output never
# interleaves. Stages add to the totals with `count PASSED FAILED` and tell
# the other lane what is ready with `mark NAME ok|failed`.
count() { echo "$1 $2" >>"$state/counts"; }
mark() { echo "$2" >"$state/mark.$1.tmp" && mv "$state/mark.$1.tmp" "$state/mark.$1"; }
# Waits until NAME is marked; true when it is ok.
ready() {
  while [ ! -f "$state/mark.$1" ]; do sleep 1; done
  [ "$(cat "$state/mark.$1")" = ok ]
}
# A stage's time starts when what it waits for is ready (`stage NAME after
# MARK FUNCTION ...`): the table shows work, not waiting.
stage() {  # stage NAME [after MARK] FUNCTION [ARG...]
  local name=$1 log="$state/log.$1" t0 t1
  shift
  if [ "$1" = after ]; then
    ready "$2" || true
    shift 2
  fi
  t0=$(date +%s)
  "$@" >"$log" 2>&1
  t1=$(date +%s)
  echo "$t0 $t1 $name" >>"$state/times"
  { echo "== $name ($((t1 - t0)) s)"; cat "$log"; } | flock "$state/print" cat
}

# Adds the counts of a pytest log ("3 failed, 27 passed in 1.20s" or "30
# passed in 1.20s"); a log without them is one failure.
count_pytest() {
  local summary ok bad n
  summary=$(grep -E '^=*[ ]*[0-9]+ (passed|failed|error)' "$1" | tail -n 1)
  if [ -z "$summary" ]; then
    echo "test.sh: $2 ran no test"
    count 0 1
    return
  fi
  ok=$(grep -oE '[0-9]+ passed' <<<"$summary" | grep -oE '[0-9]+' || echo 0)
  bad=0
  for n in $(grep -oE '[0-9]+ (failed|errors?)' <<<"$summary" | grep -oE '^[0-9]+'); do
    bad=$((bad + n))
  done
  count "${ok:-0}" "$bad"
}

# --- The stages.
layers() {  # every include between folders of src/ points down
  if bash scripts/check-layers.sh; then count 1 0; else count 0 1; fi
}

packages_later() {
  if [ "$fuzz_seconds" != 0 ]; then
    bash scripts/install-packages.sh test.sh "${fuzz_packages[@]}" && mark clang ok || mark clang failed
  else
    mark clang failed
  fi
  if [ "$windows" = 1 ]; then
    # As scripts/windows-check.sh would (it installs whatever is still missing).
    local missing=() p sudo_cmd=""
    for p in "${windows_packages[@]}"; do
      dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ "$(id -u)" -ne 0 ] && sudo_cmd=sudo
    if [ ${#missing[@]} -gt 0 ]; then
      echo "test.sh: installing ${missing[*]}"
      $sudo_cmd apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends \
          -o DPkg::Lock::Timeout=600 "${missing[@]}" >/dev/null ||
        echo "test.sh: could not install ${missing[*]} (the Windows check will try again)"
    fi
  fi
  mark packages ok
}

build() {  # build PRESET [TARGET...]
  local preset=$1
  shift
  local targets=()
  [ $# -gt 0 ] && targets=(--target "$@")
  if cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j "$jobs" "${targets[@]}"; then
    mark "build.$preset" ok
  else
    echo "test.sh: $preset build failed"
    count 0 1
    mark "build.$preset" failed
  fi
}

suite() {  # suite PRESET: the CTest suite of a built preset
  local preset=$1 summary bad all
  ready "build.$preset" || { echo "test.sh: $preset not built"; return; }
  ctest --preset "$preset" -LE device -j "$jobs" 2>&1 | tee "$state/ctest.$preset"
  # "100% tests passed, 0 tests failed out of 43"
  summary=$(grep -E 'tests? failed out of [0-9]+' "$state/ctest.$preset" | tail -n 1)
  if [ -z "$summary" ]; then
    echo "test.sh: $preset ran no test"
    count 0 1
    return
  fi
  bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$summary")
  all=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$summary")
  count $((all - bad)) "$bad"
}

# The Python binding, loaded from the release build (an instrumented library
# cannot be loaded into an uninstrumented interpreter).
python_checkout() {
  [ -f build/release/src/libpcbinspect.so ] || { echo "test.sh: no release library, skipped"; return; }
  PCBINSPECT_PYTHON=checkout PCBINSPECT_LIBRARY="$PWD/build/release/src/libpcbinspect.so" \
    PCBINSPECT_TOOL="$PWD/build/release/tools/pcbinspect" \
    /usr/bin/python3 -m pytest -q -p no:cacheprovider python/tests 2>&1 | tee "$state/pytest.checkout"
  count_pytest "$state/pytest.checkout" python
}

# The Python package as users get it: a wheel built from the sources (sdist,
# then the wheel from it, the library built inside), installed into a fresh
# virtual environment over the system's numpy and pytest, and the same tests
# run against it: no PCBINSPECT_LIBRARY, no checkout on the path.
python_wheel() {
  local wheelhouse tool_env=()
  wheelhouse=$(mktemp -d)
  [ -x build/release/tools/pcbinspect ] && tool_env=(PCBINSPECT_TOOL="$PWD/build/release/tools/pcbinspect")
  if CMAKE_BUILD_PARALLEL_LEVEL="$jobs" /usr/bin/python3 -m build --no-isolation \
       --outdir "$wheelhouse/dist" python >"$wheelhouse/build.log" 2>&1 &&
     /usr/bin/python3 -m venv --system-site-packages "$wheelhouse/venv" &&
     "$wheelhouse/venv/bin/python" -m pip install -q --no-index "$wheelhouse"/dist/*.whl; then
    env -u PCBINSPECT_LIBRARY PCBINSPECT_PYTHON=installed "${tool_env[@]}" \
      "$wheelhouse/venv/bin/python" -m pytest -q -p no:cacheprovider python/tests 2>&1 |
      tee "$state/pytest.wheel"
    count_pytest "$state/pytest.wheel" "python (wheel)"
  else
    tail -n 30 "$wheelhouse/build.log"
    echo "test.sh: the wheel could not be built or installed"
    count 0 1
  fi
  rm -rf "$wheelhouse"
}

# The same output bytes from the release, debug and asan builds, each on one
# and on three threads. Its release and asan targets are built by then; the
# debug ones are built in the build lane.
repro() {
  ready build.debug-repro || return
  if bash scripts/repro-check.sh; then count 1 0; else count 0 1; fi
}

# No data race when the exports run on several threads at once.
tsan() {
  ready build.tsan || return
  local threads
  for threads in 1 2 4; do
    echo "-- PCBINSPECT_THREADS=$threads"
    PCBINSPECT_THREADS=$threads TSAN_OPTIONS=halt_on_error=1 \
      build/tsan/tests/pcbinspect_tests --gtest_filter='Concurrency.*:InspectBoard.*' ||
      { count 0 1; return; }
  done
  count 1 0
}

# The suite on the coverage build, then gcovr over src/ only. Branches that
# only throw (allocation failures, the boundary's guards) and those the
# compiler proves unreachable are left out. Counts as one check: the suite
# passing and both floors met.
coverage_suite() {
  ready build.coverage || { echo "test.sh: coverage not built"; return; }
  local dir=build/coverage line summary lines branches
  find "$dir" -name '*.gcda' -delete
  if ! ctest --test-dir "$dir" -LE device -j "$jobs" --timeout 900 >"$state/ctest.coverage" 2>&1; then
    grep -E 'tests? failed out of|\*\*\*|Failed' "$state/ctest.coverage" | tail -n 20
    echo "test.sh: the suite failed on the coverage build"
    count 0 1
    return
  fi
  local html=()
  if [ -n "${COVERAGE_HTML:-}" ]; then
    mkdir -p "$COVERAGE_HTML"
    html=(--html-details "$COVERAGE_HTML/index.html")
  fi
  # The library's objects only (what the tests ran of src/, headers
  # included); -fprofile-update=atomic keeps the counters of the worker
  # threads exact.
  if ! gcovr --root . --filter 'src/' --exclude-throw-branches --exclude-unreachable-branches \
       -j "$jobs" --print-summary "${html[@]}" -o "$state/gcovr.txt" "$dir/src" >"$state/gcovr" 2>&1 ||
     ! grep -q '^lines:' "$state/gcovr"; then
    cat "$state/gcovr"
    echo "test.sh: gcovr failed"
    count 0 1
    return
  fi
  # "lines: 93.1% (1234 out of 1325)"
  lines=$(sed -nE 's/^lines: ([0-9.]+)% \(([0-9]+) out of ([0-9]+)\).*/\1 \2 \3/p' "$state/gcovr")
  branches=$(sed -nE 's/^branches: ([0-9.]+)% \(([0-9]+) out of ([0-9]+)\).*/\1 \2 \3/p' "$state/gcovr")
  read -r lp ln lm <<<"$lines"
  read -r bp bn bm <<<"$branches"
  echo "coverage: lines $lp % ($ln/$lm), branches $bp % ($bn/$bm) of src/"
  [ -n "${COVERAGE_HTML:-}" ] && echo "coverage: HTML report in $COVERAGE_HTML/index.html"
  if awk -v l="$lp" -v b="$bp" -v fl="$coverage_line_floor" -v fb="$coverage_branch_floor" \
       'BEGIN { exit !(l + 0 >= fl && b + 0 >= fb) }'; then
    count 1 0
  else
    echo "test.sh: coverage below its floors (lines $coverage_line_floor %, branches $coverage_branch_floor %)"
    count 0 1
  fi
}

# A few mutants drawn from the commit (nobody picks them): the score is
# printed for information and never fails the run.
mutants_sample() {
  local profiles
  profiles=$(mktemp -d)
  # On the coverage build, already there: the mutants' profiles go aside.
  GCOV_PREFIX=$profiles MUTANTS_PRESET=coverage MUTANTS_EXCLUDE='device|tool' \
    bash scripts/mutants.sh --fresh "$mutants" 2>&1 |
    grep -E '^(mutants:|mutant |mutation:)' || echo "test.sh: the mutation sample did not run"
  rm -rf "$profiles"
}

fuzz_build() {
  if ! ready clang; then
    echo "test.sh: fuzz run skipped: clang with libFuzzer cannot be installed here"
    mark build.fuzz failed
    return
  fi
  if cmake --preset fuzz >/dev/null &&
     cmake --build --preset fuzz -j "$jobs" --target "${fuzz_targets[@]/#/fuzz_}"; then
    mark build.fuzz ok
  else
    echo "test.sh: fuzz run skipped: the fuzz targets cannot be built here"
    mark build.fuzz failed
  fi
}

fuzz_one() {  # one target on top of its committed corpus; counts as one test
  local target=$1 work
  work=$(mktemp -d)
  if build/fuzz/fuzz/fuzz_$target -max_total_time="$fuzz_seconds" -rss_limit_mb=4096 \
       -artifact_prefix=build/fuzz/artifacts/ "$work" "fuzz/corpus/$target" >"$work/log" 2>&1; then
    echo "fuzz $target: $(grep -E '^Done [0-9]+ runs' "$work/log" | tail -n 1)"
    count 1 0
  else
    tail -n 40 "$work/log"
    echo "fuzz $target: FAILED (libFuzzer's report and the input's Base64 are above; the input is in build/fuzz/artifacts)"
    count 0 1
  fi
  rm -rf "$work"
}

# A short fuzz run of every target on top of its committed corpus, so that a
# new overflow shows up in the change that brings it: PCBINSPECT_FUZZ_SECONDS
# a target (default 30; 0 skips), two targets at a time. The slowest first:
# libFuzzer runs the whole corpus before its time starts, and inspect's and
# cad's take longest (fuzz_targets lists them first), so the others fill the
# second core meanwhile.
fuzz_runs() {
  ready build.fuzz || return
  mkdir -p build/fuzz/artifacts
  local target running=0
  for target in "${fuzz_targets[@]}"; do
    fuzz_one "$target" >"$state/fuzz.$target" 2>&1 &
    running=$((running + 1))
    if [ "$running" -ge 2 ]; then wait -n; running=$((running - 1)); fi
  done
  wait
  for target in "${fuzz_targets[@]}"; do cat "$state/fuzz.$target" 2>/dev/null; done
}

windows_check() {
  if bash scripts/windows-check.sh; then count 1 0; else count 0 1; fi
}

# --- The lanes.
build_lane() {
  local preset
  for preset in "${presets[@]:1}"; do stage "$preset: build" build "$preset"; done
  if [ "$hardening" != 0 ]; then
    stage "debug: build (repro)" build debug pcbinspect_board_digests "${fuzz_targets[@]/#/fuzz_}"
    mark build.debug-repro "$(cat "$state/mark.build.debug")"
    stage "tsan: build" build tsan pcbinspect_tests
  fi
  if [ "$coverage" != 0 ]; then stage "coverage: build" build coverage; fi
  if [ "$fuzz_seconds" != 0 ]; then stage "fuzz: build" after clang fuzz_build; fi
  # Nothing more is compiled from src/ in this lane: the mutants may change it.
  mark builds ok
  if [ "$fuzz_seconds" != 0 ]; then stage "fuzz: $fuzz_seconds s a target" fuzz_runs; fi
}

check_lane() {
  local preset
  stage "${presets[0]}: test" suite "${presets[0]}"
  stage "python: test" python_checkout
  stage "python: wheel" python_wheel
  for preset in "${presets[@]:1}"; do stage "$preset: test" after "build.$preset" suite "$preset"; done
  if [ "$hardening" != 0 ]; then
    stage "reproducibility" after build.debug-repro repro
    stage "tsan: test (1, 2, 4 threads)" after build.tsan tsan
  fi
  if [ "$coverage" != 0 ]; then
    stage "coverage: test" after build.coverage coverage_suite
    # After the coverage figures (the sample rebuilds that build) and once
    # the other lane compiles no more of src/ (the sample changes it).
    if [ "$mutants" != 0 ]; then stage "mutants: $mutants drawn from the commit" after builds mutants_sample; fi
  fi
  if [ "$windows" = 1 ]; then
    stage "windows" after packages windows_check
  fi
}

stage "layers" layers
stage "packages (fuzz, windows)" packages_later &
stage "${presets[0]}: build" build "${presets[0]}"
if [ "${PCBINSPECT_TEST_SERIAL:-0}" = 1 ]; then
  wait
  build_lane
  check_lane
else
  build_lane &
  check_lane
  wait
fi
case $windows in
  0) echo "test.sh: Windows check skipped (PCBINSPECT_WINDOWS_CHECK=1 or auto runs it; .ci/run sets auto)" ;;
  skip) echo "test.sh: Windows check skipped: wine64 cannot be installed here" ;;
esac

# --- The summary: each stage's time, without its wait for what it needs,
# and when it ran (the lanes overlap, so the times add up to more than the
# wall time), then the totals.
t_end=$(date +%s)
echo "== times"
sort -n "$state/times" | while read -r t0 t1 name; do
  printf '  %-32s %5d s  (from %4d s to %4d s)\n' "$name" $((t1 - t0)) $((t0 - t_start)) $((t1 - t_start))
done
printf '  %-32s %5d s\n' "wall time" $((t_end - t_start))
passed=0
failed=0
while read -r p f; do
  passed=$((passed + p))
  failed=$((failed + f))
done <"$state/counts"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
