#!/usr/bin/env bash
# The Windows-side end-to-end script, tests/windows/e2e.cmd, under Wine's cmd in a throwaway
# prefix: the programs and the package are copied into its C:, and the script runs as the
# Windows runner runs it. Every step must pass, or be skipped with its reason after the script
# has checked what Wine answers; a message from cmd itself (a line it could not run) fails too,
# since a check on such a line never runs. The script's own summary line must agree with its
# PASS/FAIL/SKIP lines and with the steps it declares ("call :step LABEL" lines). Then, as proof
# that it can fail, it runs once more against a copy of the programs without corvane_probe.exe,
# and that run must fail.
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
# The package an upgrade starts from: the same source at a lower version, as the workflow builds it.
older="corvane-0.0.1-x64.msi"
mkdir -p "$drive_c/older"
cmake -DVERSION=0.0.1 -DBIN_DIR="$bin" -DOUTPUT="$drive_c/older/$older" \
  -P "$root/installer/BuildPackage.cmake" >/dev/null || exit 2

path_key='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
path_before=$(wine reg query "$path_key" /v Path 2>/dev/null | tr -d '\r' | sed -nE 's/^ +Path +REG_EXPAND_SZ +//p')

wine cmd /c 'C:\corvane-e2e.cmd' 'C:\corvane-bin' "C:\\$(basename "$package")" "C:\\older\\$older" \
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

steps=$(grep -c '^call :step ' "$script")
pass=$(grep -c '^PASS ' "$work/log")
skip=$(grep -c '^SKIP ' "$work/log")
fail=$(grep -c '^FAIL ' "$work/log")
((fail == 0)) || problems+=("$fail steps failed")
((pass + skip == steps)) || problems+=("$pass passed and $skip skipped for $steps steps")
# A skip names its reason after the step's name: "SKIP NAME: REASON".
bare=$(grep '^SKIP ' "$work/log" | grep -vE '^SKIP [^:]+: .+' || true)
[[ -z $bare ]] || problems+=("a skip without its reason: $bare")
summary="e2e.cmd: $pass passed, $fail failed, $skip skipped of $steps"
[[ $(tail -n 1 "$work/log") == "$summary" ]] || problems+=("the last line is not \"$summary\"")

# The probe's dosdevice answers that the script reads: 1 only for a name with no definition,
# and another code for another failure (here Wine's 3, ERROR_PATH_NOT_FOUND, for a path).
wine "$drive_c/corvane-bin/corvane_probe.exe" dosdevice Q: >/dev/null 2>&1
(($? == 1)) || problems+=("corvane_probe dosdevice Q: (not defined) did not exit 1")
wine "$drive_c/corvane-bin/corvane_probe.exe" dosdevice 'Q:\x' >/dev/null 2>&1
(($? == 3)) || problems+=("corvane_probe dosdevice Q:\x (error 3) did not exit 3")

# The proof run: the same script, programs without the probe. It must get through its steps
# (not stop at its usage) and fail them, with exit code 1 and failures in its summary, each on
# the probe. Wine's uninstall leaves empty entries on the Path, and a Path with several of them
# in a row hides the program from Wine's cmd: the proof starts from the Path as it was.
wine reg add "$path_key" /v Path /t REG_EXPAND_SZ /d "$path_before" /f >/dev/null 2>&1
proof=$drive_c/corvane-bin-noprobe
mkdir -p "$proof"
cp "${programs[@]/#/$bin/}" "$proof/"
rm "$proof/corvane_probe.exe"
wine cmd /c 'C:\corvane-e2e.cmd' 'C:\corvane-bin-noprobe' "C:\\$(basename "$package")" "C:\\older\\$older" \
  </dev/null 2>/dev/null | tr -d '\r' >"$work/proof"
proof_status=${PIPESTATUS[0]}
proof_summary=$(tail -n 1 "$work/proof")
echo "without corvane_probe.exe: exit $proof_status, $proof_summary"
((proof_status == 1)) || problems+=("the run without corvane_probe.exe exited $proof_status, not 1")
[[ $proof_summary =~ ^e2e\.cmd:\ [0-9]+\ passed,\ [1-9][0-9]*\ failed, ]] ||
  problems+=("the run without corvane_probe.exe ends with \"$proof_summary\"")
grep -q '^FAIL drive: corvane create drive: .*corvane_probe dosdevice exited' "$work/proof" ||
  problems+=("without corvane_probe.exe, the drive step does not fail on the probe")
others=$(grep '^FAIL ' "$work/proof" | grep -v 'corvane_probe [a-z]* exited' || true)
[[ -z $others ]] || problems+=("without corvane_probe.exe, other failures: $others")

if ((${#problems[@]} > 0)); then
  printf 'e2e.cmd under Wine: %s\n' "${problems[@]}" >&2
  exit 1
fi
echo "e2e.cmd under Wine: $pass passed, $skip skipped with their reasons, of $steps steps"
