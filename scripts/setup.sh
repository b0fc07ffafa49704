#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine, once:
# every step checks first and skips what is already there.
set -euo pipefail

PKGS=(cmake make g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine wine64 wine32:i386
      xvfb xauth x11-apps imagemagick xdotool locales fonts-ipafont-gothic
      python3 googletest msitools wixl osslsigncode openssl ccache)

# Outputs are taken whole before they are searched: under pipefail, grep -q
# stopping at its first match would kill the writer and read as "absent".
missing=()
for p in "${PKGS[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ $status == *"install ok installed"* ]] || missing+=("$p")
done

SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  if ! grep -qx i386 <<<"$(dpkg --print-foreign-architectures)"; then
    $SUDO dpkg --add-architecture i386
  fi
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# Japanese locale: the prefix must be created with it so that its ANSI code
# page is 932, as on a Japanese Windows.
if ! grep -qi '^ja_JP\.utf-\?8$' <<<"$(locale -a 2>/dev/null)"; then
  echo "setup: generating ja_JP.UTF-8"
  $SUDO sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
  $SUDO locale-gen >/dev/null
fi
