#!/usr/bin/env bash
# One entry point: installs what the build needs, configures, builds and runs.
#   ./run.sh demo   the main job (build, then run the demo)
#   ./run.sh test   build, then run every test under Wine and the native
#                   sanitizer tests of the format code
#   ./run.sh soak   build, then run only the soak test under Wine
#   ./run.sh fuzz [SECONDS [TARGET...]]  run each fuzz target (or the ones
#                   named) in turn, SECONDS each (default 600)
#   ./run.sh seeds  rewrite the fuzz targets' seed corpora (native/corpus)
#   ./run.sh bench  build, then run the pipe transport benchmark
#   ./run.sh build  build only
set -euo pipefail
cd "$(dirname "$0")"

ROOT=$(pwd)
BUILD_DIR="$ROOT/build"
NATIVE_DIR="$ROOT/build-native"
PACKAGES=(cmake g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine64 wine rapidjson-dev googletest
          clang libclang-rt-14-dev)

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

build() {
  install_packages "${PACKAGES[@]}"
  cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw64.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$BUILD_DIR" -j"$(nproc)"
}

# The Windows-free format code built natively with clang, AddressSanitizer
# and UndefinedBehaviorSanitizer: unit tests and libFuzzer targets.
build_native() {
  install_packages "${PACKAGES[@]}"
  cmake -S "$ROOT/native" -B "$NATIVE_DIR" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
  cmake --build "$NATIVE_DIR" -j"$(nproc)"
}

test_all() {
  local status=0
  build
  build_native
  echo "== native format code under AddressSanitizer and UndefinedBehaviorSanitizer"
  ctest --test-dir "$NATIVE_DIR" --output-on-failure -j"$(nproc)" || status=1
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
  ctest --test-dir "$BUILD_DIR" --output-on-failure -j"$(nproc)" -LE soak || status=1
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
  trap '"$BUILD_DIR/wine-run.sh" --server stop || true' EXIT
  "$@"
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

cmd=${1:-}
case "$cmd" in
  build) build ;;
  test)  test_all ;;
  fuzz)  shift; fuzz "$@" ;;
  seeds) seeds ;;
  soak)  build; with_wineserver soak ;;
  demo)  build; with_wineserver demo ;;
  bench) build; with_wineserver "$BUILD_DIR/wine-run.sh" "$BUILD_DIR/bin/pipe-bench.exe" ;;
  *) echo "usage: $0 demo|test|soak|fuzz [SECONDS]|seeds|bench|build" >&2; exit 2 ;;
esac
