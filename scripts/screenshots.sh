#!/usr/bin/env bash
# Takes the frame's screenshots into shots/: the About box of each module, the
# log page with four and with six detail levels, both popup menus, a message
# box, the notify icon in its three pictures and the server's status window. Runs the frame hosts of both
# build trees on a private X display.
set -euo pipefail
. "$(dirname "$0")/env.sh"
"$QV_ROOT/scripts/setup.sh"
qv_build x64 frame_host qv_boxshow qv_statusshow Quorvane_Admin
qv_build x86 frame_host
OUT=$QV_ROOT/shots
mkdir -p "$OUT"
trap qv_down EXIT
qv_up

host() { echo "$BUILD/$1/common/tests/frame/frame_host.exe"; }

# Each host runs in a Wine virtual desktop, which draws the window captions
# and a task bar with the notification area (a bare X display has neither).
W=1024; H=768; BAR=20

shoot() {  # arch action name [stored level] [dialog|tray]
  local arch=$1 action=$2 name=$3 level=${4:-0} what=${5:-dialog}
  xdotool mousemove 700 500 2>/dev/null || true   # where the popup menu opens
  wine explorer /desktop=qvshot,${W}x${H} "$(host "$arch")" "$action" qvshot 7 "$level" >/dev/null 2>&1 &
  local pid=$!
  sleep 4
  if [ "$what" = tray ]; then
    # the right end of the task bar, enlarged
    xwd -root -silent | convert xwd:- -crop 64x${BAR}+$((W - 64))+$((H - BAR)) +repage -scale 400% "$OUT/$name.png"
  else
    # the desktop above the task bar, trimmed to the windows on it
    xwd -root -silent | convert xwd:- -crop ${W}x$((H - BAR))+0+0 +repage -fuzz 3% -trim +repage \
      -bordercolor '#2f6f97' -border 12 "$OUT/$name.png"
  fi
  wait "$pid" || true
  echo "shot: $OUT/$name.png"
}

shoot x64 about about_server
shoot x86 about about_client
shoot x64 settings logpage 0
shoot x64 settings-list logpage_4levels 0
shoot x64 settings-list logpage_6levels 4
shoot x64 menu menu_server
shoot x86 menu menu_client
shoot x64 message messagebox
shoot x64 icon-gray icon_gray 0 tray
shoot x64 icon-ready icon_ready 0 tray
shoot x64 icon-connect icon_connect 0 tray

# The watch thread's message boxes: update question and results, a printer
# the client module failed on.
boxshot() {  # message id, name, [printer]
  wine explorer /desktop=qvshot,${W}x${H} "$BUILD/x64/server/tests/qv_boxshow.exe" "$1" "${3:-}" >/dev/null 2>&1 &
  local pid=$!
  sleep 4
  xwd -root -silent | convert xwd:- -crop ${W}x$((H - BAR))+0+0 +repage -fuzz 3% -trim +repage \
    -bordercolor '#2f6f97' -border 12 "$OUT/$2.png"
  wait "$pid" || true
  echo "shot: $OUT/$2.png"
}
boxshot 11204 box_update_ask
boxshot 11200 box_update_done
boxshot 11101 box_update_swap_error
boxshot 20002 box_printer_failure "Office Laser (redirected 2)"

# The status window with several states (applied, older driver, not a target
# driver, attempts used, retrying, waiting), on a desktop as wide as the
# display: the window widens until every column shows whole.
statusshot() {
  local w=1280 h=600
  wine explorer /desktop=qvstatus,${w}x${h} "$BUILD/x64/server/tests/qv_statusshow.exe" >/dev/null 2>&1 &
  local pid=$!
  sleep 5
  xwd -root -silent | convert xwd:- -crop ${w}x$((h - BAR))+0+0 +repage -fuzz 3% -trim +repage \
    -bordercolor '#2f6f97' -border 12 "$OUT/status_window.png"
  wait "$pid" || true
  echo "shot: $OUT/status_window.png"
}
statusshot

# The administrator tool's settings page, with the service's state at its
# foot (not installed, in this prefix). Escape cancels the sheet.
wine explorer /desktop=qvshot,${W}x${H} "$BUILD/x64/admin/Quorvane_Admin.exe" >/dev/null 2>&1 &
pid=$!
sleep 5
xwd -root -silent | convert xwd:- -crop ${W}x$((H - BAR))+0+0 +repage -fuzz 3% -trim +repage \
  -bordercolor '#2f6f97' -border 12 "$OUT/admin_settings.png"
xdotool key Escape 2>/dev/null || true
wait "$pid" || true
echo "shot: $OUT/admin_settings.png"
