#!/usr/bin/env bash
# Leaves in dist/ what ships: the two programs and both add-ins, stripped,
# with their debug information in dist/symbols/ (each file names its own
# through a debug link), and the two installers. Fails when a deliverable
# imports a DLL that is not the system's, an add-in lacks its undecorated
# VirtualChannelEntry, or a file misses its size goal.
#
# Signing: with QV_SIGN_CERT and QV_SIGN_KEY (PEM files) set, every binary
# and installer is signed (Authenticode).
set -euo pipefail
. "$(dirname "$0")/env.sh"
"$QV_ROOT/scripts/setup.sh"
# Each tree's target "ship" builds what it ships and lists it in ship.txt.
qv_build x64 ship
qv_build x86 ship

DIST=$QV_ROOT/dist
rm -rf "$DIST"
mkdir -p "$DIST/symbols"

# Each client add-in crosses the channel to every PC on update.
CLIENT_GOAL_KB=300
PROGRAM_GOAL_KB=400

ship() {  # build file, tool prefix, exports to check
  local src=$1 tools=$2 exports=${3:-} name
  name=$(basename "$src")
  "$tools-objcopy" --only-keep-debug "$src" "$DIST/symbols/$name.debug"
  "$tools-objcopy" --strip-all --add-gnu-debuglink="$DIST/symbols/$name.debug" "$src" "$DIST/$name"
  cmake -DOBJDUMP="$tools-objdump" -DFILE="$DIST/$name" -DEXPORTS="$exports" \
        -P "$QV_ROOT/cmake/CheckImports.cmake"
}

shipped=0
for arch in x64 x86; do
  [ "$arch" = x64 ] && tools=x86_64-w64-mingw32 || tools=i686-w64-mingw32
  while read -r file exports; do
    [ -n "$file" ] || continue
    ship "$file" "$tools" "$exports"
    shipped=$((shipped + 1))
  done < "$BUILD/$arch/ship.txt"
done
[ $shipped -gt 0 ] || { echo "dist: nothing to ship" >&2; exit 1; }

signing=
if [ -n "${QV_SIGN_CERT:-}" ] || [ -n "${QV_SIGN_KEY:-}" ]; then
  signing=1
  "$QV_ROOT/scripts/sign.sh" "${QV_SIGN_CERT:-}" "${QV_SIGN_KEY:-}" "$DIST"/*.exe "$DIST"/*.dll
fi
"$QV_ROOT/scripts/msi.sh" "$DIST" "$DIST"
[ -z "$signing" ] || "$QV_ROOT/scripts/sign.sh" "$QV_SIGN_CERT" "$QV_SIGN_KEY" "$DIST"/*.msi

over=0
for f in "$DIST"/*.exe "$DIST"/*.dll "$DIST"/*.msi; do
  kb=$(( ($(stat -c %s "$f") + 1023) / 1024 ))
  case "$f" in
    *.dll) goal=$CLIENT_GOAL_KB ;;
    *.exe) goal=$PROGRAM_GOAL_KB ;;
    *)     goal= ;;
  esac
  if [ -z "$goal" ]; then
    printf 'dist: %-20s %5d KB\n' "$(basename "$f")" "$kb"
  elif [ "$kb" -le "$goal" ]; then
    printf 'dist: %-20s %5d KB (goal %d KB) ok\n' "$(basename "$f")" "$kb" "$goal"
  else
    printf 'dist: %-20s %5d KB (goal %d KB) OVER\n' "$(basename "$f")" "$kb" "$goal"
    over=1
  fi
done
[ $over -eq 0 ] || { echo "dist: a deliverable misses its size goal" >&2; exit 1; }
