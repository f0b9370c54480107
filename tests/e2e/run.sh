#!/usr/bin/env bash
# End-to-end tests: the shipped CorvaneService.exe, installed by hand as a service in a
# throwaway Wine prefix, carries out link requests given as `sc start` arguments. Each scenario
# reads the service's exit code from `sc query` and checks the effects with corvane_probe.
#
#   tests/e2e/run.sh                 uses build/windows/bin (cmake --build --preset windows)
#   CORVANE_WINDOWS_BIN=DIR ...      takes the programs from DIR instead
#   CORVANE_KEEP_PREFIX=1 ...        leaves the prefix in place and prints where it is
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
bin=${CORVANE_WINDOWS_BIN:-$root/build/windows/bin}
source "$root/tests/e2e/service.sh"
# The service's event log texts, as Wine traces them.
service_log=$(mktemp)
export CORVANE_SERVICE_LOG=$service_log
install_service || exit 2
trap 'remove_prefix; rm -f "$service_log" "${tool_output:-}" "${tool_error:-}"' EXIT
mkdir -p "$drive_c/e2e/data"

source "$root/tests/e2e/scenarios.sh"

# ---- Scenarios ----
E='C:\e2e'

# install_service ran CorvaneService.exe -Service (exit code 0x00000000). What it left:
services_key='HKLM\System\CurrentControlSet\Services\CorvaneService'
reg_value() { wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | sed -nE "s/^ +$2 +REG_[A-Z_]+ +//p"; }
reg_default() { wine reg query "$1" /ve 2>/dev/null | tr -d '\r' | sed -nE 's/^ +\(Default\) +REG_[A-Z_]+ +//p'; }
reg_key() { wine reg query "$1" >/dev/null 2>&1 && echo present || echo absent; }
begin service-switch-installs-the-record-and-the-entries
expect "Type" 0x10 "$(reg_value "$services_key" Type)"
expect "Start" 0x3 "$(reg_value "$services_key" Start)"
expect "ErrorControl" 0x1 "$(reg_value "$services_key" ErrorControl)"
expect "ImagePath" '"C:\Corvane\CorvaneService.exe"' "$(reg_value "$services_key" ImagePath)"
expect "DependOnService" RPCSS "$(reg_value "$services_key" DependOnService)"
expect "ObjectName" LocalSystem "$(reg_value "$services_key" ObjectName)"
expect "DisplayName" CorvaneService "$(reg_value "$services_key" DisplayName)"
expect "AppID default" CorvaneService "$(reg_default "HKCR\\AppID\\$service_appid")"
expect "LocalService" CorvaneService "$(reg_value "HKCR\\AppID\\$service_appid" LocalService)"
expect "CorvaneService.EXE AppID" "$service_appid" "$(reg_value 'HKCR\AppID\CorvaneService.EXE' AppID)"
finish

# Event Viewer renders each text through the source's message file, as the probe does.
event_source_key='HKLM\System\CurrentControlSet\Services\EventLog\Application\CorvaneService'
begin service-switch-registers-the-event-source
expect "EventMessageFile" 'REG_EXPAND_SZ C:\Corvane\CorvaneService.exe' "$(wine reg query "$event_source_key" /v EventMessageFile 2>/dev/null | tr -d '\r' | sed -nE 's/^ +EventMessageFile +(REG_[A-Z_]+) +/\1 /p')"
for text in "Service stopped" "Bad service request" "Handler not installed"; do expect "rendering" "[$text]" "$(probe message "$(reg_value "$event_source_key" EventMessageFile)" "$text")"; done
finish

begin file-create-makes-a-hard-link
probe write "$E\\a.txt" alpha
start_service File Create "$E\\a.txt" "$E\\b.txt"
expect "exit code" 0 "$exit_code"
expect "links of a.txt" 2 "$(probe links "$E\\a.txt")"
expect "links of b.txt" 2 "$(probe links "$E\\b.txt")"
expect "fileid of b.txt" "$(probe fileid "$E\\a.txt")" "$(probe fileid "$E\\b.txt")"
expect "content of b.txt" alpha "$(probe read "$E\\b.txt")"
finish

begin file-create-replaces-another-file-at-the-link
probe write "$E\\c.txt" charlie
probe write "$E\\d.txt" delta
probe hardlink "$E\\d-kept.txt" "$E\\d.txt"
start_service File Create "$E\\c.txt" "$E\\d.txt"
expect "exit code" 0 "$exit_code"
expect "fileid of d.txt" "$(probe fileid "$E\\c.txt")" "$(probe fileid "$E\\d.txt")"
expect "content of d.txt" charlie "$(probe read "$E\\d.txt")"
expect "links of c.txt" 2 "$(probe links "$E\\c.txt")"
expect "content of d-kept.txt" delta "$(probe read "$E\\d-kept.txt")"
expect "links of d-kept.txt" 1 "$(probe links "$E\\d-kept.txt")"
expect "temporary names left" "" "$(cd "$drive_c/e2e" && ls -a | grep -i corvane)"
finish

begin file-create-onto-itself-changes-nothing
before_id=$(probe fileid "$E\\a.txt")
start_service File Create "$E\\a.txt" 'C:\E2E\A.TXT'
expect "exit code" 0 "$exit_code"
expect "links of a.txt" 2 "$(probe links "$E\\a.txt")"
expect "fileid of a.txt" "$before_id" "$(probe fileid "$E\\a.txt")"
expect "content of a.txt" alpha "$(probe read "$E\\a.txt")"
finish

begin file-create-with-missing-target-is-file-not-found
probe write "$E\\kept.txt" keep
start_service File Create "$E\\missing.txt" "$E\\kept.txt"
expect "exit code" 2 "$exit_code"
expect "content of kept.txt" keep "$(probe read "$E\\kept.txt")"
expect "links of kept.txt" 1 "$(probe links "$E\\kept.txt")"
finish

