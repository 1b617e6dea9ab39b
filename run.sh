#!/usr/bin/env bash
# One entry point: installs what the build needs, configures, builds and runs.
#   ./run.sh demo   the main job (build what the demo needs, then run it)
#   ./run.sh test   build, then run every test under Wine and the native
#                   sanitizer tests of the format code
#   ./run.sh package [CMAKE-ARGS...]  release build and its zip package in
#                   build/package/; without arguments it embeds the
#                   development keys and is marked -devkeys, with arguments
#                   (the product's keys, e.g. -DVANTU_TEMPLATE_PUBLIC_KEY=...
#                   or -C keys.cmake) they go to the release configuration
#   ./run.sh soak   build, then run only the soak test under Wine
#   ./run.sh fuzz [SECONDS [TARGET...]]  run each fuzz target (or the ones
#                   named) in turn, SECONDS each (default 600)
#   ./run.sh seeds  rewrite the fuzz targets' seed corpora (native/corpus)
#   ./run.sh bench  build, then run the pipe transport benchmark
#   ./run.sh check  second compiler and static checks: clang build with the
#                   lock analysis, its Windows suite under Wine, both DLLs'
#                   boundaries, the PDB, clang-tidy
#   ./run.sh build  build only
set -euo pipefail
cd "$(dirname "$0")"

ROOT=$(pwd)
BUILD_DIR="$ROOT/build"
RELEASE_DIR="$ROOT/build-release"
NATIVE_DIR="$ROOT/build-native"
JOBS=$(nproc)
CLANG_DIR="$ROOT/build-clang"
PACKAGES=(cmake g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine64 wine rapidjson-dev googletest
          clang libclang-rt-14-dev)
# Only ./run.sh check needs these.
CHECK_PACKAGES=(clang-19 lld-19 clang-tidy-19 llvm-19)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"
  elif command -v sudo >/dev/null 2>&1; then sudo "$@"
  else echo "run.sh: need root or sudo to install: $*" >&2; exit 1
  fi
}

install_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "run.sh: installing ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
  fi
}

