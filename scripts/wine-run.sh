#!/usr/bin/env bash
# wine-run.sh PREFIX PROGRAM [ARGUMENTS...]: runs a Windows program under Wine in the given prefix.
# CTest calls it as the cross build's emulator; `make test-windows` prepares the prefix and keeps
# the Wine server running around the tests.
set -euo pipefail
export WINEPREFIX=$1
shift
export WINEDEBUG=-all  # otherwise Wine writes its own notices to standard error
unset DISPLAY
exec wine "$@"
