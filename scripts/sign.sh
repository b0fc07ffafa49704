#!/usr/bin/env bash
# Signs files in place with an Authenticode signature (SHA-256).
#   scripts/sign.sh CERT.pem KEY.pem FILE...
set -euo pipefail
[ $# -ge 3 ] || { echo "usage: $0 CERT KEY FILE..." >&2; exit 2; }
cert=$1 key=$2
shift 2
[ -f "$cert" ] && [ -f "$key" ] || { echo "sign: certificate '$cert' or key '$key' not found" >&2; exit 1; }
for f in "$@"; do
  if ! osslsigncode sign -certs "$cert" -key "$key" -h sha256 -n "Velmora" \
         -in "$f" -out "$f.signed" >/dev/null; then
    rm -f "$f.signed"
    echo "sign: $f could not be signed" >&2
    exit 1
  fi
  mv "$f.signed" "$f"
  echo "sign: $(basename "$f")"
done
