#!/usr/bin/env bash
# Installs every Debian package that zk needs to build, run and test.
# Idempotent: when everything is present it does nothing and prints nothing.
set -euo pipefail
packages=(
  cmake g++ make
  libomniorb4-dev omniidl libcos4-dev omniorb-idl omniorb-nameserver
  libace-dev libsqlite3-dev sqlite3 libssl-dev libxxhash-dev libsystemd-dev prometheus xxhash
  libgtest-dev googletest
  omniorb tcl-combat
  openssl procps locales tcpdump strace
  pkgconf dpkg-dev lintian systemd man-db groff-base
)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
