#!/usr/bin/env bash
# A configure against an omniORB version that zk has not been verified on stops with one clear
# message, and -DZK_OMNIORB_UNVERIFIED=ON lets it go on past that check.
#   omniorb_version_test.sh SOURCE_DIR
set -u
source_dir=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
status=0

# omniORB 4.3.99 as pkg-config would describe it, found before the installed one.
mkdir -p "$tmp/pc"
sed 's/^Version:.*/Version: 4.3.99/; /^Requires:/d' \
  "$(pkg-config --variable=pcfiledir omniORB4)/omniORB4.pc" >"$tmp/pc/omniORB4.pc"

configure() {
  PKG_CONFIG_PATH=$tmp/pc cmake -S "$source_dir" -B "$tmp/build" "$@" >"$tmp/out" 2>&1
}

rm -rf "$tmp/build"
if configure; then
  echo "FAIL: the configure with omniORB 4.3.99 went through"
  status=1
fi
expected="zk has not been verified on omniORB 4.3.99 (verified: "
if ! grep -qF "$expected" "$tmp/out"; then
  echo "FAIL: the configure did not say: $expected"
  cat "$tmp/out"
  status=1
fi

rm -rf "$tmp/build"
configure -DZK_OMNIORB_UNVERIFIED=ON
if grep -qF "zk has not been verified" "$tmp/out" || ! grep -qF -- "-- omniORB 4.3.99" "$tmp/out"; then
  echo "FAIL: -DZK_OMNIORB_UNVERIFIED=ON did not let the configure past the version check"
  cat "$tmp/out"
  status=1
fi
[ "$status" -ne 0 ] || echo "unverified omniORB versions refused"
exit "$status"
