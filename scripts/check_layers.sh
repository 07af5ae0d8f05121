#!/usr/bin/env bash
# Fails when a source file includes a header of a higher layer. The layers,
# from the top: src/module.cpp, limiters/, bridge/, frame/, then homes/ (where
# counts live outside the process), and at the bottom engine/, executor/ and
# shared_memory/, which include nothing above. homes/ includes all three of
# those; shared_memory/ may include engine/ (its window arithmetic) and makes
# its own system calls; engine/ and executor/ include neither each other nor
# the store.
set -euo pipefail
cd "$(dirname "$0")/../src"

# folder: the folders its files must not include
declare -A forbidden=(
  [limiters]=""
  [bridge]="limiters"
  [frame]="limiters bridge"
  [homes]="limiters bridge frame"
  [engine]="limiters bridge frame executor homes shared_memory"
  [executor]="limiters bridge frame engine homes shared_memory"
  [shared_memory]="limiters bridge frame executor homes"
)

status=0
for folder in "${!forbidden[@]}"; do
  for higher in ${forbidden[$folder]}; do
    if grep -rn --include='*.cpp' --include='*.hpp' "#include \"$higher/" "$folder"; then
      echo "layering: $folder/ must not include $higher/" >&2
      status=1
    fi
  done
done
# Only the module's entry point sits above the limiters; nothing includes it.
if grep -rn --include='*.cpp' --include='*.hpp' '#include "module' .; then
  echo "layering: nothing includes module.cpp" >&2
  status=1
fi
((status == 0)) && echo "layering: every include points down"
exit "$status"
