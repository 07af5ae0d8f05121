#!/usr/bin/env bash
# Builds quellgate with sanitizers and runs its tests under them:
#   1. the C++ unit tests (engine, executor, and the module's frame in an
#      embedded interpreter) with AddressSanitizer+UBSan, then with
#      ThreadSanitizer;
#   2. the extension with ASan+UBSan, and the whole pytest suite in an
#      interpreter that preloads the sanitizer runtimes;
#   3. the extension with TSan, and the pytest files that drive threads,
#      event loops and the worker pool;
#   4. the leak tests on Debian's debug interpreter (python3-dbg, whose
#      sys.gettotalrefcount counts the module's references too), when it is
#      available and can load the abi3 module.
# Exits non-zero when any step fails. About 10 minutes on 2 cores, builds
# included.
#
# Environment: PYTHON (default python3) builds and runs the extension;
# SANITIZER_BUILD_DIR (default build/sanitizers) holds every build;
# QUELLGATE_WHEEL, an already built abi3 wheel for step 4 (else one is built).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${SANITIZER_BUILD_DIR:-$root/build/sanitizers}
python=${PYTHON:-python3}
suppressions=$root/tests/sanitizers
failures=()
timings=()

step() { printf '\n=== %s\n' "$*"; }

# Runs a named step, records its duration, and notes a failure without
# stopping. The step runs in a subshell with -e in force: called as the left
# side of || its commands would run on past a failed build.
timed() {
  local name=$1 started=$SECONDS status
  shift
  set +e
  (
    set -e
    "$@"
  )
  status=$?
  set -e
  ((status == 0)) || failures+=("$name")
  timings+=("$(printf '%4ds  %s' $((SECONDS - started)) "$name")")
}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_system_packages() {
  local missing=()
  dpkg -s libgtest-dev >/dev/null 2>&1 || missing+=(libgtest-dev)
  dpkg -s libhiredis-dev >/dev/null 2>&1 || missing+=(libhiredis-dev)
  [ -x /usr/bin/redis-server ] || missing+=(redis-server)
  command -v python3-dbg >/dev/null 2>&1 || missing+=(python3-dbg)
  if ((${#missing[@]})); then
    step "installing ${missing[*]}"
    as_root apt-get update -qq || true
    # python3-dbg is optional: without it step 4 is skipped, not failed.
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq libgtest-dev libhiredis-dev redis-server
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq python3-dbg ||
      echo "python3-dbg could not be installed; the debug-interpreter leak run will be skipped"
  fi
}

runtime() { gcc -print-file-name="$1"; }

# --- 1. C++ unit tests ---------------------------------------------------------

build_cpp_tests() {
  local sanitizer=$1 dir=$build/cpp-$1
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUELLGATE_BUILD_MODULE=OFF \
    -DQUELLGATE_BUILD_TESTS=ON -DQUELLGATE_WERROR=ON -DQUELLGATE_SANITIZE="$sanitizer" >/dev/null
  cmake --build "$dir" -j2
}

cpp_tests_under_asan() {
  step "C++ unit tests under AddressSanitizer + UBSan"
  build_cpp_tests address
  # Left out here: GCC 12's ASan allocator takes no lock across fork(), so a
  # child forked while a parent thread is inside malloc can hang in its own
  # first allocations; this test starts threads that allocate in such a child.
  # The plain and the TSan runs keep it.
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1 \
    LSAN_OPTIONS="suppressions=$suppressions/lsan.supp" UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$build/cpp-address" --output-on-failure -j2 --timeout 300 \
    -E '^SharedExecutor\.AForkedChildRacesToBuildItsOwnPoolAndAllCallersShareIt$'
}

cpp_tests_under_tsan() {
  step "C++ unit tests under ThreadSanitizer (three rounds)"
  build_cpp_tests thread
  # die_after_fork=0: the fork tests start threads in a child forked from a
  # threaded parent, which TSan refuses by default; the child is checked all
  # the same.
  TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:die_after_fork=0:suppressions=$suppressions/tsan.supp" \
    ctest --test-dir "$build/cpp-thread" --output-on-failure -j2 --timeout 300 --repeat until-fail:3
}

# --- 2. and 3. the extension under sanitizers --------------------------------

sanitized_venv() {
  local sanitizer=$1 venv=$build/venv-$1
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$root/tests/requirements.txt"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$root" \
    -C cmake.define.QUELLGATE_SANITIZE="$sanitizer" -C cmake.define.QUELLGATE_WERROR=ON \
    -C cmake.build-type=RelWithDebInfo -C build-dir="$build/module-$sanitizer"
}

pytest_under_asan() {
  step "pytest under AddressSanitizer + UBSan"
  sanitized_venv address
  # PYTHONMALLOC=malloc sends the interpreter's own allocations through ASan,
  # so LeakSanitizer checks them at the exit of every interpreter the tests
  # start, child scripts included.
  #
  # intercept_tls_get_addr=0: GCC 12's LeakSanitizer misreads the dynamic TLS
  # range of threads that used a dlopen'ed module's thread_local (the worker
  # threads here), and its tracer then crashes at exit. Without the
  # interception the dynamic TLS blocks are still found as ordinary heap
  # blocks, reachable from each thread's static TLS.
  (cd "$root" &&
    LD_PRELOAD="$(runtime libasan.so):$(runtime libubsan.so)" PYTHONMALLOC=malloc QUELLGATE_SANITIZER=address \
      ASAN_OPTIONS=detect_leaks=1:intercept_tls_get_addr=0:abort_on_error=1:detect_stack_use_after_return=1 \
      LSAN_OPTIONS="suppressions=$suppressions/lsan.supp" UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "$build/venv-address/bin/python" -m pytest tests/python -q -p no:cacheprovider)
}

# The files whose work crosses threads: worker pool, bridge, pending releases.
# Left out: the files that count the process's threads (TSan adds its own),
# and test_faults.py (signal storms, fork and exit in children) whose timing
# TSan's slowdown changes beyond what those tests expect.
TSAN_PYTEST_FILES=(
  tests/python/test_async_methods.py
  tests/python/test_async_cancellation.py
  tests/python/test_async_decorator.py
  tests/python/test_async_concurrency.py
  tests/python/test_async_handoff.py
  tests/python/test_decorator_threads.py
  tests/python/test_decorator_gc.py
  tests/python/test_threads.py
  tests/python/test_rate_limiter.py
  tests/python/test_interrupt.py
  tests/python/test_stress.py
  tests/python/test_leaks.py
)

pytest_under_tsan() {
  step "pytest (threads, loops and workers) under ThreadSanitizer"
  sanitized_venv thread
  (cd "$root" &&
    LD_PRELOAD="$(runtime libtsan.so)" QUELLGATE_SANITIZER=thread \
      TSAN_OPTIONS="halt_on_error=1:die_after_fork=0:suppressions=$suppressions/tsan.supp" \
      "$build/venv-thread/bin/python" -m pytest "${TSAN_PYTEST_FILES[@]}" -q -p no:cacheprovider)
}

# --- 4. the debug interpreter -----------------------------------------------------

plain_wheel() {
  if [ -n "${QUELLGATE_WHEEL:-}" ]; then
    echo "$QUELLGATE_WHEEL"
    return
  fi
  rm -rf "$build/dist"
  "$python" -m pip wheel "$root" --no-deps -w "$build/dist" -q -C build-dir="$build/module-plain" >&2
  ls "$build"/dist/quellgate-*-cp38-abi3-*.whl
}

leaks_on_debug_interpreter() {
  step "leak tests on the debug interpreter"
  if ! command -v python3-dbg >/dev/null 2>&1; then
    echo "skipped: no python3-dbg"
    return 0
  fi
  local venv=$build/venv-dbg wheel
  [ -x "$venv/bin/python" ] || python3-dbg -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$root/tests/requirements.txt"
  wheel=$(plain_wheel)
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$wheel"
  if ! "$venv/bin/python" -c "import sys, quellgate; assert hasattr(sys, 'gettotalrefcount')"; then
    echo "skipped: $("$venv/bin/python" -c 'import sys; print(sys.version)') cannot load the abi3 module"
    return 0
  fi
  (cd "$root" && "$venv/bin/python" -m pytest tests/python/test_leaks*.py -q -p no:cacheprovider)
}

install_system_packages
source "$root/scripts/build_tools.sh"
install_build_tools "$build/tools"
timed "C++ tests (ASan+UBSan)" cpp_tests_under_asan
timed "C++ tests (TSan)" cpp_tests_under_tsan
timed "pytest (ASan+UBSan)" pytest_under_asan
timed "pytest (TSan)" pytest_under_tsan
timed "leak tests (python3-dbg)" leaks_on_debug_interpreter

step "summary"
printf '%s\n' "${timings[@]}"
if ((${#failures[@]})); then
  echo "FAILED: ${failures[*]}"
  exit 1
fi
echo "all sanitizer runs passed"
