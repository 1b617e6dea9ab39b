#!/usr/bin/env bash
# One entry point: installs what the build needs, configures, builds and runs.
#   ./run.sh demo   the main job (build, then run the demo)
#   ./run.sh test   build, then run every test under Wine
#   ./run.sh bench  build, then run the pipe transport benchmark
#   ./run.sh build  build only
set -euo pipefail
cd "$(dirname "$0")"

ROOT=$(pwd)
BUILD_DIR="$ROOT/build"
PACKAGES=(cmake g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine64 wine rapidjson-dev googletest)

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
  test)  build; with_wineserver ctest --test-dir "$BUILD_DIR" --output-on-failure -j"$(nproc)" ;;
  demo)  build; with_wineserver demo ;;
  bench) build; with_wineserver "$BUILD_DIR/wine-run.sh" "$BUILD_DIR/bin/pipe-bench.exe" ;;
  *) echo "usage: $0 demo|test|bench|build" >&2; exit 2 ;;
esac
