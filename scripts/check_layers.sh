#!/usr/bin/env bash
# Fails when a source file includes a header of a higher layer. The layers,
# from the top: src/module.cpp, limiters/, bridge/, frame/, and at the bottom
# engine/ and executor/, which include neither each other nor anything above,
# with redis_store/ (a shared limiter's counts on a Redis server) on the same
# floor: it may use engine/ and executor/, and neither of them uses it.
set -euo pipefail
cd "$(dirname "$0")/../src"

# folder: the folders its files must not include
declare -A forbidden=(
  [limiters]=""
  [bridge]="limiters"
  [frame]="limiters bridge"
  [engine]="limiters bridge frame executor redis_store"
  [executor]="limiters bridge frame engine redis_store"
  [redis_store]="limiters bridge frame"
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
