#!/usr/bin/env bash
# Draws the modules' icons (a printer with a status badge) and writes them as
# multi-size .ico files into common/res/. Run it after changing a picture and
# commit the .ico files; the build only reads them.
set -euo pipefail
cd "$(dirname "$0")/.."
out=common/res
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# printer BODY_COLOUR BADGE_DRAW... : a 64x64 printer picture with an optional badge
printer() {
  local name=$1 body=$2; shift 2
  convert -size 64x64 xc:none \
    -stroke '#303030' -strokewidth 2 \
    -fill white   -draw 'rectangle 18,4 46,24' \
    -fill "$body" -draw 'roundrectangle 4,20 60,46 6,6' \
    -fill '#202020' -draw 'rectangle 14,36 50,40' \
    -fill white   -draw 'rectangle 16,38 48,60' \
    -stroke '#909090' -strokewidth 2 -draw 'line 21,46 43,46' -draw 'line 21,52 38,52' \
    "$@" "$tmp/$name.png"
  convert "$tmp/$name.png" -define icon:auto-resize=48,32,16 "$out/$name.ico"
}

# the status badge: a filled circle in the lower right corner
badge=(-stroke white -strokewidth 3 -draw 'circle 48,48 48,62')

# 502: not ready - the whole picture in grey, grey badge
printer taskgray '#a0a0a0' -fill '#7a7a7a' "${badge[@]}" -colorspace Gray
# 503: ready, idle - blue printer with a green badge and a check mark
printer taskready '#3c6eb4' -fill '#22a045' "${badge[@]}" \
  -stroke white -strokewidth 4 -fill none -draw 'polyline 41,48 46,54 55,42'
# 504: working - blue printer with an orange badge and two arrows
printer taskconnect '#3c6eb4' -fill '#f08c00' "${badge[@]}" \
  -stroke white -strokewidth 3 -fill none \
  -draw 'line 40,44 55,44' -draw 'polyline 51,40 55,44 51,48' \
  -draw 'line 41,53 56,53' -draw 'polyline 45,49 41,53 45,57'
# 500: the About box's picture; 501: small icon of the class and the sheet
printer about '#3c6eb4'
printer small '#3c6eb4' -fill '#22a045' "${badge[@]}"
echo "icons written to $out"
