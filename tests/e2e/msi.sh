#!/usr/bin/env bash
# End-to-end tests of the Windows Installer package in a throwaway Wine prefix: what a silent
# install leaves, compared field by field with what the programs' own registration leaves; a
# failed install rolled back; the front end's stored mapping back after a reboot; a major upgrade
# from an older version; a second install; an uninstall that keeps only the link list, and a
# re-install that maps its drives again and puts the administrative template in place, which its
# uninstall takes away; LINKS refused without a full path, taken back by a failed install, applied
# by one that succeeds; a folder the package cannot check refused; and an install into a folder
# that already holds a file. The sequence and the detection scripts are read from the package.
#
#   tests/e2e/msi.sh            uses build/windows/corvane-VERSION-x64.msi and build/windows/bin
#   CORVANE_KEEP_PREFIX=1 ...   leaves the prefix in place and prints where it is
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
bin=$root/build/windows/bin
source "$root/tests/e2e/service.sh"

package=$(package_file)
version=$(package_version)
# Any version below the project's: the package an upgrade starts from.
older_version=0.0.1
if [[ $(printf '%s\n' "$older_version" "$version" | sort -V | head -n 1) != "$older_version" ||
  $older_version == "$version" ]]; then
  echo "the project's version $version must be above $older_version" >&2
  exit 2
fi
make_prefix "$package" "$bin/CorvaneService.exe" "$bin/CorvaneAutoStart.exe" \
  "$bin/corvane.exe" "$bin/corvane_probe.exe" || exit 2
work=$(mktemp -d)
trap 'remove_prefix; rm -rf "$work"' EXIT

# The same source at a lower version; and a variant whose last step fails (corvane.exe with an
# unknown command exits with 87), after the files, the entries and the service record are in.
build_package() {
  cmake -DVERSION="$1" -DBIN_DIR="$bin" -DOUTPUT="$2" ${3:+-DWXS="$3"} \
    -P "$root/installer/BuildPackage.cmake" >/dev/null
}
older_package=$work/corvane-$older_version-x64.msi
failing_package=$work/corvane-failing-x64.msi
sed 's|</Product>|<CustomAction Id="FailLast" FileKey="corvane.exe" ExeCommand="no-such-command" Execute="deferred" Impersonate="no" Return="check"/><InstallExecuteSequence><Custom Action="FailLast" Sequence="6500">NOT REMOVE</Custom></InstallExecuteSequence></Product>|' \
  "$root/installer/Corvane.wxs" >"$work/failing.wxs"
build_package "$older_version" "$older_package" || exit 2
build_package "$version" "$failing_package" "$work/failing.wxs" || exit 2

source "$root/tests/e2e/scenarios.sh"

services_key='HKLM\System\CurrentControlSet\Services\CorvaneService'
appid_key="HKCR\\AppID\\$service_appid"
exe_key='HKCR\AppID\CorvaneService.EXE'
event_source_key='HKLM\System\CurrentControlSet\Services\EventLog\Application\CorvaneService'
path_key='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
installed=$drive_c/Program\ Files/Corvane
key_state() { wine reg query "$1" >/dev/null 2>&1 && echo present || echo absent; }

