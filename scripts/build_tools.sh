# Sourced by the test scripts. The C++ tests are configured by hand (the
# wheel's build brings its own CMake and Ninja through scikit-build-core).
# Debian 12's cmake is older than the 3.26 the project needs, so when the
# PATH lacks ninja or a new enough cmake, both come from PyPI into a virtual
# environment of the build's own, never into the machine's Python.
# Needs: $python, and the directory for the environment as $1.
install_build_tools() {
  local tools=$1
  if ! command -v ninja >/dev/null 2>&1 ||
    ! cmake --version 2>/dev/null | grep -qE 'version (3\.(2[6-9]|[3-9][0-9])|[4-9])\.'; then
    printf '\n=== installing cmake and ninja into %s\n' "$tools"
    [ -x "$tools/bin/python" ] || "$python" -m venv "$tools"
    "$tools/bin/python" -m pip install -q --disable-pip-version-check cmake ninja
    export PATH="$tools/bin:$PATH"
  fi
}
