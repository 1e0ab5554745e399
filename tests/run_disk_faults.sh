#!/usr/bin/env bash
# Runs the disk-fault test at every point: each write, close, sync and rename of
# encrypt, sign, add-signer, revoke, decrypt and save fails once, in turn, with a
# full disk. CTest runs only a sample of the points.
#   tests/run_disk_faults.sh [build folder]      (default build/normal)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/normal}
exe="$build/bin/test_signing_disk_faults_token"
[ -x "$exe" ] || { echo "build test_signing_disk_faults_token in $build first" >&2; exit 2; }
export QT_QPA_PLATFORM=offscreen
TARVI_DISK_FAULTS=all exec "$exe" "$@"
