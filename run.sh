#!/usr/bin/env bash
# One entry point: installs what the build needs, configures, builds and runs.
#   ./run.sh demo   the main job (build what the demo needs, then run it)
#   ./run.sh test   build, then run every test under Wine and the native
#                   sanitizer tests of the format code
#   ./run.sh package [CMAKE-ARGS...]  release build (clang, lld) and its
#                   signed zip package in build/package/; without arguments
#                   it embeds the development keys, signs with a development
#                   certificate and is marked -devkeys, with arguments (the
#                   product's keys and -DVANTU_SIGNING_PKCS12=FILE, or
#                   -C keys.cmake; password in VANTU_SIGNING_PASSWORD) they go
#                   to the release configuration
#   ./run.sh soak   build, then run only the soak test under Wine
#   ./run.sh fuzz [SECONDS [TARGET...]]  run each fuzz target (or the ones
#                   named) in turn, SECONDS each (default 600)
#   ./run.sh seeds  rewrite the fuzz targets' seed corpora (native/corpus)
#   ./run.sh bench  build, then run the pipe transport and log file benchmarks
#   ./run.sh check  second compiler and static checks: clang build with the
#                   lock analysis, its Windows suite under Wine, both DLLs'
#                   boundaries, the release package as shipped (PDBs, load
#                   flags, a second build compared, the package tests),
#                   clang-tidy
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
# The release package (./run.sh package) and ./run.sh check need these.
RELEASE_PACKAGES=(clang-19 lld-19 llvm-19 osslsigncode openssl zip unzip)
CHECK_PACKAGES=("${RELEASE_PACKAGES[@]}" clang-tidy-19)

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
# a cost that varies from run to run. The log benchmark follows, on the same
# server.
bench() {
  build
  local run="$BUILD_DIR/wine-run.sh" exe="$BUILD_DIR/bin/pipe-bench.exe"
  "$run" --server stop 2>/dev/null || true  # a server started elsewhere is not pinned
  taskset -c 0 "$run" --server start
  taskset -c 0 "$run" "$exe"
  "$run" --server stop
  echo
  with_wineserver "$run" "$exe"
  echo
  "$run" "$BUILD_DIR/bin/log-bench.exe"  # same server, across every CPU
}

# The release: clang and lld (PDBs, load configuration, reproducible bytes)
# on mingw-w64 GCC's libstdc++, as the clang check build. Its time stamps
# come from the commit.
release_epoch() {
  git -C "$ROOT" log -1 --format=%ct
}

# release_build SOURCE BUILD [CMAKE-ARGS...]: configures and builds the
# shipped binaries. Keys come from this run's arguments only, never from an
# earlier run's cache.
release_build() {
  local source=$1 dir=$2
  shift 2
  SOURCE_DATE_EPOCH=$(release_epoch) cmake -S "$source" -B "$dir" \
        -DCMAKE_TOOLCHAIN_FILE="$source/cmake/toolchain-clang.cmake" \
        -UVANTU_TEMPLATE_PUBLIC_KEY -UVANTU_SEALING_KEY -UVANTU_HANDSHAKE_KEY_SEED -UVANTU_HANDSHAKE_MASTER_KEY \
        -UVANTU_SIGNING_PKCS12 -DCMAKE_BUILD_TYPE=Release -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
        -DVANTU_RELEASE_PACKAGE=ON "$@" >/dev/null
  cmake --build "$dir" -j"$JOBS" --target VantuToast vantu-sign pathwarden-services
}

