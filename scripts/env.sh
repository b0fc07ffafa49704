# Sourced by the other scripts: where the build trees and the Wine prefix live,
# and how to bring up (and take down) the persistent wineserver and a display.
QV_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${BUILD:-$QV_ROOT/build}
case "$BUILD" in /*) ;; *) BUILD=$QV_ROOT/$BUILD ;; esac
export WINEPREFIX=$BUILD/wineprefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
export LANG=ja_JP.UTF-8
export LC_ALL=ja_JP.UTF-8

qv_prefix() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "prefix: creating $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w
  fi
}

# Whether this machine runs 32-bit programs: some kernels refuse 32-bit
# executables (Wine's 32-bit loader then fails with "Exec format error"), and
# then nothing of the 32-bit tree can run here.
qv_can_run32() {
  local loader
  for loader in /usr/lib/wine/wine /usr/lib/i386-linux-gnu/wine/wine /opt/wine-stable/bin/wine; do
    [ -x "$loader" ] && { "$loader" --version >/dev/null 2>&1; return; }
  done
  return 1
}

if ! qv_can_run32 && [ -x /usr/lib/wine/wine64 ]; then
  case ":$PATH:" in *":$QV_ROOT/scripts/wine64:"*) ;; *) PATH=$QV_ROOT/scripts/wine64:$PATH ;; esac
fi

QV_XVFB_PID=
qv_display() {
  local n
  for n in $(seq 90 189); do
    [ -e /tmp/.X$n-lock ] || [ -e /tmp/.X11-unix/X$n ] && continue
    Xvfb :$n -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    QV_XVFB_PID=$!
    for _ in $(seq 50); do [ -e /tmp/.X11-unix/X$n ] && break; sleep 0.1; done
    if kill -0 $QV_XVFB_PID 2>/dev/null; then export DISPLAY=:$n; return 0; fi
  done
  echo "no free X display" >&2; return 1
}

qv_up() {
  qv_prefix
  qv_display
  wineserver -p 2>/dev/null || true   # one may already be running for this prefix
  # Start the prefix's services now, with their output away from any pipe: a
  # service started by the first test would inherit CTest's pipe and keep it
  # open, and CTest would wait for it until its time-out.
  wineboot >/dev/null 2>&1 </dev/null || true
  # The desktop process likewise (common/testsupport/desktop_keeper.cpp).
  local keeper=$BUILD/x64/common/testsupport/qv_desktop_keeper.exe
  [ -f "$keeper" ] && { wine "$keeper" >/dev/null 2>&1 </dev/null & }
  true
}

# Before each tree's tests: the server and its services up again if anything
# ended them, and a program of each bitness run once with its output away from
# any pipe, so that whatever a first 32-bit or 64-bit program starts in the
# background never holds a test's output open.
qv_warm() {
  wineserver -p 2>/dev/null || true
  wineboot >/dev/null 2>&1 </dev/null || true
  wine 'C:\windows\syswow64\cmd.exe' /c exit >/dev/null 2>&1 </dev/null || true
  wine 'C:\windows\system32\cmd.exe' /c exit >/dev/null 2>&1 </dev/null || true
}

qv_down() {
  wineserver -k 2>/dev/null || true
  [ -n "$QV_XVFB_PID" ] && kill "$QV_XVFB_PID" 2>/dev/null || true
}

# Compiles go through ccache where it is installed; paths below the checkout
# count as relative, so that two clones of the tree share their results.
export CCACHE_BASEDIR=$QV_ROOT

qv_configure() {  # arch: x64 | x86
  local arch=$1 tc launcher=()
  [ "$arch" = x64 ] && tc=x86_64 || tc=i686
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  if [ ! -f "$BUILD/$arch/CMakeCache.txt" ]; then
    cmake -S "$QV_ROOT" -B "$BUILD/$arch" -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE:-RelWithDebInfo} \
      -DCMAKE_TOOLCHAIN_FILE="$QV_ROOT/cmake/toolchain-$tc.cmake" "${launcher[@]}" >/dev/null
  fi
}

qv_build() {  # arch [targets...]
  local arch=$1; shift
  qv_configure "$arch"
  local t=()
  for x in "$@"; do t+=(--target "$x"); done
  cmake --build "$BUILD/$arch" -j"$(nproc)" "${t[@]}" -- --no-print-directory
}
