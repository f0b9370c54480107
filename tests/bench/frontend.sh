#!/usr/bin/env bash
# The front end's cost, measured under Wine: corvane.exe against the floor (a program that only
# starts the service and polls its status the same way), side by side in one run, in a
# throwaway prefix with CorvaneService installed by its own -Service switch. Prints figures.
#
#   tests/bench/frontend.sh [ROUNDS]     (default 30; needs cmake --build --preset windows)
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
bin=${CORVANE_WINDOWS_BIN:-$root/build/windows/bin}
rounds=${1:-30}
source "$root/tests/e2e/service.sh"
install_service || exit 2
for program in corvane.exe corvane_request_floor.exe corvane_request_bench.exe; do
  cp "$bin/$program" "$drive_c/Corvane/$program" || exit 2
done
mkdir -p "$drive_c/bench"
# corvane.exe's own lines ("Success. (code 0)", what an add, remove or apply did) are left out of the
# figures.
wine 'C:\Corvane\corvane_request_bench.exe' "$rounds" 'C:\Corvane\corvane.exe' \
  'C:\Corvane\corvane_request_floor.exe' 'C:\bench' 2> >(grep -av wine32 >&2) | tr -d '\r' |
  grep -vE '\(code 0\)$|, now and at every boot\.$|is no longer stored|^(mapped|none|removed|stored|created) +(Drive|Folder|File) |^Create Drive [A-Z]: -> '