# Every value of the service record and of the two AppID keys, one "KEY|NAME|TYPE|DATA" line
# each, sorted: the fields compared.
entries() {
  local key label
  for key in "$services_key" "$appid_key" "$exe_key" "$event_source_key"; do
    label=${key##*\\}
    [[ $key == "$event_source_key" ]] && label=EventSource
    wine reg query "$key" 2>/dev/null | tr -d '\r' |
      sed -nE "s/^    (.+)    (REG_[A-Z_]+)    (.*)$/$label|\\1|\\2|\\3/p"
  done | sort
}
# Each field of the expected entries that differs or is missing, and each one left over.
compare_entries() {
  local actual line
  actual=$(entries)
  while IFS= read -r line; do
    grep -qxF "$line" <<<"$actual" || problems+=("entry ${line%|*|*}: expected ${line#*|*|} got $(grep -F "${line%|*|*}|" <<<"$actual" | cut -d'|' -f3- || true)")
  done <<<"$expected_entries"
  while IFS= read -r line; do
    [[ -z $line ]] || grep -qxF "$line" <<<"$expected_entries" || problems+=("entry not made by the programs: $line")
  done <<<"$actual"
}
# The DisplayVersion of each installed product named Corvane, from its uninstall entry.
installed_versions() {
  wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null |
    tr -d '\r' | awk '/^HKEY/ { name = ""; version = "" }
      /^ +DisplayName +REG_SZ/ { sub(/^ +DisplayName +REG_SZ +/, ""); name = $0 }
      /^ +DisplayVersion +REG_SZ/ { sub(/^ +DisplayVersion +REG_SZ +/, ""); version = $0 }
      name == "Corvane" && version != "" { print version; name = "" }' | sort | paste -sd ' '
}
# The machine's PATH as "TYPE VALUE"; path_entries without empty entries, since Wine's msiexec
# takes out the folder but not its separator (at the rollback, the upgrade and the uninstall).
machine_path() { wine reg query "$path_key" /v PATH 2>/dev/null | tr -d '\r' | sed -nE 's/^ +PATH +(REG_[A-Z_]+) +/\1 /p'; }
path_entries() { machine_path | sed -E 's/;+/;/g; s/;$//'; }
path_before=$(machine_path)
with_folder="$path_before;$install_dir\\"
# Each file of the administrative template in the install folder's PolicyDefinitions: "as in
# policy/" (the same bytes as the source), "different" or "absent".
template_files() {
  local file
  for file in Corvane.admx en-US/Corvane.adml; do
    if [[ ! -e $installed/PolicyDefinitions/$file ]]; then
      echo "$file absent"
    elif cmp -s "$root/policy/$file" "$installed/PolicyDefinitions/$file"; then
      echo "$file as in policy/"
    else
      echo "$file different"
    fi
  done | paste -sd ',' | sed 's/,/, /g'
}
# The link list's checksum, nothing when it is missing.
list_sum() { md5sum <"$installed/Corvane.dat"; } 2>/dev/null
# Runs the installed corvane.exe from its own folder; sets front_status and front_output.
run_corvane() {
  (cd "$installed" && wine "$install_dir\\corvane.exe" "$@" </dev/null >"$work/front.out" 2>&1)
  front_status=$?
  front_output=$(grep -av wine32 "$work/front.out" | tr -d '\r')
}

begin package-locks-its-folder-and-service-program-for-administrators  # Wine's msiexec enforces no file permissions
expect "permissions" $'InstallFolder\tINSTALLDIR\tCreateFolder\tO:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)\t\nServiceProgram\tCorvaneService.exe\tFile\tO:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)\t\nINSTALLDIR\tService' "$(for table in MsiLockPermissionsEx CreateFolder; do msiinfo export "$package" $table | tr -d '\r' | tail -n +4; done)"
finish

# An upgrade removes the old version inside the install's transaction, so that a failure puts it
# back (Windows does; Wine's msiexec restores no old product, so tests/windows/e2e.cmd shows it);
# LINKS is checked before that; the kept list is put back at a rollback from ApplyLinks on and let
# go at the commit; the restore pass comes last. wixl writes rollback and commit actions as
# immediate ones: their types are set after it (DLL 1, in the script 0x400, rollback 0x100, commit
# 0x200, no impersonation 0x800).
begin package-sequences-its-rollback-and-commit
expect "sequence" $'CheckLinks\tLINKS AND $FrontEnd>2\nInstallInitialize\t\nRemoveExistingProducts\t\nProcessComponents\t\nRequoteServicePath\t$Service=2\nDeleteServices\tVersionNT\nInstallServices\tVersionNT\nQuoteServicePath\t$Service>2\nRegisterPolicyTrigger\t$Service>2\nSetApplyLinks\tLINKS AND $FrontEnd>2\nRollBackLinks\tLINKS AND $FrontEnd>2\nApplyLinks\tLINKS AND $FrontEnd>2\nForgetKeptLinks\tLINKS AND $FrontEnd>2\nRestoreMappings\t$Service>2\nInstallFinalize\t' \
  "$(msiinfo export "$package" InstallExecuteSequence | tr -d '\r' | tail -n +4 | sort -t$'\t' -k3,3n |
    grep -E '^(CheckLinks|InstallInitialize|RemoveExistingProducts|ProcessComponents|RequoteServicePath|DeleteServices|InstallServices|QuoteServicePath|RegisterPolicyTrigger|SetApplyLinks|RollBackLinks|ApplyLinks|ForgetKeptLinks|RestoreMappings|InstallFinalize)\s' | cut -f1,2)"
