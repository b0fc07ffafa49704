#!/usr/bin/env bash
# Signs copies of the deliverables (and, with the 32-bit tree built, the two
# installers) with a throwaway certificate, verifies the signatures, and
# checks that verification catches a changed file.
#   signing_test.sh SOURCE_ROOT X64_BUILD_TREE
set -euo pipefail
ROOT=$1 X64=$2
X86=$(dirname "$X64")/x86
WORK=$X64/signing_test
rm -rf "$WORK"
mkdir -p "$WORK/bin"
cd "$WORK"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Velmora test signing" \
  -addext "extendedKeyUsage=codeSigning" -keyout key.pem -out cert.pem 2>/dev/null

cp "$X64/server/Quorvane_SV.exe" "$X64/admin/Quorvane_Admin.exe" "$X64/service/Quorvane_Svc.exe" \
  "$X64/client/Quorvane_CL64.dll" bin/
files=(bin/Quorvane_SV.exe bin/Quorvane_Admin.exe bin/Quorvane_Svc.exe bin/Quorvane_CL64.dll)
if [ -f "$X86/client/Quorvane_CL32.dll" ]; then
  cp "$X86/client/Quorvane_CL32.dll" bin/
  "$ROOT/scripts/msi.sh" "$WORK/bin" "$WORK/msi" >/dev/null
  files+=(bin/Quorvane_CL32.dll msi/Quorvane_Server.msi msi/Quorvane_Client.msi
          msi/Quorvane_ClientMachine64.msi msi/Quorvane_ClientMachine32.msi)
else
  echo "note: the 32-bit tree is not built; the installers are not signed here"
fi

failures=0
verify() { osslsigncode verify -CAfile cert.pem -in "$1" >/dev/null 2>&1; }
"$ROOT/scripts/sign.sh" cert.pem key.pem "${files[@]}"
for f in "${files[@]}"; do
  verify "$f" || { echo "FAIL: $f does not verify"; failures=$((failures + 1)); }
done

# A changed byte must break the signature (the check above can fail).
cp bin/Quorvane_CL64.dll changed.dll
printf '\xff' | dd of=changed.dll bs=1 seek=1024 conv=notrunc 2>/dev/null
verify changed.dll && { echo "FAIL: a changed file still verifies"; failures=$((failures + 1)); }

# Without a usable key nothing is signed and the build script stops.
cp "$X64/client/Quorvane_CL64.dll" unsigned.dll
"$ROOT/scripts/sign.sh" cert.pem missing.pem unsigned.dll 2>/dev/null &&
  { echo "FAIL: signing without a key succeeded"; failures=$((failures + 1)); }
cmp -s unsigned.dll "$X64/client/Quorvane_CL64.dll" || { echo "FAIL: a failed signing changed the file"; failures=$((failures + 1)); }

[ $failures -eq 0 ] || exit 1
echo "signing test passed (${#files[@]} files)"
