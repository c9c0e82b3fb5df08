#!/usr/bin/env bash
# Cross-builds pcbinspect.dll with MinGW-w64, checks that it exports exactly
# the functions of the public header by their plain names and needs no MinGW
# runtime DLL, and runs the C host program under Wine: it loads the DLL with
# LoadLibrary, looks every export up with GetProcAddress and checks that each
# end-to-end call writes the same bytes as the Linux build. Installs MinGW-w64
# and Wine (Debian packages) when they are missing. Ends with the DLL's export
# table.
set -euo pipefail
cd "$(dirname "$0")/.."

say() { echo "windows-check: $*"; }
fail() { echo "windows-check: FAILED: $*" >&2; exit 1; }

packages=(cmake ninja-build g++ g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  say "installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  started=$(date +%s)
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends \
    -o DPkg::Lock::Timeout=600 "${missing[@]}" >/dev/null || fail "could not install ${missing[*]}"
  say "installed in $(( $(date +%s) - started )) s"
fi

wine=""
for w in wine64 /usr/lib/wine/wine64 wine; do
  if command -v "$w" >/dev/null 2>&1; then wine=$(command -v "$w"); break; fi
done
[ -n "$wine" ] || fail "no wine64 found"

jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -gt 2 ] || jobs=2

# The Linux side: the library and the host program. The release build of
# scripts/test.sh is reused when it is there.
linux=build/release
if [ ! -f "$linux/CMakeCache.txt" ]; then
  linux=build/windows-linux-side
  cmake -S . -B "$linux" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPCBINSPECT_CUDA=OFF \
    -DPCBINSPECT_BUILD_TESTS=OFF -DPCBINSPECT_BUILD_BENCHMARKS=OFF \
    -DPCBINSPECT_BUILD_TOOLS=OFF -DPCBINSPECT_BUILD_HOST_CALLS=ON >/dev/null
fi
say "Linux build in $linux"
cmake --build "$linux" -j "$jobs" --target pcbinspect pcbinspect_host_calls >/dev/null

# The Windows side.
say "cross-building pcbinspect.dll (build/windows)"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs" >/dev/null
dll=build/windows/src/pcbinspect.dll
implib=build/windows/src/pcbinspect.dll.a
host=build/windows/tests/host/pcbinspect_host_calls.exe
for f in "$dll" "$implib" "$host"; do [ -f "$f" ] || fail "$f was not built"; done

objdump=x86_64-w64-mingw32-objdump
table=$($objdump -p "$dll")

# Exported names, from the "[Ordinal/Name Pointer] Table" of the export
# directory, against the functions the public header declares.
exported=$(awk '/\[Ordinal\/Name Pointer\] Table/{on=1; next} on && /^[[:space:]]*\[/{print $NF; next} on{exit}' \
  <<<"$table" | sort)
declared=$(grep -oE 'PCBINSPECT_API [^(]*[ *]([A-Za-z_][A-Za-z0-9_]*)\(' include/pcbinspect/exports.h |
  sed -E 's/.*[ *]([A-Za-z_][A-Za-z0-9_]*)\($/\1/' | sort)
[ -n "$declared" ] || fail "no exports found in the public header"
if [ "$exported" != "$declared" ]; then
  diff <(echo "$declared") <(echo "$exported") | sed 's/^/  /' >&2 || true
  fail "the DLL's exports differ from the public header (< header, > DLL)"
fi
say "$(wc -l <<<"$exported") exports, exactly the public header's, undecorated"

# Only system DLLs may be imported: the compiler's runtime is linked in.
imports=$(grep -E '^[[:space:]]*DLL Name:' <<<"$table" | awk '{print $3}')
for d in $imports; do
  case "${d,,}" in
    kernel32.dll|msvcrt.dll|ucrtbase.dll|api-ms-win-*|user32.dll|advapi32.dll) ;;
    *) fail "the DLL needs $d" ;;
  esac
done
say "imports: $(echo $imports)"

# The same calls on both builds; the Windows run compares its digests with
# the Linux run's.
expected=build/windows/host_calls.linux.txt
"$linux/tests/host/pcbinspect_host_calls" "$linux/src/libpcbinspect.so" >"$expected" \
  2>build/windows/host_calls.linux.log ||
  fail "the host program failed on the Linux build"
export WINEPREFIX="$PWD/build/windows/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
say "running the host program under $(basename "$wine") ($("$wine" --version 2>/dev/null || echo wine))"
# Wine wants Windows-style paths for LoadLibrary; the DLL goes beside the exe.
cp "$dll" "$(dirname "$host")/"
cp "$expected" "$(dirname "$host")/expected.txt"
(cd "$(dirname "$host")" && "$wine" pcbinspect_host_calls.exe pcbinspect.dll expected.txt) ||
  fail "the host program failed under Wine"
for s in wineserver /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver; do
  if command -v "$s" >/dev/null 2>&1; then "$s" -k 2>/dev/null || true; break; fi
done

say "export table of $dll:"
sed -n '/^The Export Tables/,/^The Function Table/{/^The Function Table/!p}' <<<"$table"
say "ok"
