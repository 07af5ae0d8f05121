#!/usr/bin/env bash
# Cross-builds the C++ unit tests for 64-bit Windows with mingw-w64 and runs
# them under Wine: the engine's, the executor's, and shared memory's once it
# has a Windows implementation (src/shared_memory/windows/). The Redis store
# and the module's frame are not built for Windows. Exits non-zero when a
# build or a test fails.
#
# Needs the Debian packages mingw-w64 and wine64, and GoogleTest's sources
# (googletest, in /usr/src/googletest): installed when missing, as root.
#
# Environment: WINDOWS_CPP_BUILD_DIR (default build/windows-cpp) holds the
# build, and its wineprefix/ a throwaway Wine prefix; JOBS (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${WINDOWS_CPP_BUILD_DIR:-$root/build/windows-cpp}
jobs=${JOBS:-2}

missing=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(mingw-w64)
command -v wine >/dev/null || missing+=(wine64)
[[ -f /usr/src/googletest/CMakeLists.txt ]] || missing+=(googletest)
if ((${#missing[@]})); then
  echo "installing ${missing[*]}"
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

components=(engine executor)
if compgen -G "$root/src/shared_memory/windows/*.cpp" >/dev/null; then components+=(shared_memory); fi

cmake -S "$root" -B "$build" -G Ninja -Wno-dev -Wno-deprecated \
  --toolchain "$root/cmake/toolchains/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUELLGATE_BUILD_MODULE=OFF -DQUELLGATE_BUILD_TESTS=ON \
  -DQUELLGATE_WERROR=ON -DQUELLGATE_REDIS=OFF >/dev/null
targets=()
for component in "${components[@]}"; do targets+=("${component}_tests"); done
cmake --build "$build" -j"$jobs" --target "${targets[@]}"

export WINEPREFIX=$build/wineprefix WINEDEBUG=-all
failed=()
for target in "${targets[@]}"; do
  printf '\n=== %s under Wine\n' "$target"
  # Wine's console start-up wants a stdin it can read; no test reads it.
  if ! wine "$build/$target.exe" --gtest_brief=1 </dev/null; then failed+=("$target"); fi
done
# Ends the prefix's wineserver, which outlives the tests by a few seconds
# and belongs to this build alone.
wineserver -k 2>/dev/null || true

if ((${#failed[@]})); then
  printf '\nFAILED under Wine: %s\n' "${failed[*]}"
  exit 1
fi
printf '\nall Windows C++ tests passed under Wine (%s)\n' "${components[*]}"
