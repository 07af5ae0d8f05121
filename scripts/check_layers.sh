#!/usr/bin/env bash
# Fails when a source file includes a header of a higher layer. The layers,
# from the top: src/module.cpp, limiters/, bridge/, frame/, then homes/ (where
# counts live outside the process), and at the bottom engine/, executor/,
# shared_memory/ and redis_store/, which include nothing above. homes/
# includes all of those; shared_memory/ may include engine/ (its window
# arithmetic) and makes its own system calls; redis_store/ may include
# engine/ and executor/; engine/ and executor/ include neither each other nor
# the stores.
set -euo pipefail
cd "$(dirname "$0")/../src"

# folder: the folders its files must not include
declare -A forbidden=(
  [limiters]=""
  [bridge]="limiters"
  [frame]="limiters bridge"
  [homes]="limiters bridge frame"
  [engine]="limiters bridge frame executor homes shared_memory redis_store"
  [executor]="limiters bridge frame engine homes shared_memory redis_store"
  [shared_memory]="limiters bridge frame executor homes redis_store"
  [redis_store]="limiters bridge frame homes shared_memory"
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