expect "types" 'ApplyLinks 3073 CheckInstallFolder 3073 CheckLinks 1 ForgetKeptLinks 3585 QuoteServicePath 3073 RegisterPolicyTrigger 3073 RequoteServicePath 3329 RestoreMappings 3073 RollBackLinks 3329' \
  "$(msiinfo export "$package" CustomAction | tr -d '\r' | tail -n +4 | awk -F'\t' '$3 == "InstallerActions" { print $1, $2 }' | sort | paste -sd ' ')"
finish

begin package-puts-its-folder-on-the-path
expect "environment" $'Path\t=-*PATH\t[~];[INSTALLDIR]\tFrontEnd' "$(msiinfo export "$package" Environment | tr -d '\r' | tail -n +4)"
expect "actions" $'RemoveEnvironmentStrings\t\t3300\nWriteEnvironmentStrings\t\t5200' "$(msiinfo export "$package" InstallExecuteSequence | tr -d '\r' | grep EnvironmentStrings | sort)"
finish

# ---- The programs' own registration, in the folder the package installs to ----
begin self-registration-in-the-install-folder
mkdir -p "$installed"
cp "$bin/CorvaneService.exe" "$bin/CorvaneAutoStart.exe" "$installed/"
expect "-Service exit code" 0x00000000 "$(exit_code_of "\"$install_dir\\CorvaneService.exe\"" -Service)"
after_service=$(entries)
expect "CorvaneAutoStart exit code" 0x00000000 "$(exit_code_of "\"$install_dir\\CorvaneAutoStart.exe\"")"
after_autostart=$(entries)
# Wine 8 drops DependOnService when ChangeServiceConfigW gets no dependency list, which Windows
# documents as "unchanged" (see run.sh): what -Service wrote is what Windows keeps.
expect "DependOnService after CorvaneAutoStart (Wine drops it)" "" \
  "$(grep '^CorvaneService|DependOnService|' <<<"$after_autostart")"
expected_entries=$(printf '%s\n%s\n' "$after_autostart" \
  "$(grep '^CorvaneService|DependOnService|' <<<"$after_service")" | sort)
expect "ImagePath" "CorvaneService|ImagePath|REG_SZ|\"$install_dir\\CorvaneService.exe\"" \
  "$(grep '^CorvaneService|ImagePath|' <<<"$expected_entries")"
echo "  compared: $(cut -d'|' -f1,2 <<<"$expected_entries" | paste -sd ' ')"
expect "-UnregServer exit code" 0x00000000 "$(exit_code_of "\"$install_dir\\CorvaneService.exe\"" -UnregServer)"
rm -rf "$installed"
expect "entries left by -UnregServer" "" "$(entries)"
finish

begin failed-install-rolls-everything-back
# Wine's msiexec exits with 1627 (ERROR_FUNCTION_FAILED) where Windows gives 1603.
expect "exit code" 0x0000065B "$(msiexec_quietly i "$failing_package")"
expect "install folder" absent "$([[ -e $installed ]] && echo present || echo absent)"
expect "service record" absent "$(key_state "$services_key")"
expect "AppID key" absent "$(key_state "$appid_key")"
expect "CorvaneService.EXE key" absent "$(key_state "$exe_key")"
expect "event source" absent "$(key_state "$event_source_key")"
expect "PATH" "$path_before" "$(path_entries)"
expect "installed products" "" "$(installed_versions)"
finish

begin silent-install-matches-the-self-registration
expect "exit code" 0x00000000 "$(msiexec_quietly i "$older_package")"
compare_entries
expect "PATH" "$with_folder" "$(path_entries)"
expect "programs" "corvane.exe CorvaneAutoStart.exe CorvaneService.exe Detect-CorvaneLinks.ps1 PolicyDefinitions Remediate-CorvaneLinks.ps1 Test-CorvaneLinks.ps1" "$(ls "$installed" | sort -f | paste -sd ' ')"
expect "installed products" "$older_version" "$(installed_versions)"
finish