# build-release/ packed by CPack into build/package/: binaries signed with
# the product's certificate (-DVANTU_SIGNING_PKCS12=FILE, password in
# VANTU_SIGNING_PASSWORD) or a development one made outside the tree.
package() {
  install_packages "${PACKAGES[@]}" "${RELEASE_PACKAGES[@]}"
  local allow=()
  if [ $# -eq 0 ]; then
    allow=(-DVANTU_ALLOW_DEVELOPMENT_KEYS=ON)
    cat <<'BANNER'
run.sh package: no product keys given, so this release embeds the DEVELOPMENT
keys, which are public, and is signed with a development certificate: the
package is marked -devkeys and must not ship. Pass the product's keys and
certificate (see README, "Release package") for a release package.
BANNER
  else
    allow=(-DVANTU_ALLOW_DEVELOPMENT_KEYS=OFF)
  fi
  # -DVANTU_ALLOW_DEVELOPMENT_KEYS=ON among the arguments wins.
  release_build "$ROOT" "$RELEASE_DIR" "${allow[@]}" "$@"
  rm -f "$BUILD_DIR"/package/VantuToast-*.zip "$BUILD_DIR/package/signing-certificate.pem"
  SOURCE_DATE_EPOCH=$(release_epoch) cpack --config "$RELEASE_DIR/CPackConfig.cmake" -B "$BUILD_DIR/package"
  # The certificate that signed it (public), to verify against.
  cp "$RELEASE_DIR/signing-certificate.pem" "$BUILD_DIR/package/"
  local zip
  zip=$(ls "$BUILD_DIR"/package/VantuToast-*.zip)
  echo "== package $zip"
  unzip -p "$zip" SHA256SUMS | sed -n 's|^\([0-9a-f]*\)  bin/VantuToast.dll$|DLL SHA-256 (signed, as shipped): \1|p'
  echo "DLL SHA-256 (as linked, before signing): $(sha256sum "$RELEASE_DIR/bin/VantuToast.dll" | cut -d' ' -f1)"
  sed -n -e 's/^subject=/signing certificate: /p' -e 's/^thumbprint=/thumbprint (SHA-1): /p' \
         -e 's/^certificate=\(.*\)/keys and certificate: \1/p' "$RELEASE_DIR/signing.txt"
  case "$zip" in
    *-devkeys.zip) echo "DEVELOPMENT package: must not ship" ;;
    *) echo "product package" ;;
  esac
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
  # Its suite also tests the release package ./run.sh package made.
  cmake -S "$ROOT" -B "$CLANG_DIR" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-clang.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTU_PACKAGE_DIR="$BUILD_DIR/package" >/dev/null
  cmake --build "$CLANG_DIR" -j"$(nproc)"
}

