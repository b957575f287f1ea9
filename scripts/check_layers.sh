#!/usr/bin/env bash
# Fails when a source below the front end (display library, engine, device runtime, object layer)
# includes a header of the front end in app/: the layers point one way, from app/ down. Also fails
# when a source outside the engine's room (engine/) includes one of its headers other than its
# public face: the engine's steps are its own. And fails when a source in one of the folders below
# the engine (module_update/, firmware/, store/, server/, recovery/, support/) includes anything of
# engine/, its face included: the engine uses them, never the other way round.
# Usage: scripts/check_layers.sh [repository root]
set -euo pipefail
root=${1:-$(dirname "$0")/..}
cd "$root"

lib=Updater/UpdaterLib/source
lower_layers=(Updater/Display "$lib/engine" "$lib/module_update" "$lib/firmware" "$lib/store" "$lib/server"
  "$lib/recovery/lpc" "$lib/recovery/imx" "$lib/support" halyard/runtime halyard/objects)
engine_public=(engine/Updater.h engine/Fingerprint.h engine/UpdateOutcome.h engine/DeviceRecord.h
  engine/HistoryRecord.h)
below_engine=("$lib/module_update" "$lib/firmware" "$lib/store" "$lib/server" "$lib/recovery" "$lib/support")
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
# The engine's own headers, from everywhere but the engine and the tests of its steps.
mapfile -t outside_engine < <(find app Updater/Display halyard "$lib" -type f 2>/dev/null \( -name '*.cpp' -o -name '*.h' \) \
  -not -path "$lib/engine/*" | sort)
for source in "${outside_engine[@]}"; do
  while IFS= read -r included; do
    public=0
    for header in "${engine_public[@]}"; do
      [ "$included" = "$header" ] && public=1
    done
    if [ $public -eq 0 ]; then
      echo "$source includes $included, a header internal to the engine" >&2
      status=1
    fi
  done < <(grep -hoE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"engine/[^"]+"' "$source" | sed -E 's/.*"(engine\/[^"]+)"/\1/' || true)
done
# Nothing below the engine includes the engine.
mapfile -t under_engine < <(find "${below_engine[@]}" -type f \( -name '*.cpp' -o -name '*.h' \) 2>/dev/null | sort)
for source in "${under_engine[@]}"; do
  while IFS= read -r included; do
    echo "$source includes $included, but the engine is above it" >&2
    status=1
  done < <(grep -hoE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"engine/[^"]+"' "$source" | sed -E 's/.*"(engine\/[^"]+)"/\1/' || true)
done
[ $status -eq 0 ] && echo "check_layers: ${#lower_sources[@]} sources below app/ include no front-end header"
exit $status
