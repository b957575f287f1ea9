#!/usr/bin/env bash
# Fails when a source below the front end (display library, engine, device runtime, object layer)
# includes a header of the front end in app/: the layers point one way, from app/ down.
# Usage: scripts/check_layers.sh [repository root]
set -euo pipefail
root=${1:-$(dirname "$0")/..}
cd "$root"

lower_layers=(Updater/Display Updater/UpdaterLib/source halyard/runtime halyard/objects)
mapfile -t front_end_headers < <(cd app && ls -- *.h *.hpp 2>/dev/null)
existing_layers=()
for layer in "${lower_layers[@]}"; do
  [ -d "$layer" ] && existing_layers+=("$layer")
done
[ ${#existing_layers[@]} -gt 0 ] || { echo "check_layers: none of ${lower_layers[*]} under $PWD" >&2; exit 2; }
mapfile -t lower_sources < <(find "${existing_layers[@]}" -type f \( -name '*.cpp' -o -name '*.h' \) | sort)
if [ ${#front_end_headers[@]} -eq 0 ] || [ ${#lower_sources[@]} -eq 0 ]; then
  echo "check_layers: no front-end headers in app/ or no sources in ${lower_layers[*]}" >&2
  exit 2
fi

status=0
for source in "${lower_sources[@]}"; do
  while IFS= read -r line; do
    included=${line#*\"}
    included=${included%%\"*}
    for header in "${front_end_headers[@]}"; do
      if [ "${included##*/}" = "$header" ] || [[ $included == app/* || $included == */app/* ]]; then
        echo "$source includes front-end header $included" >&2
        status=1
        break
      fi
    done
  done < <(grep -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$source" || true)
done
[ $status -eq 0 ] && echo "check_layers: ${#lower_sources[@]} sources below app/ include no front-end header"
exit $status