begin file-delete-removes-the-link
start_service File Delete - "$E\\b.txt"
expect "exit code" 0 "$exit_code"
expect "b.txt" missing "$(probe exists "$E\\b.txt")"
expect "links of a.txt" 1 "$(probe links "$E\\a.txt")"
expect "content of a.txt" alpha "$(probe read "$E\\a.txt")"
finish

begin file-delete-of-a-missing-path-succeeds
start_service File Delete - "$E\\nothing.txt"
expect "exit code" 0 "$exit_code"
finish

begin drive-create-maps-the-letter
start_service Drive Create "$E\\data" Q:
expect "exit code" 0 "$exit_code"
expect "Q: mapping" '\??\C:\e2e\data' "$(probe dosdevice Q:)"
finish

# A name through a letter that maps a folder is made in that folder, walked from its own volume
# root (Wine's file system would not resolve the letter).
begin file-create-and-delete-through-a-mapped-letter
start_service File Create "$E\\a.txt" 'Q:\through.txt'
expect "exit code" 0 "$exit_code"
expect "fileid of through.txt" "$(probe fileid "$E\\a.txt")" "$(probe fileid "$E\\data\\through.txt")"
start_service File Delete - 'Q:\through.txt'
expect "delete exit code" 0 "$exit_code"
expect "through.txt" missing "$(probe exists "$E\\data\\through.txt")"
finish

begin drive-delete-removes-the-mapping
start_service Drive Delete - Q:
expect "exit code" 0 "$exit_code"
probe dosdevice Q: >/dev/null
expect "probe status for Q: (no mapping)" 1 "$?"
finish

begin drive-delete-of-an-unmapped-letter-is-file-not-found
start_service Drive Delete - R:
expect "exit code" 2 "$exit_code"
finish

begin malformed-kind-is-invalid-parameter
start_service Bogus Create "$E\\a.txt" "$E\\e.txt"
expect "exit code" 87 "$exit_code"
expect "e.txt" missing "$(probe exists "$E\\e.txt")"
expect "links of a.txt" 1 "$(probe links "$E\\a.txt")"
finish

begin malformed-action-is-invalid-parameter
start_service File Bogus "$E\\a.txt" "$E\\e.txt"
expect "exit code" 87 "$exit_code"
expect "e.txt" missing "$(probe exists "$E\\e.txt")"
expect "links of a.txt" 1 "$(probe links "$E\\a.txt")"
finish

begin three-arguments-are-invalid-parameter
start_service File Create "$E\\a.txt"
expect "exit code" 87 "$exit_code"
expect "links of a.txt" 1 "$(probe links "$E\\a.txt")"
finish

begin five-arguments-are-invalid-parameter
start_service File Create "$E\\a.txt" "$E\\e.txt" extra
expect "exit code" 87 "$exit_code"
expect "e.txt" missing "$(probe exists "$E\\e.txt")"
expect "links of a.txt" 1 "$(probe links "$E\\a.txt")"
finish

begin words-are-case-insensitive
start_service file CREATE "$E\\a.txt" "$E\\g.txt"
expect "exit code" 0 "$exit_code"
expect "links of a.txt" 2 "$(probe links "$E\\a.txt")"
expect "fileid of g.txt" "$(probe fileid "$E\\a.txt")" "$(probe fileid "$E\\g.txt")"
finish

# Wine's file system refuses the reparse-point control codes with ERROR_NOT_SUPPORTED, so
# junctions are made and removed only on the simulated machine; here the request must fail
# with that code and leave everything else as it was.
begin folder-create-fails-with-not-supported-and-keeps-both-chains
start_service Folder Create "$E\\j\\target" "$E\\j\\link"
expect "exit code" 50 "$exit_code"
expect "j\\target" directory "$(probe exists "$E\\j\\target")"
expect "j\\link" directory "$(probe exists "$E\\j\\link")"
finish

begin folder-create-onto-a-share-is-refused-and-makes-nothing
start_service Folder Create '\\server\share\dir' "$E\\netjunction\\link"
expect "exit code" 161 "$exit_code"
expect "netjunction" missing "$(probe exists "$E\\netjunction")"
finish

begin folder-delete-of-a-plain-directory-keeps-it
mkdir -p "$drive_c/e2e/plain"
probe write "$E\\plain\\keep.txt" kept
start_service Folder Delete - "$E\\plain"
expect "exit code" 50 "$exit_code"
expect "plain" directory "$(probe exists "$E\\plain")"
expect "content of plain\\keep.txt" kept "$(probe read "$E\\plain\\keep.txt")"
finish

# ---- CorvaneAutoStart: the installed service switched to automatic start ----
cp "$bin/CorvaneAutoStart.exe" "$drive_c/Corvane/CorvaneAutoStart.exe"
tool_output=$(mktemp)
tool_error=$(mktemp)
# Runs the tool with these arguments; sets tool_status, and leaves its standard output and
# standard error byte for byte in tool_output and tool_error (Wine's own warning about a missing
# wine32 dropped).
run_autostart() {
  wine 'C:\Corvane\CorvaneAutoStart.exe' "$@" </dev/null >"$tool_output" 2>"$tool_error.all"
  tool_status=$?
  grep -av 'wine32' "$tool_error.all" >"$tool_error"
  rm -f "$tool_error.all"
}
record_values() {
  local name
  for name in Type ErrorControl ImagePath ObjectName DisplayName; do
    printf '%s=%s;' "$name" "$(reg_value "$services_key" "$name")"
  done
}