# The lock annotations reach clang's analysis: a probe compiles as it is and
# fails, on each of its three mistakes, when they are switched on.
lock_analysis() {
  echo "== lock analysis: annotations of base/Lock.h reach -Wthread-safety"
  local gcc_dir cxx probe="$ROOT/cmake/checks/lock-analysis-probe.cpp" out
  gcc_dir=$(ls -d /usr/lib/gcc/x86_64-w64-mingw32/*-posix | sort -V | tail -1)
  cxx="$gcc_dir/include/c++"
  local flags=(--target=x86_64-w64-mingw32 --sysroot=/usr/x86_64-w64-mingw32 -nostdinc++
               -isystem "$cxx" -isystem "$cxx/x86_64-w64-mingw32" -std=c++17 -I"$ROOT"
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

# pdb_check BINARY [DLL]: the PDB beside BINARY is what a Windows debugger
# needs for it: the binary's debug record names it by file name with its
# GUID and age, and it has types, procedures and line information (for the
# DLL also its export and the lines of VantuToast.cpp).
pdb_check() {
  local binary=$1 dll=${2:-}
  local pdb="${binary%.*}.pdb"
  echo "== $(basename "$pdb"): what a Windows debugger needs for $(basename "$binary")"
  [ -f "$pdb" ] || { echo "no $pdb" >&2; return 1; }
  local record summary guid age pdb_guid pdb_age pdb_name
  record=$(llvm-readobj-19 --coff-debug-directory "$binary")
  guid=$(sed -n 's/^ *PDBGUID: *\(.*\)$/\1/p' <<<"$record" | tr -d '{}' | tr a-f A-F)
  age=$(sed -n 's/^ *PDBAge: *\([0-9]*\).*$/\1/p' <<<"$record")
  pdb_name=$(sed -n 's/^ *PDBFileName: *\(.*\)$/\1/p' <<<"$record")
  summary=$(llvm-pdbutil-19 dump --summary "$pdb")
  pdb_guid=$(sed -n 's/^ *GUID: *\(.*\)$/\1/p' <<<"$summary" | tr -d '{}' | tr a-f A-F)
  pdb_age=$(sed -n 's/^ *Age: *\([0-9]*\).*$/\1/p' <<<"$summary")
  local status=0
  if [ -z "$guid" ] || [ "$guid" != "$pdb_guid" ] || [ "$age" != "$pdb_age" ]; then
    echo "PDB does not match $binary: it names GUID $guid age $age, PDB has GUID $pdb_guid age $pdb_age" >&2
    status=1
  fi
  if [ "$pdb_name" != "$(basename "$pdb")" ]; then
    echo "the debug record of $binary names \"$pdb_name\", not $(basename "$pdb")" >&2; status=1
  fi
  local types lines=-1 procs publics=1
  types=$(llvm-pdbutil-19 dump --types "$pdb" | grep -c 'LF_CLASS\|LF_STRUCTURE' || true)
  procs=$(llvm-pdbutil-19 dump --symbols "$pdb" | grep -c 'S_GPROC32\|S_LPROC32' || true)
  if [ -n "$dll" ]; then
    # Line entries under the blocks of one of the DLL's own source files.
    lines=$(llvm-pdbutil-19 dump --l "$pdb" | awk '/^[^ ]/ { f = ($0 ~ /src\/VantuToast\/VantuToast\.cpp /) }
              f && /line\/addr entries = / { n += $NF } END { print n + 0 }')
    publics=$(llvm-pdbutil-19 dump --publics "$pdb" | grep -c '`CreateVantuToastObject`' || true)
  fi
  if [ "$types" -lt 100 ] || { [ -n "$dll" ] && [ "$lines" -lt 10 ]; } || [ "$procs" -lt 100 ] || [ "$publics" -ne 1 ]; then
    echo "PDB incomplete: $types class types, line entries of VantuToast.cpp: $lines, $procs procedures," \
         "public CreateVantuToastObject: $publics" >&2
    status=1
  fi
  echo "GUID {$pdb_guid} age $pdb_age as the record names ($pdb_name); $types class types," \
       "$procs procedures${dll:+, $lines line entries for VantuToast.cpp}"
  return $status
}

# The DLL's imports load from System32 only: its load configuration carries
# the dependent-load flag LOAD_LIBRARY_SEARCH_SYSTEM32 (0x800).
load_flags() {
  local dll=$1 flags
  flags=$(llvm-readobj-19 --coff-load-config "$dll" | sed -n 's/^ *DependentLoadFlags: *//p')
  if [ -z "$flags" ] || [ $((flags & 0x800)) -eq 0 ]; then
    echo "$dll: dependent-load flags ${flags:-absent}, not LOAD_LIBRARY_SEARCH_SYSTEM32" >&2
    return 1
  fi
  echo "$dll: dependent-load flags $flags (System32 only)"
}

# Two release builds of this commit, in two folders, at two times, give the
# same binaries: the second builds a copy of the sources elsewhere.
reproducible() {
  echo "== reproducible release: a second build in another folder"
  local copy="$ROOT/build-repro" status=0 file
  rm -rf "$copy"
  mkdir -p "$copy/source"
  git -C "$ROOT" ls-files -z -c -o --exclude-standard | (cd "$ROOT" && tar --null --ignore-failed-read -T - -cf -) | tar -xf - -C "$copy/source"
  release_build "$copy/source" "$copy/release" -DVANTU_ALLOW_DEVELOPMENT_KEYS=ON >/dev/null
  for file in VantuToast.dll vantu-sign.exe pathwarden-services.exe; do
    if cmp -s "$RELEASE_DIR/bin/$file" "$copy/release/bin/$file"; then
      echo "$file: identical, SHA-256 $(sha256sum <"$copy/release/bin/$file" | cut -d' ' -f1)"
    else
      echo "$file differs between $RELEASE_DIR and $copy/release:" \
           "$(sha256sum "$RELEASE_DIR/bin/$file" "$copy/release/bin/$file")" >&2
      status=1
    fi
  done
  return $status
}

# The release package as shipped: unpacked, each binary's boundary, load
# flags and PDB.
package_check() {
  local zip unpacked="$BUILD_DIR/package-check" status=0 binary
  zip=$(ls "$BUILD_DIR"/package/VantuToast-*.zip)
  rm -rf "$unpacked"
  unzip -q "$zip" -d "$unpacked"
  echo "== the packaged DLL"
  dll_boundary "$unpacked/bin/VantuToast.dll" || status=1
  echo "== dependent-load flags"
  load_flags "$unpacked/bin/VantuToast.dll" || status=1
  load_flags "$CLANG_DIR/bin/VantuToast.dll" || status=1
  # The check itself: GNU ld leaves the GCC build's load configuration empty.
  if load_flags "$BUILD_DIR/bin/VantuToast.dll" 2>/dev/null; then
    echo "load-flag check: accepted the GCC build's DLL, which has no load configuration" >&2
    status=1
  else
    echo "$BUILD_DIR/bin/VantuToast.dll: no dependent-load flags (GNU ld), refused as expected"
  fi
  pdb_check "$unpacked/bin/VantuToast.dll" dll || status=1
  for binary in "$unpacked"/bin/*.exe; do
    pdb_check "$binary" || status=1
  done
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
    "^$ROOT/(base|src|ZnCryptoLib|sim|tools)/" >"$log" 2>&1 || tidy_ok=0
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
  package
  build_clang
  lock_analysis || status=1
  echo "== DLL boundaries (GCC and clang)"
  dll_boundary "$BUILD_DIR/bin/VantuToast.dll" || status=1
  dll_boundary "$CLANG_DIR/bin/VantuToast.dll" || status=1
  package_check || status=1
  reproducible || status=1
  tidy || status=1
  echo "== Windows suite of the clang build, with the release package's tests"
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
