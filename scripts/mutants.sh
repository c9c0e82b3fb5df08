#!/usr/bin/env bash
# Mutation testing of the library: seeded random small changes to src/, each
# rebuilt incrementally and run against the test suite (ctest -LE device).
#   scripts/mutants.sh SEED COUNT
#   scripts/mutants.sh --fresh COUNT [INDEX]
# The second form draws the seed from the commit: from the git trees of src/
# and tests/ at HEAD (and INDEX, default 0, for several draws of one
# commit), so that nobody picks the mutants the suite is scored on, and a
# commit that changes neither the code nor its tests (documents, scripts)
# draws the same mutants; it prints the seed it drew.
# MUTANTS_PICK="3 17" runs only those of the drawn mutants (by number), to
# check again the survivors of a run after tests were added.
# MUTANTS_PRESET (default mutants) names the configure preset whose build,
# build/PRESET, the mutants are compiled and tested in; MUTANTS_EXCLUDE
# (default device) the CTest labels left out of each run.
# A change is one of: a relational operator swapped for its neighbour
# (< <=, > >=, == !=), && for || and back, a whole-number constant moved by
# one, a returned true or false turned round. A mutant is killed when a test
# fails (or times out; the tool's tests, label tool, run after the others),
# survives when every test passes, and does not count
# when it does not compile. The tree is restored after every mutant, also on
# interruption, from a copy taken before the change (other work in the tree
# is left alone). The last line reads
#   mutation: killed=K survived=S uncompiled=U total=N score=K/(K+S)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = --fresh ]; then
  count=${2:?count}
  index=${3:-0}
  commit=$(git rev-parse HEAD)
  # The first 12 hex digits of the hash of the two trees, plus the index.
  trees=$(git rev-parse HEAD:src HEAD:tests | sha1sum)
  seed=$(( 16#${trees:0:12} + index ))
  dirty=""
  git diff --quiet HEAD -- src tests 2>/dev/null || dirty=" (src/ or tests/ differ from it)"
  echo "mutants: seed $seed drawn from the src/ and tests/ of commit ${commit:0:12}, index $index$dirty"
else
  seed=${1:?seed}
  count=${2:?count}
fi
preset=${MUTANTS_PRESET:-mutants}
build=build/$preset
list=$(mktemp)
log=$(mktemp)
saved=$(mktemp)
trap 'rm -f "$list" "$log" "$saved"' EXIT

cmake --preset "$preset" >/dev/null
cmake --build "$build" >/dev/null

# Every place a mutation can go, then COUNT of them drawn with SEED: one line
# per mutant, "file<TAB>offset<TAB>length<TAB>replacement<TAB>description".
python3 - "$seed" "$count" > "$list" <<'EOF'
import pathlib, random, re, sys
seed, count = int(sys.argv[1]), int(sys.argv[2])
swaps = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "==",
         "&&": "||", "||": "&&"}
operator = re.compile(r"(?<![<>=!&|+\-*/%^])(<=|>=|==|!=|&&|\|\||<|>)(?![<>=&|])")
number = re.compile(r"(?<![\w.])(\d+)(?![\w.'])")
boolean = re.compile(r"\breturn (true|false);")
sites = []
for path in sorted(pathlib.Path("src").rglob("*")):
    if path.suffix not in (".cpp", ".h"):
        continue
    text = path.read_text()
    offset = 0
    in_block = False
    for line in text.splitlines(keepends=True):
        code = line
        stripped = line.strip()
        if in_block:
            if "*/" in line:
                in_block = False
            offset += len(line)
            continue
        if stripped.startswith("/*") and "*/" not in stripped:
            in_block = True
        if (stripped.startswith(("#", "//", "/*", "*", "template", "static_assert"))
                or "std::" in line and re.search(r"\w<", line)):
            offset += len(line)
            continue
        code = line.split("//")[0]
        code = re.sub(r'"(\\.|[^"\\])*"', lambda m: " " * len(m.group(0)), code)
        for m in operator.finditer(code):
            op = m.group(1)
            if op in ("<", ">") and re.search(r"\w\s*$", code[:m.start()]) and \
                    re.match(r"\s*[A-Za-z_:]+\s*[>,*&]", code[m.end():]):
                continue  # a template argument list, not a comparison
            sites.append((str(path), offset + m.start(), len(op), swaps[op], f"{op} -> {swaps[op]}"))
        for m in number.finditer(code):
            v = int(m.group(1))
            for w in (v + 1, v - 1):
                if w >= 0:
                    sites.append((str(path), offset + m.start(), len(m.group(1)), str(w), f"{v} -> {w}"))
        for m in boolean.finditer(code):
            flip = "false" if m.group(1) == "true" else "true"
            sites.append((str(path), offset + m.start(1), len(m.group(1)), flip, f"return {m.group(1)} -> {flip}"))
        offset += len(line)
rng = random.Random(seed)
for s in rng.sample(sites, min(count, len(sites))):
    print("\t".join(str(x) for x in s))
print(f"sites: {len(sites)}", file=sys.stderr)
EOF

# The library's tests first, then the tool's (slower, end to end), each run
# stopping at its first failure: a mutant the library's tests kill is not
# kept waiting for the tool's.
exclude=${MUTANTS_EXCLUDE:-device}
killed=0 survived=0 uncompiled=0 n=0
current=""
restore() { [ -n "$current" ] && cat "$saved" >"$current"; current=""; }
trap 'restore; rm -f "$list" "$log" "$saved"' EXIT
trap 'exit 130' INT TERM
pick=" ${MUTANTS_PICK:-} "
while IFS=$'\t' read -r file offset length replacement what; do
  n=$((n + 1))
  [ "$pick" = "  " ] || [[ "$pick" == *" $n "* ]] || continue
  cp "$file" "$saved"
  current=$file
  python3 - "$file" "$offset" "$length" "$replacement" <<'EOF'
import sys
path, offset, length, replacement = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
text = open(path).read()
open(path, "w").write(text[:offset] + replacement + text[offset + length:])
EOF
  line=$(python3 -c "import sys; t=open(sys.argv[1]).read(); print(t.count(chr(10), 0, int(sys.argv[2])) + 1)" "$file" "$offset")
  if ! cmake --build "$build" >/dev/null 2>&1; then
    verdict="did not compile"
    uncompiled=$((uncompiled + 1))
  elif ctest --test-dir "$build" -LE "$exclude|tool" -j "$(nproc)" --stop-on-failure --timeout 300 \
         >"$log" 2>&1 &&
       ctest --test-dir "$build" -L tool -LE "$exclude" -j "$(nproc)" --stop-on-failure --timeout 300 \
         >>"$log" 2>&1; then
    verdict=survived
    survived=$((survived + 1))
  else
    verdict="killed by $(grep -m1 -oE '[0-9]+ - [^ ]+ \((Failed|Timeout|SEGFAULT|Subprocess aborted|Exception)' "$log" |
               sed -E 's/^[0-9]+ - //; s/ \(.*//' || true)"
    killed=$((killed + 1))
  fi
  echo "mutant $n: $file:$line $what: $verdict"
  restore
done < "$list"
cmake --build "$build" >/dev/null 2>&1 || true
score=$(python3 -c "k,s=$killed,$survived; print(f'{k/(k+s):.3f}' if k+s else 'n/a')")
echo "mutation: killed=$killed survived=$survived uncompiled=$uncompiled total=$n score=$score"