begin autostart-switches-the-service-to-automatic-start
others_before=$(record_values)
for run in first second; do
  run_autostart extra arguments
  expect "$run exit status" 0 "$tool_status"
  expect "$run standard output" 'ChangeServiceConfig SUCCESS' "$(cat "$tool_output")"
  expect "$run output size" 28 "$(wc -c <"$tool_output")"
  expect "$run standard error" "" "$(cat "$tool_error")"
done
expect "Start" 0x2 "$(reg_value "$services_key" Start)"
expect "every other value" "$others_before" "$(record_values)"
# Wine 8 deletes DependOnService when ChangeServiceConfigW is given no dependency list, which
# Windows documents as "unchanged"; the simulation keeps it, as Windows does.
expect "DependOnService (Wine drops it)" "" "$(reg_value "$services_key" DependOnService)"
finish

begin folder-delete-of-a-missing-path-is-path-not-found
start_service Folder Delete - "$E\\nowhere"
expect "exit code" 3 "$exit_code"
finish

begin no-arguments-without-a-link-list-is-file-not-found
rm -f "$drive_c/Corvane/Corvane.dat"
start_service
expect "exit code" 2 "$exit_code"
expect "Corvane.dat" missing "$(probe exists 'C:\Corvane\Corvane.dat')"
finish

# ---- The restore pass: a start without arguments reads C:\Corvane\Corvane.dat ----
L='C:\Corvane\Corvane.dat'

begin restore-maps-stored-drives-and-skips-the-rest
probe writelist "$L" "1,0,S:,$E\\data" "0,0,T:,$E\\data" "1,2,$E\\restored.txt,$E\\a.txt" \
  "1,1,$E\\restored-dir,$E\\data" "7,0,U:,$E\\data"
list_sum=$(md5sum <"$drive_c/Corvane/Corvane.dat")
start_service
expect "exit code" 0 "$exit_code"
expect "S: mapping" '\??\C:\e2e\data' "$(probe dosdevice S:)"
expect "U: mapping" '\??\C:\e2e\data' "$(probe dosdevice U:)"
probe dosdevice T: >/dev/null
expect "probe status for T: (skipped Delete record)" 1 "$?"
expect "restored.txt (skipped File record)" missing "$(probe exists "$E\\restored.txt")"
expect "restored-dir (skipped Folder record)" missing "$(probe exists "$E\\restored-dir")"
expect "list unchanged by the service" "$list_sum" "$(md5sum <"$drive_c/Corvane/Corvane.dat")"
start_service Drive Delete - S:
start_service Drive Delete - U:
finish

begin restore-maps-drive-letters-only
probe writelist "$L" "1,0,FOO,$E\\data" "1,0,AA:,$E\\data" "1,0,p:,$E\\data"
start_service
expect "P: mapping" '\??\C:\e2e\data' "$(probe dosdevice P:)"
expect "FOO and AA: mappings" "" "$(probe dosdevice FOO; probe dosdevice AA:)"
finish

# A second restore finds P: in force already and defines nothing (Wine would refuse a second
# definition with 3; Windows would stack it).
begin restore-twice-finds-the-letter-in-force
start_service
expect "exit code" 0 "$exit_code"
expect "P: mapping" '\??\C:\e2e\data' "$(probe dosdevice P:)"
finish

begin restore-of-the-written-example-bytes
# The one-record list mapping X: onto D:\Data, byte for byte as the writer produces it.
printf '\x01\x00\x01\x00\x00\x00\x00\x00\x00\x00\xff\xfe\xff\x02X\x00:\x00\xff\xfe\xff\x07D\x00:\x00\\\x00D\x00a\x00t\x00a\x00' \
  >"$drive_c/Corvane/Corvane.dat"
start_service
expect "exit code" 0 "$exit_code"
expect "X: mapping" '\??\D:\Data' "$(probe dosdevice X:)"
start_service Drive Delete - X:
finish

begin restore-of-a-taken-letter-goes-on
# V: is mapped first, so the second record for V: finds it taken and leaves it (183, with a
# warning event); the third is still made.
probe writelist "$L" "1,0,V:,$E\\data" "1,0,V:,$E\\other" "1,0,W:,$E\\data"
start_service
expect "exit code" 183 "$exit_code"
expect "warning event" 1 "$(grep -ac 'The drive letter V: was not mapped onto C:\\\\e2e\\\\other, because it stands for \\\\??\\\\C:\\\\e2e\\\\data now' "$service_log")"
expect "V: mapping" '\??\C:\e2e\data' "$(probe dosdevice V:)"
expect "W: mapping" '\??\C:\e2e\data' "$(probe dosdevice W:)"
start_service Drive Delete - V:
start_service Drive Delete - W:
finish

begin restore-of-a-short-list-executes-nothing
# The count promises two records; the file holds one.
printf '\x02\x00\x01\x00\x00\x00\x00\x00\x00\x00\x02Y:\x07C:\\data' >"$drive_c/Corvane/Corvane.dat"
start_service
expect "exit code (a damaged list is no success)" 13 "$exit_code"
probe dosdevice Y: >/dev/null
expect "probe status for Y: (nothing executed)" 1 "$?"
finish

begin restore-of-a-hostile-count-executes-nothing
printf '\xff\xff\xff\xff\xff\xff\x01\x00\x00\x00\x00\x00\x00\x00\x02Y:\x07C:\\data' \
  >"$drive_c/Corvane/Corvane.dat"
start_service
expect "exit code (a damaged list is no success)" 13 "$exit_code"
probe dosdevice Y: >/dev/null
expect "probe status for Y: (nothing executed)" 1 "$?"
finish