# build [TARGET...]: configures build/ and builds the targets (default: all).
build() {
  install_packages "${PACKAGES[@]}"
  cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw64.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  if [ $# -gt 0 ]; then
    cmake --build "$BUILD_DIR" -j"$JOBS" --target "$@"
  else
    cmake --build "$BUILD_DIR" -j"$JOBS"
  fi
}

# The Windows-free format code built natively with clang, AddressSanitizer
# and UndefinedBehaviorSanitizer: unit tests and libFuzzer targets.
build_native() {
  install_packages "${PACKAGES[@]}"
  cmake -S "$ROOT/native" -B "$NATIVE_DIR" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
  cmake --build "$NATIVE_DIR" -j"$JOBS"
}

test_all() {
  local status=0
  build
  build_native
  echo "== native format code under AddressSanitizer and UndefinedBehaviorSanitizer"
  ctest --test-dir "$NATIVE_DIR" --output-on-failure -j"$JOBS" || status=1
  with_wineserver windows_tests || status=1
  return $status
}

# One fuzz target at a time (the machine is shared): each runs until
# SECONDS pass or ten million inputs were tried. New inputs go to
# build-native/fuzz-corpus/, findings to build-native/fuzz-findings/.
fuzz() {
  local seconds=${1:-600}
  shift || true
  local only=" $* "
  build_native
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:suppressions=$ROOT/native/ubsan.supp"
  local status=0
  mkdir -p "$NATIVE_DIR/fuzz-findings"
  for dir in "$ROOT"/native/corpus/*/; do
    local name
    name=$(basename "$dir")
    [ -x "$NATIVE_DIR/fuzz_$name" ] || continue
    [ "$only" = "  " ] || [[ "$only" == *" $name "* ]] || continue
    mkdir -p "$NATIVE_DIR/fuzz-corpus/$name"
    echo "== fuzz_$name: ${seconds} s or 10000000 runs"
    if ! "$NATIVE_DIR/fuzz_$name" -max_total_time="$seconds" -runs=10000000 -max_len=8192 -timeout=10 \
         -print_final_stats=1 -artifact_prefix="$NATIVE_DIR/fuzz-findings/$name-" \
         "$NATIVE_DIR/fuzz-corpus/$name" "$dir" >"$NATIVE_DIR/fuzz-$name.log" 2>&1; then
      status=1
      echo "fuzz_$name: FINDING (see $NATIVE_DIR/fuzz-$name.log)"
    fi
    grep -E '^#[0-9]+[[:space:]]+(DONE|INITED)|^Done [0-9]+ runs|stat::number_of_executed_units' "$NATIVE_DIR/fuzz-$name.log" || true
  done
  return $status
}

seeds() {
  build_native
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:suppressions=$ROOT/native/ubsan.supp"
  find "$ROOT/native/corpus" -name 'seed-*' -delete
  mkdir -p "$ROOT/native/corpus"/{pipe_stream,handshake_answer,sealed_value,template_file,setting_reply}
  "$NATIVE_DIR/make_seeds" "$ROOT"
}

# The soak test alone first (about half a minute; it measures its own
# process), then the rest of the Windows suite in parallel.
windows_tests() {
  local status=0
  soak || status=1
  echo "== Windows suite under Wine"
  ctest --test-dir "$BUILD_DIR" --output-on-failure -j"$JOBS" -LE soak || status=1
  return $status
}

soak() {
  echo "== soak: 10,000 toasts and 10,000 requests across service restarts"
  local log="$BUILD_DIR/soak.log"
  if ctest --test-dir "$BUILD_DIR" -V -L soak >"$log" 2>&1; then
    grep -E '^[0-9]+: soak:' "$log" | sed 's/^[0-9]*: //'
    grep -E 'tests passed' "$log"
  else
    cat "$log"
    return 1
  fi
}

# Keeps one wineserver up for the whole run so that every Windows program
# starts in tens of milliseconds; stops it on the way out.
with_wineserver() {
  "$BUILD_DIR/wine-run.sh" --server start
  trap "\"$BUILD_DIR/wine-run.sh\" --server stop || true" EXIT
  "$@"
}

# The benchmark runs twice. First on one CPU: the wineserver, the benchmark and
# the services it starts share core 0, so every hop of a round trip runs there
# and the figures are the work of each path; its round-trip targets are judged
# on this run. Then across every CPU, where waking a thread on an idle core adds
# a cost that varies from run to run.
bench() {
  build
  local run="$BUILD_DIR/wine-run.sh" exe="$BUILD_DIR/bin/pipe-bench.exe"
  "$run" --server stop 2>/dev/null || true  # a server started elsewhere is not pinned
  taskset -c 0 "$run" --server start
  taskset -c 0 "$run" "$exe"
  "$run" --server stop
  echo
  with_wineserver "$run" "$exe"
}

# A release build (build-release/) of what a host team takes, packed by CPack
# into build/package/. The package step prints the embedded template key.
package() {
  install_packages "${PACKAGES[@]}"
  local allow=OFF
  if [ $# -eq 0 ]; then
    allow=ON
    cat <<'BANNER'
run.sh package: no product keys given, so this release embeds the DEVELOPMENT
keys, which are public: the package is marked -devkeys and must not ship.
Pass the product's keys (see README, "Build-time configuration") for a
release package.
BANNER
  fi
  # Keys come from this run's arguments only, never from an earlier run's
  # cache; -DVANTU_ALLOW_DEVELOPMENT_KEYS=ON among the arguments wins.
  cmake -S "$ROOT" -B "$RELEASE_DIR" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw64.cmake" \
        -UVANTU_TEMPLATE_PUBLIC_KEY -UVANTU_SEALING_KEY -UVANTU_HANDSHAKE_KEY_SEED -UVANTU_HANDSHAKE_MASTER_KEY \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
        -DVANTU_ALLOW_DEVELOPMENT_KEYS=$allow "$@" >/dev/null
  cmake --build "$RELEASE_DIR" -j"$JOBS" --target VantuToast vantu-sign pathwarden-services
  cpack --config "$RELEASE_DIR/CPackConfig.cmake" -B "$BUILD_DIR/package"
}

demo() {
  echo "== VantuToast.dll: exports, and imports (Windows system DLLs only)"
  x86_64-w64-mingw32-objdump -p "$BUILD_DIR/bin/VantuToast.dll" \
    | sed -n -e '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' -e '/DLL Name/p'
  # Work folder as the prefix sees it (drive Z: is the Unix root).
  mkdir -p "$BUILD_DIR/demo"
  "$BUILD_DIR/wine-run.sh" "$BUILD_DIR/bin/vantu-demo.exe" \
    --templates "Z:$BUILD_DIR/samples" --work "Z:$BUILD_DIR/demo"
}

# ---------------------------------------------------------------------------
# ./run.sh check
# ---------------------------------------------------------------------------
build_clang() {
  install_packages "${PACKAGES[@]}" "${CHECK_PACKAGES[@]}"
  cmake -S "$ROOT" -B "$CLANG_DIR" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-clang.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$CLANG_DIR" -j"$(nproc)"
}

# The lock annotations reach clang's analysis: a probe compiles as it is and
# fails, on each of its three mistakes, when they are switched on.
lock_analysis() {
  echo "== lock analysis: annotations of src/base/Lock.h reach -Wthread-safety"
  local gcc_dir cxx probe="$ROOT/cmake/checks/lock-analysis-probe.cpp" out
  gcc_dir=$(ls -d /usr/lib/gcc/x86_64-w64-mingw32/*-posix | sort -V | tail -1)
  cxx="$gcc_dir/include/c++"
  local flags=(--target=x86_64-w64-mingw32 --sysroot=/usr/x86_64-w64-mingw32 -nostdinc++
               -isystem "$cxx" -isystem "$cxx/x86_64-w64-mingw32" -std=c++17 -I"$ROOT/src"
               -Wall -Wextra -Werror -Wthread-safety -Wthread-safety-beta -fsyntax-only)
  if ! clang++-19 "${flags[@]}" "$probe"; then
    echo "lock analysis: the correct probe does not compile" >&2; return 1
  fi
  out=$(clang++-19 "${flags[@]}" -DVANTU_PROBE_MISTAKE "$probe" 2>&1) && {
    echo "lock analysis: the probe's mistakes compiled" >&2; return 1; }
  local expect
  for expect in "reading variable 'm_count' requires holding mutex 'm_mutex'" \
                "calling function 'AddLocked' requires holding mutex 'm_mutex'" \
                "cannot call function 'Add' while mutex 'm_mutex' is held"; do
    if ! grep -qF "$expect" <<<"$out"; then
      echo "lock analysis: no diagnostic \"$expect\"; got:" >&2
      echo "$out" >&2
      return 1
    fi
  done
  echo "three mistakes found, none in the correct code"
}

# A DLL exports exactly CreateVantuToastObject and imports only DLLs that
# Windows itself provides: those Wine implements as system DLLs, and API sets.
dll_boundary() {
  local dll=$1 exports imports bad="" name
  local system_dir=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
  exports=$(llvm-readobj-19 --coff-exports "$dll" | sed -n 's/^ *Name: //p')
  imports=$(llvm-readobj-19 --coff-imports "$dll" | sed -n 's/^ *Name: \(.*\.dll\)$/\1/Ip' | sort -u)
  if [ "$exports" != "CreateVantuToastObject" ]; then
    echo "$dll exports: ${exports:-nothing} (expected CreateVantuToastObject only)" >&2
    return 1
  fi
  for name in $imports; do
    # API set names (api-ms-win-..., ext-ms-win-...) are contracts that the
    # Windows loader resolves to its own DLLs.
    case "${name,,}" in
      api-ms-win-*.dll|ext-ms-win-*.dll) continue ;;
    esac
    [ -f "$system_dir/${name,,}" ] || bad+=" $name"
  done
  if [ -n "$bad" ]; then
    echo "$dll imports non-system DLLs:$bad" >&2
    return 1
  fi
  echo "$(basename "$(dirname "$(dirname "$dll")")")/bin/$(basename "$dll"): exports CreateVantuToastObject; imports" $imports
}

# The clang DLL's PDB: types, line information and the DLL's own symbols, and
# the GUID and age that the DLL's CodeView debug record names.
pdb_check() {
  local dll="$CLANG_DIR/bin/VantuToast.dll" pdb="$CLANG_DIR/bin/VantuToast.pdb"
  echo "== $(basename "$pdb"): what a Windows debugger needs"
  [ -f "$pdb" ] || { echo "no $pdb" >&2; return 1; }
  local record summary guid age pdb_guid pdb_age pdb_name
  record=$(llvm-readobj-19 --coff-debug-directory "$dll")
  guid=$(sed -n 's/^ *PDBGUID: *\(.*\)$/\1/p' <<<"$record" | tr -d '{}' | tr a-f A-F)
  age=$(sed -n 's/^ *PDBAge: *\([0-9]*\).*$/\1/p' <<<"$record")
  pdb_name=$(sed -n 's/^ *PDBFileName: *\(.*\)$/\1/p' <<<"$record")
  summary=$(llvm-pdbutil-19 dump --summary "$pdb")
  pdb_guid=$(sed -n 's/^ *GUID: *\(.*\)$/\1/p' <<<"$summary" | tr -d '{}' | tr a-f A-F)
  pdb_age=$(sed -n 's/^ *Age: *\([0-9]*\).*$/\1/p' <<<"$summary")
  local status=0
  if [ -z "$guid" ] || [ "$guid" != "$pdb_guid" ] || [ "$age" != "$pdb_age" ]; then
    echo "PDB does not match the DLL: DLL names GUID $guid age $age, PDB has GUID $pdb_guid age $pdb_age" >&2
    status=1
  fi
  case "$pdb_name" in
    *VantuToast.pdb) ;;
    *) echo "the DLL's debug record names \"$pdb_name\", not VantuToast.pdb" >&2; status=1 ;;
  esac
  local types lines procs publics
  types=$(llvm-pdbutil-19 dump --types "$pdb" | grep -c 'LF_CLASS\|LF_STRUCTURE' || true)
  # Line entries under the blocks of one of the DLL's own source files.
  lines=$(llvm-pdbutil-19 dump --l "$pdb" | awk '/^[^ ]/ { f = ($0 ~ /src\/VantuToast\/VantuToast\.cpp /) }
            f && /line\/addr entries = / { n += $NF } END { print n + 0 }')
  procs=$(llvm-pdbutil-19 dump --symbols "$pdb" | grep -c 'S_GPROC32\|S_LPROC32' || true)
  publics=$(llvm-pdbutil-19 dump --publics "$pdb" | grep -c '`CreateVantuToastObject`' || true)
  if [ "$types" -lt 100 ] || [ "$lines" -lt 10 ] || [ "$procs" -lt 100 ] || [ "$publics" -ne 1 ]; then
    echo "PDB incomplete: $types class types, line entries of VantuToast.cpp: $lines, $procs procedures," \
         "public CreateVantuToastObject: $publics" >&2
    status=1
  fi
  echo "GUID {$pdb_guid} age $pdb_age as the DLL's record names ($pdb_name);" \
       "$types class types, $procs procedures, $lines line entries for VantuToast.cpp"
  return $status
}

# clang-tidy (checks in .clang-tidy) over the library, companions and
# stand-ins as build-clang compiles them, each source file once: any finding
# fails.
tidy() {
  echo "== clang-tidy: library, companions, stand-ins"
  local log="$CLANG_DIR/clang-tidy.log"
  local tidy_ok=1
  run-clang-tidy-19 -p "$CLANG_DIR" -quiet -j"$(nproc)" -clang-tidy-binary clang-tidy-19 \
    "^$ROOT/(src|ZnCryptoLib|sim|tools)/" >"$log" 2>&1 || tidy_ok=0
  # One line per finding: path:line:col: check: message
  local findings
  findings=$(sed -n -E "s|^$ROOT/([^:]+:[0-9]+:[0-9]+): (warning\|error): (.*) \[([a-z][^],]*)[^]]*\]$|\1: \4: \3|p" "$log" | sort -u)
  if [ -n "$findings" ]; then
    printf '%s\n' "$findings" >&2
    echo "clang-tidy: findings (full log: $log)" >&2
    return 1
  fi
  if [ $tidy_ok = 0 ]; then
    cat "$log" >&2
    echo "clang-tidy failed (full log: $log)" >&2
    return 1
  fi
  echo "no findings in $(grep -c '^\[ *[0-9]*/' "$log") files"
}

check() {
  local status=0
  build
  build_clang
  lock_analysis || status=1
  echo "== DLL boundaries (GCC and clang)"
  dll_boundary "$BUILD_DIR/bin/VantuToast.dll" || status=1
  dll_boundary "$CLANG_DIR/bin/VantuToast.dll" || status=1
  pdb_check || status=1
  tidy || status=1
  echo "== Windows suite of the clang build"
  BUILD_DIR="$CLANG_DIR" with_wineserver windows_tests || status=1
  return $status
}

cmd=${1:-}
[ $# -gt 0 ] && shift
case "$cmd" in
  demo)    build demo_programs; with_wineserver demo ;;
  test)    test_all ;;
  package) package "$@" ;;
  soak)    build; with_wineserver soak ;;
  fuzz)    fuzz "$@" ;;
  seeds)   seeds ;;
  bench)   bench ;;
  check)   check ;;
  build)   build ;;
  *) cat >&2 <<USAGE
usage: $0 COMMAND
  demo                    build what the demo needs and run it
  test                    build everything, run every test
  package [CMAKE-ARGS...] release build and zip package in build/package/
  soak                    run the soak test only
  fuzz [SECONDS [TARGET...]]  run the fuzz targets
  seeds                   rewrite the fuzz seed corpora
  bench                   run the pipe transport benchmark
  check                   clang build, lock analysis, PDB, clang-tidy, its test suite
  build                   build only
USAGE
     exit 2 ;;
esac
