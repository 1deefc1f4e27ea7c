#!/bin/sh
# Runs the authentication benchmark against a real naming service and zksvr on 127.0.0.1.
# Build first (cmake --build BUILD --target zkauthbench zksvr); this script builds nothing.
# Usage: bench/auth.sh [BUILD_DIR]   (default: build)
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
ZK_BIN=$(cd "$build/bin" && pwd)
export ZK_BIN
exec "$ZK_BIN/zkauthbench"