begin restore-waits-for-a-list-held-open-elsewhere
# Held without sharing for 7 s: the pass waits for it, then maps (it used to give up with 2).
probe writelist "$L" "1,0,Y:,$E\\data"
hold_output=$(mktemp)
wine "$bin/corvane_probe.exe" hold "$L" 7 >"$hold_output" 2>/dev/null &
holder=$!
for _ in $(seq 50); do grep -q held "$hold_output" && break; sleep 0.2; done
start_service
expect "exit code" 0 "$exit_code"
wait "$holder"
rm -f "$hold_output"
expect "Y: mapping" '\??\C:\e2e\data' "$(probe dosdevice Y:)"
start_service Drive Delete - Y:
finish

# Run by hand with no LocalService value, the program carries out its default request, a Drive
# Delete of the empty device name. It must refuse that name (123) instead of asking Wine, which
# would remove it and then fail every later mapping of this wineserver session with 3.
begin direct-run-refuses-the-empty-device-name
wine reg delete "HKCR\\AppID\\$service_appid" /v LocalService /f >/dev/null 2>&1
wine 'C:\Corvane\CorvaneService.exe' >/dev/null 2>&1
expect "direct run exit code" 123 "$?"
wine reg add "HKCR\\AppID\\$service_appid" /v LocalService /t REG_SZ /d "$service" /f >/dev/null 2>&1
start_service Drive Create "$E\\data" R:
expect "exit code of a later mapping" 0 "$exit_code"
expect "R: after the direct run" '\??\C:\e2e\data' "$(probe dosdevice R:)"
start_service Drive Delete - R:
finish

# How Wine's service control manager treats a service in start-pending, measured with a probe
# service that stays there. Wine delivers a stop (Windows refuses it with 1061, and the
# simulation does as Windows does); and it registers an own-process service's handler under any
# name. Wine's sc has no pause, continue or interrogate.
begin wine-delivers-a-stop-to-a-start-pending-service
probe_log="$drive_c/probe.log"
cp "$bin/corvane_service_probe.exe" "$drive_c/Corvane/"
wine sc create CorvaneServiceProbe binpath= '"C:\Corvane\corvane_service_probe.exe"' >/dev/null 2>&1
wine sc start CorvaneServiceProbe 'C:\probe.log' >/dev/null 2>&1
for _ in $(seq 50); do grep -q registered "$probe_log" 2>/dev/null && break; sleep 0.2; done
probe_lines() { tr -d '\r' <"$probe_log" 2>/dev/null; }
expect "handler under another name" registered "$(probe_lines | head -n 1)"
wine sc stop CorvaneServiceProbe >/dev/null 2>&1
for _ in $(seq 25); do grep -q control "$probe_log" 2>/dev/null && break; sleep 0.2; done
expect "controls the handler received" "control 1" "$(probe_lines | grep control)"
touch "$probe_log.release"
probe_state=
for _ in $(seq 50); do
  probe_state=$(wine sc query CorvaneServiceProbe 2>/dev/null | tr -d '\r' | sed -nE 's/^ *STATE +: ([0-9]+).*/\1/p')
  [[ $probe_state == 1 ]] && break
  sleep 0.2
done
expect "probe state after release" 1 "$probe_state"
finish

# A reboot of the prefix starts the automatic services: the restore pass maps what the list
# holds, without any start by hand.
begin reboot-restores-the-stored-mapping
probe writelist "$L" "1,0,R:,$E\\data"
probe dosdevice R: >/dev/null
expect "probe status for R: before the reboot" 1 "$?"
reboot_prefix
expect "R: mapping after the reboot" '\??\C:\e2e\data' "$(probe dosdevice R:)"
expect "boot start's exit code" 0 "$boot_exit_code"
finish

# Each run has ended before the next begins (start_service waits for its process), so the
# trace of every run is in the log by now, whatever order the machine ran them in.
begin every-run-logs-service-stopped
expect "\"Service stopped\" events" "$service_runs" "$(stopped_events)"
finish

# The front end's own starts of the service come after that count.
# ---- corvane.exe, the front end: requests through the service and the stored mappings ----
cp "$bin/corvane.exe" "$drive_c/Corvane/corvane.exe"
# Runs corvane from C:\e2e with these arguments; sets front_status, and front_output and
# front_error to what it wrote (UTF-8, line ends without CR, Wine's wine32 warning dropped).
run_corvane() {
  local out err
  out=$(mktemp)
  err=$(mktemp)
  (cd "$drive_c/e2e" && wine 'C:\Corvane\corvane.exe' "$@" </dev/null >"$out" 2>"$err")
  front_status=$?
  front_output=$(tr -d '\r' <"$out")
  front_error=$(grep -av wine32 "$err" | tr -d '\r')
  rm -f "$out" "$err"
}
probe write "$E\\front.txt" "front end"

begin frontend-file-create-and-delete
run_corvane create file made.txt front.txt
expect "create status" 0 "$front_status"
expect "create output" "Success. (code 0)" "$front_output"
expect "links of front.txt" 2 "$(probe links "$E\\front.txt")"
run_corvane delete file made.txt
expect "delete status" 0 "$front_status"
expect "made.txt" missing "$(probe exists "$E\\made.txt")"
finish

begin frontend-drive-create-and-delete
run_corvane create drive w: data
expect "create status" 0 "$front_status"
expect "W: mapping" '\??\C:\e2e\data' "$(probe dosdevice W:)"
run_corvane delete drive W:
expect "delete status" 0 "$front_status"
probe dosdevice W: >/dev/null
expect "probe status for W: after the delete" 1 "$?"
finish

# Wine words the system's messages its own way ("File not found." where Windows says "The
# system cannot find the file specified."); the front end shows whatever the system says.
begin frontend-shows-what-the-service-refused
run_corvane create file made.txt missing.txt
expect "missing target status" 2 "$front_status"
expect "missing target error" "File not found. (code 2)" "$front_error"
run_corvane create folder junction data
expect "junction status (Wine has no reparse points)" 50 "$front_status"
expect "junction error" "Request not supported. (code 50)" "$front_error"
run_corvane create file only-a-link
expect "usage status" 87 "$front_status"
expect "usage error" "corvane: create needs a link and a target" "$(head -n 1 <<<"$front_error")"
finish

