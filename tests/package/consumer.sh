#!/usr/bin/env bash
# consumer.sh PACKAGE_DIR WORK_DIR TOOLCHAIN WINE_RUN TEMPLATE
# A host team's first use of the package: unpack the one zip in PACKAGE_DIR
# into an empty folder, build its minimal host against its CMake package
# (find_package(VantuToast CONFIG REQUIRED)) with the mingw-w64 toolchain,
# and run it under Wine with the package's own reference services. The host
# must succeed, its DLL having authenticated with the settings service.
set -euo pipefail
package_dir=$1 work=$2 toolchain=$3 run=$4 template=$5

fail() { echo "consumer: $*" >&2; exit 1; }

zips=("$package_dir"/VantuToast-*.zip)
[ ${#zips[@]} -eq 1 ] && [ -f "${zips[0]}" ] || fail "expected one package zip in $package_dir, found: ${zips[*]}"
rm -rf "$work"
mkdir -p "$work/package"
unzip -q "${zips[0]}" -d "$work/package"

echo "== configure and build examples/minimal-host against the package"
# The cross toolchain confines package searches to its sysroot: the package
# is named by VantuToast_DIR.
cmake -S "$work/package/examples/minimal-host" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -DVantuToast_DIR="$work/package/lib/cmake/VantuToast" -DCMAKE_BUILD_TYPE=Release
cmake --build "$work/build"
host="$work/build/minimal-host.exe"
[ -f "$host" ] || fail "no $host"
cmp "$work/package/bin/VantuToast.dll" "$(dirname "$host")/VantuToast.dll" \
  || fail "the build did not copy the package's DLL beside the host"

echo "== run it with the package's services"
printf '{"HowItWorksUrl":"https://www.example.com/how-it-works"}\n' >"$work/settings.json"
"$run" "$work/package/bin/pathwarden-services.exe" --settings "Z:$work/settings.json" --ui-session 1 \
       --events "Z:$work/events.jsonl" --ready-file "Z:$work/ready.txt" --verbose >"$work/services.log" 2>&1 &
services=$!
stop_services() {
  kill -INT "$services" 2>/dev/null || true
  for _ in $(seq 100); do kill -0 "$services" 2>/dev/null || return 0; sleep 0.1; done
  kill "$services" 2>/dev/null || true
  wait "$services" 2>/dev/null || true
}
trap stop_services EXIT
for _ in $(seq 600); do [ -f "$work/ready.txt" ] && break; sleep 0.1; done
[ -f "$work/ready.txt" ] || fail "the services did not get ready: $(cat "$work/services.log")"

# Run from another folder: the host finds the DLL by its own path. Its
# Initialize reads the shortcut target from the package's settings service,
# through the handshake with the keys the package's DLL embeds.
(cd "$work" && "$run" "$host" "Z:$template" 1) || fail "minimal-host failed"
stop_services  # its report is complete once it has stopped
grep -E 'SettingManager: client process [0-9]+ of session [0-9]+ authenticated' "$work/services.log" \
  || fail "the host's DLL never authenticated with the settings service: $(cat "$work/services.log")"
echo "consumer: the package builds and runs a host"
