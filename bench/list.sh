#!/bin/sh
# Runs the listing benchmark: zkls on 100,000 files in every sort order beside `ls -l`, against a
# real naming service and zksvr on 127.0.0.1. Needs about 100,000 inodes in $TMPDIR (or /tmp).
# Build first (cmake --build BUILD --target zklistbench zksvr zkls); this script builds nothing.
# Usage: bench/list.sh [BUILD_DIR]   (default: build)
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
ZK_BIN=$(cd "$build/bin" && pwd)
export ZK_BIN
exec "$build/bin/zklistbench"