begin frontend-life-cycle-add-reboot-remove-reboot
run_corvane add drive v: data
expect "add status" 0 "$front_status"
expect "add output" 'V: is mapped onto C:\e2e\data, now and at every boot.' "$front_output"
reboot_prefix
expect "V: after the first reboot" '\??\C:\e2e\data' "$(probe dosdevice V:)"
run_corvane list
expect "list status" 0 "$front_status"
expect "list line" 'Create Drive V: -> C:\e2e\data  (mapped now)' "$(grep 'V:' <<<"$front_output")"
run_corvane remove drive V:
expect "remove status" 0 "$front_status"
expect "remove output" $'V: is no longer stored and no longer mapped.\nSuccess. (code 0)' "$front_output"
reboot_prefix
probe dosdevice V: >/dev/null
expect "probe status for V: after the second reboot" 1 "$?"
run_corvane list
expect "V: in the list" "" "$(grep 'V:' <<<"$front_output")"
finish

# A label is Explorer's name for the letter, under HKLM; the list keeps it in a trailer that the
# boot pass reads past.
icons='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Explorer\DriveIcons'
begin frontend-label-survives-a-reboot-and-goes-with-remove
run_corvane add drive t: data --label 'My Data'
expect "add status" 0 "$front_status"
expect "label" 'My Data' "$(reg_default "$icons\\T\\DefaultLabel")"
run_corvane add drive s: data --label Other
reboot_prefix
expect "boot exit code" 0 "$boot_exit_code"
expect "T: after the reboot" '\??\C:\e2e\data' "$(probe dosdevice T:)"
run_corvane list
expect "list line" 'Create Drive T: -> C:\e2e\data  (mapped now)  label "My Data"' "$(grep 'T:' <<<"$front_output")"
wine reg add "$icons\\T\\DefaultIcon" /ve /d 'C:\e2e\t.ico' /f >/dev/null 2>&1
run_corvane remove drive T:
expect "remove status" 0 "$front_status"
expect "DefaultLabel after remove" absent "$(reg_key "$icons\\T\\DefaultLabel")"
expect "DefaultIcon after remove" 'C:\e2e\t.ico' "$(reg_default "$icons\\T\\DefaultIcon")"
run_corvane remove drive S:
expect "S key after remove" absent "$(reg_key "$icons\\S")"
wine reg delete "$icons\\T" /f >/dev/null 2>&1
finish

begin frontend-writes-utf8-to-a-pipe
mkdir -p "$drive_c/e2e/Ünï日本"
run_corvane create drive u: 'Ünï日本'
expect "status" 0 "$front_status"
expect "U: mapping" '\??\C:\e2e\Ünï日本' "$(probe dosdevice U:)"
run_corvane add drive U: 'Ünï日本'
expect "added over its own live mapping (stored, not mapped again)" 0 "$front_status"
run_corvane delete drive U:
run_corvane add drive U: 'Ünï日本'
expect "add output" 'U: is mapped onto C:\e2e\Ünï日本, now and at every boot.' "$front_output"
run_corvane remove drive U:
finish

# What a letter, a file and nothing are now, for a person and as JSON that a parser reads.
begin frontend-shows-letters-and-files
run_corvane create drive p: data
run_corvane show P:
expect "letter" $'P: is a folder mapping: C:\\e2e\\data\n  in force:          \\??\\C:\\e2e\\data' "$front_output"
run_corvane create file shown.txt front.txt
run_corvane show shown.txt --json
expect "file as JSON" "File 2 True" "$(python3 -c 'import json,sys; d=json.load(sys.stdin); print(d["type"], d["linkCount"], d["path"].endswith("shown.txt"))' <<<"$front_output")"
run_corvane delete file shown.txt
run_corvane delete drive P:
run_corvane show P:
expect "undefined letter status" 2 "$front_status"
run_corvane show missing\\x
expect "missing path status" 3 "$front_status"
expect "missing path output" "" "$front_output"
finish

# A letter that is something else now is never mapped over (Wine would refuse with 3; Windows
# would stack the new definition and hide the old), and a drive's target is a folder.
begin frontend-refuses-a-letter-in-use-and-a-target-that-is-no-folder
run_corvane create drive b: data
run_corvane create drive B: 'C:\e2e'
expect "create over a letter in use" 183 "$front_status"
expect "what it says" 'B: is in use: it is a folder mapping (C:\e2e\data). Nothing was changed; choose another letter, or free this one first.' "$(head -n 1 <<<"$front_error")"
run_corvane add drive B: 'C:\e2e'
expect "add over a letter in use" 183 "$front_status"
expect "B: mapping" '\??\C:\e2e\data' "$(probe dosdevice B:)"
run_corvane delete drive B:
expect "a missing target" 0x00000003 "$(exit_code_of 'C:\Corvane\corvane.exe' create drive b: 'C:\e2e\missing')"
expect "a file as target" 0x0000010B "$(exit_code_of 'C:\Corvane\corvane.exe' add drive b: 'C:\e2e\front.txt')"
probe dosdevice B: >/dev/null
expect "probe status for B:" 1 "$?"
finish

# A start argument holds at most 1023 characters: C:\e2e\ and 1017 make one too many.
begin frontend-refuses-an-argument-the-service-cannot-take
run_corvane create drive Y: "$(printf 'd%.0s' {1..1017})"
expect "status" 206 "$front_status"
expect "advice" "A link or target of 1024 characters or more cannot be passed to CorvaneService: a start argument holds at most 1023 characters. Nothing was changed." "$(head -n 1 <<<"$front_error")"
probe dosdevice Y: >/dev/null
expect "probe status for Y:" 1 "$?"
finish