# PowerShell does not run here (tests/windows/e2e.cmd runs the scripts): what each installed one
# does, read from its text. Where it looks for corvane.exe (the 64-bit folder first, from a 32-bit
# PowerShell too), what it runs, and for each exit code of corvane what it writes and exits with.
script_contract() {
  tr -d '\r' <"$installed/$1" | awk '
    /^\$corvane = / { match($0, /@\([^)]*\)/); printf "finds %s\\Corvane\\corvane.exe; ", substr($0, RSTART, RLENGTH) }
    /^if \(-not \$corvane\)/ { match($0, /exit [0-9]+/); printf "without it %s; ", substr($0, RSTART, RLENGTH) }
    /& \$corvane / { sub(/.*& \$corvane /, ""); sub(/\)$/, ""); printf "runs %s; ", $0 }
    /^  (0|1|default) \{/ {
      body = $0; sub(/^ *[^ ]+ \{ */, "", body); match(body, /exit [^ ;}]+/)
      printf "%s: %s, %s; ", $1, body ~ /^exit/ ? "nothing" : body ~ /Error\.WriteLine/ ? "error" : "output", substr(body, RSTART, RLENGTH) }
    /^exit / { printf "then %s; ", $0 }'
}
begin package-ships-detection-and-remediation-scripts
finds='finds @($env:ProgramW6432, $env:ProgramFiles)\Corvane\corvane.exe; without it exit 2; '
expect "Detect-CorvaneLinks.ps1" "${finds}runs test \$Path --prune; 0: output, exit 0; 1: output, exit 1; default: error, exit \$code; " "$(script_contract Detect-CorvaneLinks.ps1)"
expect "Remediate-CorvaneLinks.ps1" "${finds}runs apply \$Path --prune; then exit \$LASTEXITCODE; " "$(script_contract Remediate-CorvaneLinks.ps1)"
expect "Test-CorvaneLinks.ps1" "${finds}runs test \$Path --prune 2>&1; 0: output, exit 0; 1: nothing, exit 0; default: error, exit \$code; " "$(script_contract Test-CorvaneLinks.ps1)"
finish

mkdir -p "$drive_c/msi/data"
begin frontend-from-the-install-folder-stores-a-mapping
run_corvane add drive X: 'C:\msi\data'
expect "status" 0 "$front_status"
expect "output" 'X: is mapped onto C:\msi\data, now and at every boot.' "$front_output"
expect "X: mapping" '\??\C:\msi\data' "$(probe dosdevice X:)"
expect "Corvane.dat" file "$(probe exists "$install_dir\\Corvane.dat")"
finish
stored_sum=$(list_sum)
: "${stored_sum:=(no list after the add)}"

begin major-upgrade-keeps-the-list
expect "exit code" 0x00000000 "$(msiexec_quietly i "$package")"
expect "installed products" "$version" "$(installed_versions)"
expect "Corvane.dat" "$stored_sum" "$(list_sum)"
compare_entries
expect "PATH" "$with_folder" "$(path_entries)"
expect "corvane list from C:\\" 0x00000000 "$(exit_code_of 'cd /d C:\ & corvane list')"
finish

begin reboot-brings-the-stored-mapping-back
reboot_prefix
expect "boot start's exit code" 0 "$boot_exit_code"
expect "X: after the reboot" '\??\C:\msi\data' "$(probe dosdevice X:)"
finish

# Wine's msiexec reinstalls every component when the installed package is installed again, so a
# missing program comes back; Windows, asked the same, keeps what is installed (msiexec /fa is its
# repair). Either way it is no failure.
begin second-install-is-a-repair
rm -f "$installed/corvane.exe"
expect "exit code" 0x00000000 "$(msiexec_quietly i "$package")"
expect "corvane.exe" file "$(probe exists "$install_dir\\corvane.exe")"
expect "installed products" "$version" "$(installed_versions)"
expect "Corvane.dat" "$stored_sum" "$(list_sum)"
compare_entries
expect "PATH" "$with_folder" "$(path_entries)"
finish

