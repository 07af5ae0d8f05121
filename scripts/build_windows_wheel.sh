#!/usr/bin/env bash
# Cross-builds quellgate-<version>-cp38-abi3-win_amd64.whl with mingw-w64:
# the module links against python3.dll of python.org's embeddable CPython
# 3.8, the oldest supported, so that anything newer than 3.8's stable ABI
# fails the link; the headers are this machine's CPython's (see
# cmake/windows/cross_module.cmake). Prints the wheel's path.
#   scripts/build_windows_wheel.sh [output folder]   (default build/windows/dist)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=${PYTHON:-python3}
build=$root/build/windows
dist=${1:-$build/dist}
source "$root/scripts/embedded_python.sh"

for tool in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-dlltool x86_64-w64-mingw32-objdump; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (Debian: apt-get install mingw-w64)" >&2; exit 1; }
done
embed38=$(embedded_python 3.8 "$build/embed")

rm -rf "$dist" && mkdir -p "$dist"
# The tag names the target, not this machine (_PYTHON_HOST_PLATFORM would
# also make pip fetch Windows builds of the build's own tools).
"$python" -m pip wheel "$root" --no-deps -w "$dist" -q --disable-pip-version-check \
  -C wheel.tags=cp38-abi3-win_amd64 \
  -C cmake.args="--toolchain=$root/cmake/toolchains/mingw-w64-x86_64.cmake" \
  -C cmake.define.QUELLGATE_PYTHON3_DLL="$embed38/python3.dll" \
  -C cmake.define.QUELLGATE_WERROR=ON \
  -C build-dir="$build/wheel" >&2
wheel=$(ls "$dist"/quellgate-*-cp38-abi3-win_amd64.whl)

# What the module takes from elsewhere and gives out: system DLLs and
# python3.dll, and the two entry points.
rm -rf "$build/inspect" && unzip -q "$wheel" quellgate.pyd -d "$build/inspect"
table=$(x86_64-w64-mingw32-objdump -p "$build/inspect/quellgate.pyd")
imports=$(grep -oP 'DLL Name: \K\S+' <<<"$table" | sort -fu)
exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$table" | grep -oP '^\s+\[\s*\d+\]\s+\K\w+$' | sort)
echo "quellgate.pyd imports: $(tr '\n' ' ' <<<"$imports")" >&2
echo "quellgate.pyd exports: $(tr '\n' ' ' <<<"$exports")" >&2
unexpected=$(grep -viE '^(python3|kernel32|ntdll|advapi32|user32|ws2_32|bcrypt|synchronization|api-ms-win-[a-z0-9-]+|msvcrt|ucrtbase)\.dll$' <<<"$imports" || true)
if [ -n "$unexpected" ]; then
  echo "quellgate.pyd needs DLLs that Windows does not have: $unexpected" >&2
  exit 1
fi
if [ "$exports" != "$(printf 'PyInit_pyo3_async_runtimes\nPyInit_quellgate')" ]; then
  echo "quellgate.pyd exports more or less than its two PyInit_ functions" >&2
  exit 1
fi
echo "$wheel"