# A list of thousands of records, written as another program would, read back whole through a
# pipe.
begin frontend-lists-thousands-of-records-to-a-pipe
python3 - "$drive_c/Corvane/Corvane.dat" <<'PY'
import struct, sys
def text(s):
    return b"\xff\xfe\xff" + bytes([len(s)]) + s.encode("utf-16-le")
records = b"".join(struct.pack("<ii", 0, 1) + text("C:\\e2e\\j%04d" % n) + text("C:\\e2e\\data")
                   for n in range(3000))
open(sys.argv[1], "wb").write(struct.pack("<H", 3000) + records)
PY
run_corvane list
expect "status" 0 "$front_status"
expect "lines" 3000 "$(grep -c '^Delete Folder C:\\e2e\\j[0-9]\{4\} -> C:\\e2e\\data$' <<<"$front_output")"
expect "last line" 'Delete Folder C:\e2e\j2999 -> C:\e2e\data' "$(tail -n 1 <<<"$front_output")"
finish

# Many corvane at once, as deployment scripts start them. together COMMAND...: starts one
# corvane per COMMAND (its words are the arguments) from C:\e2e, all at once, and waits for each;
# together_status is their exit codes in the order given.
together() {
  local dir command i=0 pids=()
  dir=$(mktemp -d)
  for command in "$@"; do
    # shellcheck disable=SC2086 # the command's words are the arguments
    (cd "$drive_c/e2e" && wine 'C:\Corvane\corvane.exe' $command </dev/null >/dev/null 2>&1
     echo $? >"$dir/$i") &
    pids+=($!)
    i=$((i + 1))
  done
  wait "${pids[@]}"
  together_status=$(for ((j = 0; j < i; j++)); do cat "$dir/$j"; done | tr '\n' ' ')
  rm -rf "$dir"
}
# How many lines of `corvane list` match an extended regular expression.
listed() {
  run_corvane list
  grep -cE "$1" <<<"$front_output"
}
# After a scenario that failed: the letters it used are taken off again (stored and mapped), so
# that the next one starts from none.
clear_letters() {
  local letter
  for letter in "$@"; do
    run_corvane remove drive "$letter:"
    probe dosdevice "$letter:" >/dev/null && run_corvane delete drive "$letter:"
  done
}
# A list of their own: the earlier scenarios left records in theirs.
rm -f "$drive_c/Corvane/Corvane.dat"
letters=(G H I K L M N O)
adds=() removes=()
for letter in "${letters[@]}"; do
  adds+=("add drive $letter: data")
  removes+=("remove drive $letter:")
done
for round in 1 2 3; do
  begin "frontend-eight-adds-at-once-round-$round"
  together "${adds[@]}"
  expect "exit codes" "0 0 0 0 0 0 0 0 " "$together_status"
  for letter in "${letters[@]}"; do
    expect "$letter: mapping" '\??\C:\e2e\data' "$(probe dosdevice "$letter:")"
  done
  expect "stored and mapped" 8 "$(listed '^Create Drive [G-IK-O]: -> C:\\e2e\\data  \(mapped now\)$')"
  run_corvane list --json
  expect "as JSON, mapped now" 8 "$(python3 -c 'import json,sys; print(sum(r["mappedNow"] for r in json.load(sys.stdin)))' <<<"$front_output")"
  finish

  begin "frontend-eight-removes-at-once-round-$round"
  together "${removes[@]}"
  expect "exit codes" "0 0 0 0 0 0 0 0 " "$together_status"
  for letter in "${letters[@]}"; do
    probe dosdevice "$letter:" >/dev/null
    expect "probe status for $letter:" 1 "$?"
  done
  expect "stored" 0 "$(listed '^Create Drive [G-IK-O]:')"
  finish || clear_letters "${letters[@]}"

  begin "frontend-one-letter-added-by-four-at-once-round-$round"
  together "add drive J: data" "add drive J: data" "add drive J: data" "add drive J: data"
  expect "exit codes (the same letter onto the same folder is no error)" "0 0 0 0 " \
    "$together_status"
  expect "stored" 1 "$(listed '^Create Drive J: -> C:\\e2e\\data  \(mapped now\)$')"
  run_corvane remove drive J:
  expect "remove status" 0 "$front_status"
  finish || clear_letters J

  begin "frontend-six-requests-at-once-three-failing-round-$round"
  together "create file made1.txt front.txt" "create file lost1.txt missing.txt" \
    "create file made2.txt front.txt" "create file lost2.txt missing.txt" \
    "create file made3.txt front.txt" "create file lost3.txt missing.txt"
  expect "exit codes" "0 2 0 2 0 2 " "$together_status"
  expect "links of front.txt" 4 "$(probe links "$E\\front.txt")"
  for n in 1 2 3; do
    run_corvane delete file "made$n.txt"
  done
  expect "links of front.txt after the deletes" 1 "$(probe links "$E\\front.txt")"
  finish
done

