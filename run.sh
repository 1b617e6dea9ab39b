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
#   ./run.sh build  build only
set -euo pipefail
cd "$(dirname "$0")"

ROOT=$(pwd)
BUILD_DIR="$ROOT/build"
RELEASE_DIR="$ROOT/build-release"
NATIVE_DIR="$ROOT/build-native"
JOBS=$(nproc)
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
  trap '"$BUILD_DIR/wine-run.sh" --server stop || true' EXIT
  "$@"
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

cmd=${1:-}
[ $# -gt 0 ] && shift
case "$cmd" in
  demo)    build demo_programs; with_wineserver demo ;;
  test)    test_all ;;
  package) package "$@" ;;
  soak)    build; with_wineserver soak ;;
  fuzz)    fuzz "$@" ;;
  seeds)   seeds ;;
  bench)   build; with_wineserver "$BUILD_DIR/wine-run.sh" "$BUILD_DIR/bin/pipe-bench.exe" ;;
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
  build                   build only
USAGE
     exit 2 ;;
esac