begin uninstall-leaves-only-the-list
expect "exit code" 0x00000000 "$(msiexec_quietly x "$package")"
expect "install folder" "Corvane.dat" "$(ls "$installed" 2>/dev/null | paste -sd ' ')"
expect "Corvane.dat" "$stored_sum" "$(list_sum)"
expect "service record" absent "$(key_state "$services_key")"
expect "AppID key" absent "$(key_state "$appid_key")"
expect "CorvaneService.EXE key" absent "$(key_state "$exe_key")"
expect "event source" absent "$(key_state "$event_source_key")"
expect "PATH" "$path_before" "$(path_entries)"
expect "PATH as Wine leaves it" "$path_before;;;" "$(machine_path)"
expect "installed products" "" "$(installed_versions)"
finish

# An install over the list an uninstall left ends with the restore pass: the stored mapping is in
# force when msiexec returns, not only after the next boot. The administrative template is
# installed as the sources have it, laid out as a PolicyDefinitions folder, and the uninstall
# takes it away with its folders.
begin reinstall-over-the-list-maps-its-drives
"$root/script/wine-prefix" reboot "$prefix"
expect "X: after the reboot without the service" "" "$(probe dosdevice X:)"
expect "exit code" 0x00000000 "$(msiexec_quietly i "$package" '/l*v' 'C:\reinstall.log')"
expect "X: after the install" '\??\C:\msi\data' "$(probe dosdevice X:)"
expect "log" 'corvane restore (C:\Program Files\Corvane\Corvane.dat, exit code 0):' \
  "$(tr -d '\r' <"$drive_c/reinstall.log" | grep -o '^corvane restore (.*):$')"
expect "administrative template" "Corvane.admx as in policy/, en-US/Corvane.adml as in policy/" "$(template_files)"
# The trigger on machine policy is registered before the service first starts; Wine 8's manager
# has no triggers (1733, RPC_S_INVALID_TAG), which fails nothing.
expect "trigger's log" 'The service CorvaneService could not be set to start when machine policy is applied (error 1733); it still starts at boot and for every request.' \
  "$(tr -d '\r' <"$drive_c/reinstall.log" | grep -o '^The service CorvaneService .* machine policy is applied.*$')"
expect "uninstall" 0x00000000 "$(msiexec_quietly x "$package")"
expect "administrative template after the uninstall" "Corvane.admx absent, en-US/Corvane.adml absent" "$(template_files)"
expect "PolicyDefinitions after the uninstall" absent "$([[ -e $installed/PolicyDefinitions ]] && echo present || echo absent)"
finish

# LINKS that is not a full local path is refused before anything is installed.
begin install-refuses-links-without-a-full-path
expect "exit code" 0x00000643 "$(msiexec_quietly i "$package" 'LINKS=relative\links.json' '/l*v' 'C:\relative.log')"
expect "log" 'Corvane was not installed: LINKS must be the full path of a links file on a local drive' \
  "$(tr -d '\r' <"$drive_c/relative.log" | grep -o '^Corvane was not installed: LINKS must be the full path of a links file on a local drive')"
expect "InstallInitialize" "" "$(tr -d '\r' <"$drive_c/relative.log" | grep -o 'Action start .*: InstallInitialize\.')"
expect "service record" absent "$(key_state "$services_key")"
expect "installed products" "" "$(installed_versions)"
finish

# A links file given at install is applied once the service is in place, and comes back at every
# boot; one that cannot be applied fails the install, and the log says why. A failed install runs
# the links' rollback action; Wine's msiexec runs it only once it has taken the service and the
# files away again (measured), where Windows runs the script backwards, with the service still
# there, so here the links cannot be put back and the action's sentence says so. The reboot
# takes the letter off.
printf '[{"action": "Create", "kind": "Drive", "link": "L:", "target": "C:\\\\msi\\\\data"}]' >"$drive_c/links.json"
begin failed-install-runs-the-rollback-of-its-links
expect "exit code" 0x0000065B "$(msiexec_quietly i "$failing_package" 'LINKS=C:\links.json' '/l*v' 'C:\taken-back.log')"
expect "rollback's sentence" 1 "$(tr -d '\r' <"$drive_c/taken-back.log" | grep -c '^The stored links ')"
expect "installed products" "" "$(installed_versions)"
"$root/script/wine-prefix" reboot "$prefix"
finish