# A links file (list --json's form) applied twice: the second run changes nothing. test is what a
# detection rule runs; a mapping deleted by hand is found and mapped again.
links_file() {  # FILE LETTER... : drive entries onto C:\e2e\data, and one hard link
  local file=$1 letter entries=""
  shift
  for letter in "$@"; do
    entries+="{\"action\": \"Create\", \"kind\": \"Drive\", \"link\": \"$letter:\", \"target\": \"C:\\\\e2e\\\\data\"},"
  done
  printf '[%s{"action": "Create", "kind": "File", "link": "C:\\\\e2e\\\\applied.txt", "target": "C:\\\\e2e\\\\front.txt"}]\r\n' \
    "$entries" >"$drive_c/e2e/$file"
}
begin frontend-apply-twice-and-test
links_file links.json G H
run_corvane apply links.json --what-if
expect "what-if status" 0 "$front_status"
expect "nothing mapped by --what-if" "" "$(probe dosdevice G:)"
run_corvane apply links.json
expect "apply status" 0 "$front_status"
expect "G:" '\??\C:\e2e\data' "$(probe dosdevice G:)"
expect "links of front.txt" 2 "$(probe links "$E\\front.txt")"
run_corvane apply links.json --json
expect "second apply status" 0 "$front_status"
expect "second apply changes" 3 "$(grep -c '"change": "none"' <<<"$front_output")"
run_corvane test links.json
expect "test status" 0 "$front_status"
run_corvane delete drive H:
run_corvane test links.json
expect "test status after H: was deleted" 1 "$front_status"
expect "what test says" 'Drive H: -> C:\e2e\data: it is not there.' "$(head -n 1 <<<"$front_output")"
run_corvane apply links.json
expect "H: again" '\??\C:\e2e\data' "$(probe dosdevice H:)"
printf '[{"action": "Create", "kind": "Drive", "link": "K:", "target": "C:\\\\e2e\\\\none"}]' >"$drive_c/e2e/bad.json"
run_corvane apply bad.json
expect "bad file status" 3 "$front_status"
expect "nothing mapped from a bad file" "" "$(probe dosdevice K:)"
# A file that others may write (Wine reads its "other" write bit as Everyone's) is refused.
links_file open.json K
chmod o+w "$drive_c/e2e/open.json"
run_corvane apply open.json
expect "others' file status" 5 "$front_status"
expect "nothing mapped from others' file" "" "$(probe dosdevice K:)"
finish

# Four applies at once, of files that overlap without contradicting each other: each succeeds, and
# the union is stored and mapped.
begin frontend-four-applies-at-once
links_file a.json M N
links_file b.json N O
links_file c.json O P
links_file d.json P M
together "apply a.json" "apply b.json" "apply c.json" "apply d.json"
expect "exit codes" "0 0 0 0 " "$together_status"
expect "stored letters" 6 "$(listed '^Create Drive [GHMNOP]:')"
for letter in M N O P; do expect "$letter:" '\??\C:\e2e\data' "$(probe dosdevice "$letter:")"; done
finish

# A second file moves G: and the hard link to new targets and drops H:, whose label was set by
# hand: test --prune finds the drift, apply --prune carries it out, and the label stays.
begin frontend-apply-moves-and-prunes
mkdir -p "$drive_c/e2e/other" && printf 'second' >"$drive_c/e2e/second.txt"
wine reg add "$icons\\H\\DefaultLabel" /ve /d Mine /f >/dev/null 2>&1
links_file moved.json M N O P
sed -i 's/^\[/[{"action": "Create", "kind": "Drive", "link": "G:", "target": "C:\\\\e2e\\\\other"},/; s/front\.txt/second.txt/' "$drive_c/e2e/moved.json"
run_corvane test moved.json --prune
expect "test --prune before" 1 "$front_status"
run_corvane apply moved.json --prune
expect "apply --prune status" 0 "$front_status"
expect "G: moved, one definition" '\??\C:\e2e\other' "$(probe dosdevice G:)"
expect "H: taken off" "" "$(probe dosdevice H:)"
expect "links of second.txt" 2 "$(probe links "$E\\second.txt")"
expect "links of front.txt" 1 "$(probe links "$E\\front.txt")"
expect "stored G:" 1 "$(listed '^Create Drive G: -> C:.e2e.other ')"
expect "H: stored no more" 0 "$(listed '^Create Drive H:')"
expect "the label set by hand" Mine "$(reg_default "$icons\\H\\DefaultLabel")"
run_corvane test moved.json --prune
expect "test --prune after" 0 "$front_status"
links_file mnop.json M N O P
sed -i 's/,{"action": "Create", "kind": "File"[^}]*}//' "$drive_c/e2e/mnop.json"
sed -i 's/^\[/[{"action": "Create", "kind": "Drive", "link": "G:", "target": "C:\\\\e2e\\\\other"},/' "$drive_c/e2e/mnop.json"
run_corvane apply mnop.json --prune
expect "prune of the hard link" 0 "$front_status"
expect "links of second.txt after the prune" 1 "$(probe links "$E\\second.txt")"
wine reg delete "$icons\\H" /f >/dev/null 2>&1
finish

# Machine policy's letters, as Group Policy writes them: mapped and labelled at boot, winning
# over a stored letter, taken off at the next pass once their value goes, while the stored one
# comes back; corvane does not remove a policy letter.
policy_key='HKLM\SOFTWARE\Policies\Corvane'
begin policy-letters-at-boot-and-after-a-change
mkdir -p "$drive_c/e2e/pa" "$drive_c/e2e/pb"
run_corvane add drive W: data
wine reg add "$policy_key\\Drives" /v K: /d 'C:\e2e\pa' /f >/dev/null 2>&1
wine reg add "$policy_key\\Drives" /v W: /d 'C:\e2e\pb' /f >/dev/null 2>&1
wine reg add "$policy_key\\Labels" /v K: /d Projects /f >/dev/null 2>&1
reboot_prefix
expect "boot exit code" 0 "$boot_exit_code"
expect "K: after the reboot" '\??\C:\e2e\pa' "$(probe dosdevice K:)"
expect "K: label" Projects "$(reg_default "$icons\\K\\DefaultLabel")"
expect "W: the policy's" '\??\C:\e2e\pb' "$(probe dosdevice W:)"
run_corvane remove drive W:
expect "remove of a policy letter" 5 "$front_status"
expect "W: unchanged" '\??\C:\e2e\pb' "$(probe dosdevice W:)"
wine reg delete "$policy_key\\Drives" /v K: /f >/dev/null 2>&1
run_corvane restore
expect "restore status" 0 "$front_status"
expect "K: taken off" "" "$(probe dosdevice K:)"
expect "K: label taken off" absent "$(reg_key "$icons\\K\\DefaultLabel")"
expect "W: still the policy's" '\??\C:\e2e\pb' "$(probe dosdevice W:)"
wine reg delete "$policy_key" /f >/dev/null 2>&1
run_corvane restore
expect "W: the stored one back" '\??\C:\e2e\data' "$(probe dosdevice W:)"
run_corvane remove drive W:
expect "remove once the policy is gone" 0 "$front_status"
finish || { wine reg delete "$policy_key" /f >/dev/null 2>&1; clear_letters K W; }

