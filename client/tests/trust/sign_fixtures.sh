#!/usr/bin/env bash
# Signed files for the update tests, made when the tests are built: two
# throwaway certificates with the same subject (the second a look-alike),
# the simulation library signed with the first, and the newer library
# signed with each, and once with the first and then one byte changed.
#   sign_fixtures.sh SIM_LIBRARY NEWER_LIBRARY OUT_FOLDER
set -euo pipefail
lib=$1 newer=$2 out=$3
rm -rf "$out"
mkdir -p "$out"
cd "$out"
for who in ours lookalike; do
  openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=Velmora test signing/O=Halvren KT" \
    -addext "extendedKeyUsage=codeSigning" -keyout "$who.key" -out "$who.pem" 2>/dev/null
done
sign() {  # cert in out
  osslsigncode sign -certs "$1.pem" -key "$1.key" -h sha256 -n "Velmora" -in "$2" -out "$3" >/dev/null
}
sign ours "$lib" running_signed.dll
sign ours "$newer" newer_ours.dll
sign lookalike "$newer" newer_lookalike.dll
cp newer_ours.dll newer_ours_changed.dll
# A byte of the first section's data, inside what the signature covers.
at=$(( $(stat -c %s newer_ours_changed.dll) / 4 ))
byte=$(od -An -tu1 -j "$at" -N1 newer_ours_changed.dll | tr -d ' ')
printf "\\$(printf '%03o' $(( byte ^ 0xFF )))" | dd of=newer_ours_changed.dll bs=1 seek="$at" conv=notrunc 2>/dev/null
