#!/usr/bin/env bash
# Installs whatever the tests need and runs every test: the include layering
# check (scripts/check_layers.sh), the C++ unit tests (CTest; the Redis
# store's run against redis-servers they start themselves), the pytest suite
# on each CPython 3.8-3.13 that pyenv has, all against one built abi3 wheel,
# the MkDocs build of docs/, then the sanitizer runs (scripts/test_sanitizers.sh),
# and the Windows stage under Wine (scripts/test_windows.sh). Exits non-zero
# when any test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/test-all
python=${PYTHON:-python3}
failures=()

step() { printf '\n=== %s\n' "$*"; }

install_system_packages() {
  local missing=()
  dpkg -s libgtest-dev >/dev/null 2>&1 || missing+=(libgtest-dev)
  # The Redis store's tests need Redis support built in and a server to
  # start; without either they fail rather than skip. Installing does not
  # start a server: the tests start their own.
  dpkg -s libhiredis-dev >/dev/null 2>&1 || missing+=(libhiredis-dev)
  [ -x /usr/bin/redis-server ] || missing+=(redis-server)
  # rediss://: OpenSSL to build against, and the openssl command with which
  # the TLS tests make their certificates.
  dpkg -s libssl-dev >/dev/null 2>&1 || missing+=(libssl-dev)
  dpkg -s openssl >/dev/null 2>&1 || missing+=(openssl)
  if ((${#missing[@]})); then
    step "installing ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
  fi
}

run_cpp_tests() {
  step "C++ unit tests"
  cmake -S "$root" -B "$build/cpp" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUELLGATE_BUILD_MODULE=OFF -DQUELLGATE_BUILD_TESTS=ON -DQUELLGATE_WERROR=ON >/dev/null
  cmake --build "$build/cpp" -j2
  ctest --test-dir "$build/cpp" --output-on-failure -j2 --timeout 300 || failures+=("ctest")
}

build_wheel() {
  step "building the abi3 wheel"
  rm -rf "$build/dist"
  "$python" -m pip wheel "$root" --no-deps -w "$build/dist" -q \
    -C cmake.define.QUELLGATE_WERROR=ON -C build-dir="$build/wheel"
  wheel=$(ls "$build"/dist/quellgate-*-cp38-abi3-*.whl)
  echo "$wheel"
}

interpreters() {
  local found=()
  if command -v pyenv >/dev/null 2>&1; then
    local v
    for v in $(pyenv versions --bare 2>/dev/null | grep -E '^3\.(8|9|10|11|12|13)\.[0-9]+$' | sort -V); do
      found+=("$(pyenv root)/versions/$v/bin/python")
    done
  fi
  ((${#found[@]})) || found=("$(command -v "$python")")
  printf '%s\n' "${found[@]}"
}

# A venv per interpreter with the test requirements and the wheel; made one
# after another, so that pip never runs twice at once on its cache.
prepare_venv_for() {
  local interpreter=$1 version venv
  version=$("$interpreter" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  venv=$build/venvs/$version
  {
    [ -x "$venv/bin/python" ] || "$interpreter" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$root/tests/requirements.txt" \
      -r "$root/tests/requirements-typing.txt" -r "$root/tests/requirements-numpy.txt"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$wheel"
  } >&2
  echo "$version"
}

# The suite spends most of its time asleep (waiting for windows to roll over,
# for children, for servers), so two interpreters run it side by side; each
# one's output is kept in a log and shown whole when it ends.
parallel_runs=${QUELLGATE_PARALLEL_PYTEST:-2}

run_pytest_matrix() {
  local versions=() version logs=$build/pytest-logs
  rm -rf "$logs" && mkdir -p "$logs"
  step "preparing a venv per interpreter"
  for interpreter in "$@"; do versions+=("$(prepare_venv_for "$interpreter")"); done
  for version in "${versions[@]}"; do
    while (($(jobs -rp | wc -l) >= parallel_runs)); do wait -n || true; done
    (
      cd "$root"
      status=0
      "$build/venvs/$version/bin/python" -m pytest tests/python -q -p no:cacheprovider >"$logs/$version.log" 2>&1 ||
        status=$?
      echo "$status" >"$logs/$version.status"
    ) &
  done
  wait
  for version in "${versions[@]}"; do
    step "pytest on CPython $version"
    cat "$logs/$version.log"
    [ "$(cat "$logs/$version.status" 2>/dev/null)" = 0 ] || failures+=("pytest $version")
  done
}

install_system_packages
source "$root/scripts/build_tools.sh"
install_build_tools "$build/tools"
step "include layering"
bash "$root/scripts/check_layers.sh" || failures+=("layering")
run_cpp_tests
build_wheel
mapfile -t pythons < <(interpreters)
run_pytest_matrix "${pythons[@]}"

# A real web client of keyed limits, once: gunicorn's workers over shared
# memory and over Redis (bench/web_clients.py).
run_web_clients() {
  local venv=$build/venvs/$("${pythons[-1]}" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  step "eight HTTP clients against a keyed limit under gunicorn"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$root/bench/requirements-web.txt"
  "$venv/bin/python" "$root/bench/web_clients.py" --require-redis
}
run_web_clients || failures+=("web clients")

# The reference site: a broken link, a missing page or a page left out of the
# nav fails the build (mkdocs.yml sets strict). The docs' python blocks ran
# with the pytest matrix (tests/python/test_docs.py).
build_docs() {
  local venv=$build/venvs/$("${pythons[-1]}" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  step "MkDocs reference"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$root/docs/requirements.txt" &&
    "$venv/bin/python" -m mkdocs build --strict --config-file "$root/mkdocs.yml" --site-dir "$build/site"
}
build_docs || failures+=("docs")

step "sanitizer runs"
SANITIZER_BUILD_DIR="$build/sanitizers" QUELLGATE_WHEEL="$wheel" PYTHON="$python" \
  "$root/scripts/test_sanitizers.sh" || failures+=("sanitizers")

# The Windows wheel, cross-built, and its tests under Wine (it installs
# mingw-w64, wine64 and osslsigncode when missing).
step "Windows, under Wine"
PYTHON="$python" "$root/scripts/test_windows.sh" || failures+=("windows")

step "summary"
if ((${#failures[@]})); then
  echo "FAILED: ${failures[*]}"
  exit 1
fi
echo "all test suites passed"