begin install-with-links-applies-them
printf '[{"action": "Create", "kind": "Drive", "link": "L:", "target": "C:\\\\msi\\\\none"}]' >"$drive_c/bad-links.json"
expect "exit code with a bad file" 0x00000643 "$(msiexec_quietly i "$package" 'LINKS=C:\bad-links.json' '/l*v' 'C:\links.log')"
expect "log" 'The links in C:\bad-links.json were not applied, so Corvane was not installed:' \
  "$(tr -d '\r' <"$drive_c/links.log" | grep -o '^The links in .* not installed:' | head -n 1)"
expect "installed products after the bad file" "" "$(installed_versions)"
cp "$drive_c/links.json" "$drive_c/open-links.json"
chmod o+w "$drive_c/open-links.json"
expect "exit code with a file others may write" 0x00000643 "$(msiexec_quietly i "$package" 'LINKS=C:\open-links.json')"
expect "installed products after that file" "" "$(installed_versions)"
expect "L: after that file" "" "$(probe dosdevice L:)"
expect "exit code" 0x00000000 "$(msiexec_quietly i "$package" 'LINKS=C:\links.json')"
expect "L: after the install" '\??\C:\msi\data' "$(probe dosdevice L:)"
expect "kept copy after the install" absent "$([[ -e $installed/Corvane.dat.rollback ]] && echo present || echo absent)"
reboot_prefix
expect "boot start's exit code" 0 "$boot_exit_code"
expect "L: after the reboot" '\??\C:\msi\data' "$(probe dosdevice L:)"
expect "uninstall" 0x00000000 "$(msiexec_quietly x "$package")"
finish

# A folder whose owner cannot be read is refused like one owned by another user: the log names it
# and says why, and nothing is installed. Wine's msiexec takes a name with "|" in it, which Windows
# Installer would refuse itself; it is the one refusal Wine can show, since every file there
# belongs to the user the check runs as.
begin install-refuses-a-folder-it-cannot-check
expect "exit code" 0x00000643 "$(msiexec_quietly i "$package" 'INSTALLDIR="C:\bad|name"' '/l*v' 'C:\refused.log')"
expect "log" 'Corvane cannot be installed in C:\bad|name: C:\bad|name cannot be looked at (error 123), so its owner cannot be checked.' \
  "$(tr -d '\r' <"$drive_c/refused.log" | grep -o '^Corvane cannot be installed in .* cannot be checked\.')"
expect "service record" absent "$(key_state "$services_key")"
expect "installed products" "" "$(installed_versions)"
finish

# Under Wine the planted file, like everything, belongs to the Wine user, who is also the user the
# folder check runs as: the folder is accepted, and what it held is left alone. A refusal for its
# owner can only be shown on the simulation (tests/unit/ServicePathTest.cpp).
begin install-into-an-existing-folder-keeps-its-file
mkdir -p "$drive_c/Planted"
echo planted >"$drive_c/Planted/notes.txt"
expect "exit code" 0x00000000 "$(msiexec_quietly i "$package" 'INSTALLDIR=C:\Planted\')"
expect "folder" "corvane.exe CorvaneAutoStart.exe CorvaneService.exe Detect-CorvaneLinks.ps1 notes.txt PolicyDefinitions Remediate-CorvaneLinks.ps1 Test-CorvaneLinks.ps1" "$(ls "$drive_c/Planted" | sort -f | paste -sd ' ')"
expect "notes.txt" planted "$(cat "$drive_c/Planted/notes.txt")"
expect "ImagePath" '"C:\Planted\CorvaneService.exe"' "$(wine reg query "$services_key" /v ImagePath 2>/dev/null | tr -d '\r' | sed -nE 's/^ +ImagePath +REG_[A-Z_]+ +//p')"
finish

echo "$passed passed, $failed failed"
((failed == 0))