# The list's lock is a file beside it that only SYSTEM and Administrators may open: under Wine,
# which keeps no list, the made file has no permission for others. One held is waited for; one
# whose holder was killed is free at once.
list_lock="$drive_c/Corvane/CorvaneService.LinkList.lock"
hold_lock() {
  hold_output=$(mktemp)
  wine "$bin/corvane_probe.exe" hold 'C:\Corvane\CorvaneService.LinkList.lock' "$1" \
    >"$hold_output" 2>/dev/null &
  holder=$!
  for _ in $(seq 50); do grep -q held "$hold_output" && break; sleep 0.2; done
  rm -f "$hold_output"
}
begin frontend-list-lock-is-a-file-for-administrators-only
expect "permissions of others" "---" "$(stat -c %A "$list_lock" | cut -c 8-10)"
lock_id=$(probe fileid 'C:\Corvane\CorvaneService.LinkList.lock')
hold_lock 3
run_corvane add drive J: data
wait "$holder"
expect "status after a wait" 0 "$front_status"
expect "the same lock file (its own is not made anew)" "$lock_id" \
  "$(probe fileid 'C:\Corvane\CorvaneService.LinkList.lock')"
expect "notice" "The link list C:\Corvane\Corvane.dat is being changed by another corvane; waiting for it to finish." "$front_error"
hold_lock 60
kill -9 "$holder"
wait "$holder" 2>/dev/null
started=$(date +%s)
run_corvane remove drive J:
expect "status after the holder was killed" 0 "$front_status"
expect "notice" "" "$front_error"
expect "waited less than 5 s" yes "$( (( $(date +%s) - started < 5 )) && echo yes || echo no)"
finish || clear_letters J

begin frontend-leaves-only-the-list-and-its-locks-beside-the-programs
expect "files beside the programs" "Corvane.dat CorvaneService.LinkList.lock CorvaneService.Request.lock" \
  "$(ls -A "$drive_c/Corvane" | grep -vi '\.exe$' | paste -sd ' ')"
finish

# Removal, last: -RegServer takes the record and LocalService and keeps the entries;
# -UnregServer leaves HKCR\AppID alone; a second one finds nothing registered.
begin regserver-removes-the-record-and-local-service
expect "exit code" 0x00000000 "$(exit_code_of 'C:\Corvane\CorvaneService.exe' -RegServer)"
expect "record" absent "$(reg_key "$services_key")"
expect "event source" absent "$(reg_key "$event_source_key")"
expect "LocalService" "" "$(reg_value "HKCR\\AppID\\$service_appid" LocalService)"
expect "AppID default" CorvaneService "$(reg_default "HKCR\\AppID\\$service_appid")"
finish

begin unregserver-leaves-only-the-appid-key
expect "exit code" 0x00000000 "$(exit_code_of 'C:\Corvane\CorvaneService.exe' -UnregServer)"
expect "AppID key" present "$(reg_key 'HKCR\AppID')"
expect "our keys" "" "$(wine reg query 'HKCR\AppID' 2>/dev/null | tr -d '\r' | grep -iE "CorvaneService|$service_appid")"
expect "second exit code" 0x80070002 "$(exit_code_of 'C:\Corvane\CorvaneService.exe' -UnregServer)"
finish

begin kiosk-path-is-no-switch
mkdir -p "$drive_c/Self-Service Kiosk" && cp "$bin/CorvaneService.exe" "$drive_c/Self-Service Kiosk/"
kiosk='"C:\Self-Service Kiosk\CorvaneService.exe"'
expect "-Service exit code" 0x00000000 "$(exit_code_of "$kiosk" -Service)"
start_service Drive Create "$E\\data" K:
expect "exit code" 0 "$exit_code"
expect "-UnregServer exit code" 0x00000000 "$(exit_code_of "$kiosk" -UnregServer)"
finish

begin frontend-without-the-service-says-how-to-install-it
expect "exit code" 0x00000424 "$(exit_code_of 'C:\Corvane\corvane.exe' restore)"
run_corvane restore
expect "advice" "The CorvaneService service is not installed. Install Corvane with its package (msiexec /i corvane-VERSION-x64.msi), or from an elevated command prompt with: CorvaneService.exe -Service" "$(head -n 1 <<<"$front_error")"
finish

begin autostart-without-the-service-fails
run_autostart
expect "exit status" 1 "$tool_status"
expect "standard output" "" "$(cat "$tool_output")"
expect "standard error" $'OpenService\n: No error' "$(cat "$tool_error")"
expect "error size" 23 "$(wc -c <"$tool_error")"
finish

# The shipped program carries its registry script as resource "REGISTRY" 101, byte for byte.
begin registry-script-resource-is-the-file
expect "resource size" "$(wc -c <"$root/service/res/CorvaneService.rgs")" \
  "$(probe resource 'C:\Corvane\CorvaneService.exe' REGISTRY 101)"
expect "lower-case type" "$(wc -c <"$root/service/res/CorvaneService.rgs")" \
  "$(probe resource 'C:\Corvane\CorvaneService.exe' registry 101)"
finish

echo "$passed passed, $failed failed"
((failed == 0))
