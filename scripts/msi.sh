#!/usr/bin/env bash
# Builds Quorvane_Server.msi and Quorvane_Client.msi (per user), and the
# per-machine client packages Quorvane_ClientMachine64.msi (64-bit Windows)
# and Quorvane_ClientMachine32.msi (32-bit Windows).
#   scripts/msi.sh BIN OUT [VERSION]
# BIN holds Quorvane_SV.exe, Quorvane_Admin.exe, Quorvane_Svc.exe,
# Quorvane_CL32.dll and Quorvane_CL64.dll; VERSION defaults to the one in common/version.h (an
# installer test builds an older package from the same files).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
[ $# -ge 2 ] || { echo "usage: $0 BIN OUT [VERSION]" >&2; exit 2; }
bin=$1 out=$2
version=${3:-$(sed -n 's/^#define QV_VERSION_STRING "\(.*\)"/\1/p' "$ROOT/common/version.h")}
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] || { echo "msi: bad version '$version'" >&2; exit 1; }
for f in Quorvane_SV.exe Quorvane_Admin.exe Quorvane_Svc.exe Quorvane_CL32.dll Quorvane_CL64.dll; do
  [ -f "$bin/$f" ] || { echo "msi: $bin/$f is missing" >&2; exit 1; }
done
mkdir -p "$out"
# wixl takes sources only relative to the folder of the .wxs file.
rel=$(realpath --relative-to="$ROOT/installer" "$bin")

# wixl writes through a temporary file in the working folder.
cd "$out"
wixl -a x64 -D Version="$version" -D Bin="$rel" -o Quorvane_Server.msi "$ROOT/installer/server.wxs"
wixl -a x86 -D Version="$version" -D Bin="$rel" -o Quorvane_Client.msi "$ROOT/installer/client.wxs"
# Active Setup compares versions written with commas.
for bits in 64 32; do
  arch=x64; [ $bits = 32 ] && arch=x86
  wixl -a $arch -D Arch=$bits -D Version="$version" -D SetupVersion="${version//./,}" -D Bin="$rel" \
    -o Quorvane_ClientMachine$bits.msi "$ROOT/installer/client_machine.wxs"
done

# What wixl cannot say: which add-in a machine gets, and an action that removes
# the files the self-update leaves beside the add-in. Their names are only
# known by pattern, and the RemoveFile table's patterns are not honoured
# everywhere, so cmd deletes them (type 34: program in a folder, +64 return
# ignored, +1024 deferred, as the user), just before the files go.
queries() {  # one query a line on standard input
  local q args=()
  while IFS= read -r q; do args+=(-q "$q"); done
  msibuild "$1" "${args[@]}"
}
queries Quorvane_Client.msi <<'SQL'
UPDATE `Component` SET `Condition` = 'VersionNT64' WHERE `Component` = 'AddIn64'
UPDATE `Component` SET `Condition` = 'NOT VersionNT64' WHERE `Component` = 'AddIn32'
INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES ('RemoveUpdateLeftovers', 1122, 'INSTALLDIR', '[SystemFolder]cmd.exe /d /c del /f /q DLo*.tmp Quorvane_CL*.bak')
INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('RemoveUpdateLeftovers', 'REMOVE="ALL"', 3490)
SQL
# The 32-bit machine package puts nothing on 64-bit Windows, whose Remote
# Desktop client would not load its add-in (the tools here cannot write a
# launch condition's Japanese message).
queries Quorvane_ClientMachine32.msi <<'SQL'
UPDATE `Component` SET `Condition` = 'NOT VersionNT64'
SQL
echo "msi: Quorvane_Server.msi, Quorvane_Client.msi, Quorvane_ClientMachine64.msi, Quorvane_ClientMachine32.msi ($version)"
