#!/usr/bin/env bash
# The Windows-side end-to-end script, tests/windows/e2e.cmd, under Wine's cmd in a throwaway
# prefix: the programs and the package are copied into its C:, and the script runs as the
# Windows runner runs it. Every step must pass, or be skipped with its reason after the script
# has checked what Wine answers; a message from cmd itself (a line it could not run) fails too,
# since a check on such a line never runs.
#
#   tests/windows/wine.sh         uses build/windows/bin and build/windows/corvane-VERSION-x64.msi
#   CORVANE_KEEP_PREFIX=1 ...     leaves the prefix in place and prints where it is
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
bin=$root/build/windows/bin
script=$root/tests/windows/e2e.cmd
source "$root/tests/e2e/service.sh"

package=$(package_file)
programs=(CorvaneService.exe CorvaneAutoStart.exe corvane.exe corvane_probe.exe)
make_prefix "$package" "${programs[@]/#/$bin/}" || exit 2
work=$(mktemp -d)
trap 'remove_prefix; rm -rf "$work"' EXIT

mkdir -p "$drive_c/corvane-bin"
cp "${programs[@]/#/$bin/}" "$drive_c/corvane-bin/"
cp "$package" "$drive_c/"
cp "$script" "$drive_c/corvane-e2e.cmd"

wine cmd /c 'C:\corvane-e2e.cmd' 'C:\corvane-bin' "C:\\$(basename "$package")" \
  </dev/null >"$work/out" 2>"$work/err"
status=$?
tr -d '\r' <"$work/out" >"$work/log"
cat "$work/log"

problems=()
# Wine's own warning that wine32 is missing is the only thing expected on standard error.
unexpected=$(tr -d '\r' <"$work/err" |
  grep -avE 'wine32|multiarch needs to be enabled|dpkg --add-architecture|apt-get install wine32' || true)
[[ -z $unexpected ]] || problems+=("cmd reported: $(paste -sd ';' <<<"$unexpected")")
((status == 0)) || problems+=("exit status $status")

steps=$(grep -c '^call :begin ' "$script")
pass=$(grep -c '^PASS ' "$work/log")
skip=$(grep -c '^SKIP ' "$work/log")
fail=$(grep -c '^FAIL ' "$work/log")
((fail == 0)) || problems+=("$fail steps failed")
((pass + skip + fail == steps)) || problems+=("$((pass + skip + fail)) step lines for $steps steps")
# A skip names its reason after the step's name: "SKIP NAME: REASON".
bare=$(grep '^SKIP ' "$work/log" | grep -vE '^SKIP [^:]+: .+' || true)
[[ -z $bare ]] || problems+=("a skip without its reason: $bare")
[[ $(tail -n 2 "$work/log" | head -n 1) == "$skip skipped" ]] || problems+=("the skip count line is not \"$skip skipped\"")
[[ $(tail -n 1 "$work/log") == "$pass passed, $fail failed" ]] ||
  problems+=("the last line is not \"$pass passed, $fail failed\"")

if ((${#problems[@]} > 0)); then
  printf 'e2e.cmd under Wine: %s\n' "${problems[@]}" >&2
  exit 1
fi
echo "e2e.cmd under Wine: $pass passed, $skip skipped with their reasons, of $steps steps"
