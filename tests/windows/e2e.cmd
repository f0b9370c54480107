@echo off
rem Corvane end to end on Windows: the package installed silently; a hard link, a junction and a
rem drive mapping made and removed through corvane.exe and checked with Windows' own tools; a
rem stored mapping taken away and brought back by corvane restore; the package's detection and
rem remediation scripts in a 32-bit PowerShell; the service's events in the Application log; the
rem uninstall, which keeps only the link list; and a failed upgrade from an older version, which
rem keeps that version installed and working.
rem
rem   e2e.cmd PROGRAM-FOLDER PACKAGE OLDER-PACKAGE
rem
rem PROGRAM-FOLDER holds the built programs: the installed ones are compared with them, and
rem corvane_probe.exe is taken from there. OLDER-PACKAGE is the same source built at a lower
rem version (corvane-VERSION-x64.msi). Run it elevated on a machine without Corvane: it
rem installs the packages and removes them again, and it uses %SystemDrive%\corvane-e2e and the
rem letters W: and V:. Each step is one "call :step LABEL" line below and reports one PASS, FAIL
rem or SKIP line; the last line is "e2e.cmd: P passed, F failed, S skipped of N", N being how many
rem such lines the script holds. Exit code 1 when a step failed, when P + F + S is not N (a step
rem never reported) or, on Windows, when a step was skipped; 2 when it could not start.
rem
rem Under Wine (script/test runs it there) a step Wine cannot do is a SKIP with its reason, once
rem Wine's answer has been checked to be the known one: a change in Wine then shows as a FAIL.
rem Wine's cmd shapes how this is written: its findstr and fc find nothing, its find has no /i,
rem a redirected ( ) block writes nothing, !var:~n! and set /p from a file are wrong, and a
rem greater-than sign inside quotes can still redirect. So each check is one plain line, values are compared with
rem %var% outside blocks, and output is read with for /f.
setlocal EnableExtensions DisableDelayedExpansion

if "%~3"=="" goto usage
set "self=%~f0"
set "bin=%~f1"
set "msi=%~f2"
set "older=%~f3"
rem The older package's version, from its name.
set "older_version="
for /f "tokens=2 delims=-" %%V in ("%~n3") do set "older_version=%%V"
rem corvane_probe.exe is not required here: without it every step that reads the machine through
rem it fails, which wine.sh checks.
if not exist "%bin%\" goto usage
if not exist "%msi%" goto usage
if not exist "%older%" goto usage

set "installed=%ProgramFiles%\Corvane"
set "corvane=%installed%\corvane.exe"
set "probe=%bin%\corvane_probe.exe"
rem The system's own find: Git for Windows puts another find.exe on the PATH of CI machines.
set "find=%SystemRoot%\System32\find.exe"
set "service_key=HKLM\System\CurrentControlSet\Services\CorvaneService"
set "path_key=HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment"
set "uninstall_key=HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
rem As Intune and Configuration Manager run scripts: a 32-bit PowerShell where there is one.
set "powershell=%SystemRoot%\SysWOW64\WindowsPowerShell\v1.0\powershell.exe"
if not exist "%powershell%" set "powershell=%SystemRoot%\System32\WindowsPowerShell\v1.0\powershell.exe"
rem At the root of the system drive: no short names, no blanks, and reachable by LocalSystem.
set "work=%SystemDrive%\corvane-e2e"
set "out=%work%\output.txt"
if defined CORVANE_E2E_LOGS (set "logs=%CORVANE_E2E_LOGS%") else (set "logs=%TEMP%\corvane-e2e-logs")

set "wine="
reg query HKCU\Software\Wine >nul 2>&1
if not errorlevel 1 set "wine=1"
reg query HKLM\Software\Wine >nul 2>&1
if not errorlevel 1 set "wine=1"

set passed=0
set failed=0
set skipped=0
rem Every corvane request is one run of the service, and each run logs "Service stopped".
set starts=0

if exist "%work%" rmdir /s /q "%work%"
mkdir "%work%"
rem N is counted from the script's own lines, not from the steps that ran. find picks the lines
rem first, since Wine's cmd cannot compare a token that holds a quote; it reads the script from
rem its input, since Wine's find cannot open the file cmd is running. The pattern is put together
rem so that this line is not one of them.
set "declaration=call :st"
set steps=0
"%find%" "%declaration%ep " <"%self%" >"%out%" 2>&1
for /f "usebackq tokens=1,2" %%A in ("%out%") do if /i "%%A %%B"=="call :step" set /a steps+=1
if not exist "%logs%" mkdir "%logs%"
if defined wine echo # under Wine: the steps Wine cannot do are skipped with the reason
echo # programs %bin%, package %msi%, msiexec logs in %logs%

call :step install
rem The events already in the log before the first request: an earlier install's stay there.
call :stopped_events
set "events_before=%stopped%"
call :step path_installed
call :step hardlink_create
call :step hardlink_fsutil
call :step hardlink_delete
call :step junction_create
call :step junction_tools
call :step junction_delete
call :step drive_create
call :step drive_tools
call :step drive_delete
call :step stored_add
call :step stored_restore
call :step stored_remove
call :step scripts
call :step events
call :step uninstall
call :step path_removed
call :step failed_upgrade

rmdir /s /q "%work%" >nul 2>&1
set /a reported=passed+failed+skipped
set "verdict=0"
if not "%failed%"=="0" set "verdict=1"
if not "%reported%"=="%steps%" set "verdict=1"
if not "%reported%"=="%steps%" echo # %reported% results for %steps% steps: a step did not report
rem Skips are for what Wine cannot do; on Windows every step runs.
set "windows_skips=0"
if not defined wine set "windows_skips=%skipped%"
if not "%windows_skips%"=="0" set "verdict=1"
if not "%windows_skips%"=="0" echo # %skipped% steps skipped on Windows
rem The workflow holds the service's rendered events of this run against this.
echo %starts% service starts
echo e2e.cmd: %passed% passed, %failed% failed, %skipped% skipped of %steps%
exit /b %verdict%

:usage
echo usage: %~nx0 PROGRAM-FOLDER PACKAGE OLDER-PACKAGE
echo   PROGRAM-FOLDER holds corvane_probe.exe and the built programs, PACKAGE is the .msi,
echo   OLDER-PACKAGE the same at a lower version
exit /b 2

rem ---- Steps ----

:install
call :begin "install the package silently"
rem An install over a list kept from before ends with the service's restore pass.
if exist "%installed%\Corvane.dat" set /a starts+=1
msiexec /i "%msi%" /qn /l*v "%logs%\install.log"
call :expect "msiexec /i exit code" 0 "%errorlevel%"
for %%P in (CorvaneService.exe CorvaneAutoStart.exe corvane.exe) do call :same_file %%P
sc query CorvaneService >"%out%" 2>&1
call :expect "sc query CorvaneService exit code" 0 "%errorlevel%"
call :reg_value "%service_key%" ImagePath
rem The record's program path in quotes, which only the package's custom action gives.
set "image=%value:"=+%"
call :expect "ImagePath" "+%installed%\CorvaneService.exe+" "%image%"
call :reg_value "%service_key%" Start
call :expect "Start" 0x2 "%value%"
goto finish

:path_installed
call :begin "path: the machine's Path holds the install folder once, and a new cmd finds corvane"
call :reg_value "%path_key%" Path
call :path_holds "%value%"
call :expect "times %installed% is on the machine's Path" 1 "%held%"
rem A new session's Path starts with the machine's; its unexpanded entries (%%SystemRoot%%...)
rem only hide system programs, and the new cmd is started by its full name. The current folder
rem holds no corvane.exe, so only the Path can find it.
set "saved_path=%Path%"
set "Path=%value%"
pushd "%work%"
"%ComSpec%" /c corvane list >"%out%" 2>&1
set "rc=%errorlevel%"
popd
set "Path=%saved_path%"
call :expect "cmd /c corvane list exit code (9009: not found)" 0 "%rc%"
rem Wine's cmd exits 0 without a word for an unknown command once the Path has an empty entry,
rem as Wine's msiexec leaves it: what corvane list says is the proof it ran.
call :has "%installed%\Corvane.dat"
goto finish

:hardlink_create
call :begin "hard link: corvane create file"
echo alpha>"%work%\target.txt"
call :corvane create file "%work%\link.txt" "%work%\target.txt"
call :expect "exit code" 0 "%rc%"
rem A line added through one name is read through the other: one file, not a copy.
echo beta>>"%work%\target.txt"
call :read "%work%\link.txt"
call :expect "link.txt" alpha+beta "%content%"
call :probe links "%work%\target.txt"
call :expect "link count" 2 "%line%"
goto finish

:hardlink_fsutil
call :begin "hard link: fsutil hardlink list shows both names"
fsutil hardlink list "%work%\target.txt" >"%out%" 2>&1
set "rc=%errorlevel%"
if defined wine goto hardlink_fsutil_wine
call :expect "exit code" 0 "%rc%"
call :lines "%out%"
call :expect "names listed" 2 "%lines%"
call :has "%work:~2%\target.txt"
call :has "%work:~2%\link.txt"
goto finish
:hardlink_fsutil_wine
call :expect "Wine's fsutil hardlink list exit code" 1 "%rc%"
call :has "Hardlink - Supported Commands"
call :skip "Wine's fsutil has no hardlink list (it prints its usage and exits 1)"
exit /b 0

:hardlink_delete
call :begin "hard link: corvane delete file"
call :corvane delete file "%work%\link.txt"
call :expect "exit code" 0 "%rc%"
if exist "%work%\link.txt" call :problem "link.txt is still there"
call :read "%work%\target.txt"
call :expect "target.txt" alpha+beta "%content%"
call :probe links "%work%\target.txt"
call :expect "link count" 1 "%line%"
goto finish

:junction_create
call :begin "junction: corvane create folder"
mkdir "%work%\folder"
echo inside>"%work%\folder\inside.txt"
call :corvane create folder "%work%\junction" "%work%\folder"
if defined wine goto junction_create_wine
call :expect "exit code" 0 "%rc%"
call :read "%work%\junction\inside.txt"
call :expect "junction\inside.txt" inside "%content%"
goto finish
:junction_create_wine
call :expect "exit code under Wine" 50 "%rc%"
call :read "%work%\folder\inside.txt"
call :expect "folder\inside.txt" inside "%content%"
call :skip "Wine cannot make junctions: FSCTL_SET_REPARSE_POINT fails with 50 (ERROR_NOT_SUPPORTED), and corvane exits with it"
exit /b 0

:junction_tools
call :begin "junction: dir /al and fsutil reparsepoint query show it"
dir /al "%work%" >"%out%" 2>&1
set "rc=%errorlevel%"
if defined wine goto junction_tools_wine
call :expect "dir /al exit code" 0 "%rc%"
call :has "JUNCTION"
call :has " junction ["
fsutil reparsepoint query "%work%\junction" >"%out%" 2>&1
call :expect "fsutil reparsepoint query exit code" 0 "%errorlevel%"
rem IO_REPARSE_TAG_MOUNT_POINT
call :has "0xa0000003"
goto finish
:junction_tools_wine
call :expect "Wine's dir /al exit code" 1 "%rc%"
call :has "Invalid parameter"
fsutil reparsepoint query "%work%\folder" >"%out%" 2>&1
call :expect "Wine's fsutil reparsepoint query exit code" 1 "%errorlevel%"
call :has "Supported Commands"
call :skip "no junction under Wine, Wine's dir has no /al (Invalid parameter, exit 1) and its fsutil no reparsepoint (usage, exit 1)"
exit /b 0

:junction_delete
call :begin "junction: corvane delete folder"
call :corvane delete folder "%work%\junction"
if defined wine goto junction_delete_wine
call :expect "exit code" 0 "%rc%"
if exist "%work%\junction" call :problem "the junction is still there"
dir /al "%work%" >"%out%" 2>&1
call :lacks " junction ["
call :read "%work%\folder\inside.txt"
call :expect "folder\inside.txt" inside "%content%"
goto finish
:junction_delete_wine
rem The failed create left the link's folder as a plain one: Wine refuses to remove what is not
rem there either.
call :expect "exit code under Wine" 50 "%rc%"
if not exist "%work%\junction" call :problem "the folder at the link has gone"
call :read "%work%\folder\inside.txt"
call :expect "folder\inside.txt" inside "%content%"
call :skip "Wine cannot remove junctions: FSCTL_DELETE_REPARSE_POINT fails with 50, and corvane exits with it"
exit /b 0

:drive_create
call :begin "drive: corvane create drive"
mkdir "%work%\drive"
echo on the drive>"%work%\drive\inside.txt"
call :probe dosdevice W:
call :expect "W: before" unmapped "%mapping%"
call :corvane create drive W: "%work%\drive"
call :expect "exit code" 0 "%rc%"
call :probe dosdevice W:
call :expect "W:" "\??\%work%\drive" "%line%"
goto finish

:drive_tools
call :begin "drive: subst lists W: and its files are there"
call :subst_target W:
if defined wine goto drive_tools_wine
call :expect "subst exit code" 0 "%rc%"
call :expect "subst W:" "%work%\drive" "%subst%"
call :read "W:\inside.txt"
call :expect "W:\inside.txt" "on the drive" "%content%"
goto finish
:drive_tools_wine
call :expect "Wine's subst exit code" 0 "%rc%"
call :expect "Wine's subst W:" "" "%subst%"
if exist "W:\inside.txt" call :problem "W:\inside.txt is found under Wine"
call :skip "Wine's subst lists no mapping and Wine's file system does not resolve paths through a mapped letter"
exit /b 0

:drive_delete
call :begin "drive: corvane delete drive"
call :corvane delete drive W:
call :expect "exit code" 0 "%rc%"
call :probe dosdevice W:
call :expect "W:" unmapped "%mapping%"
call :subst_target W:
call :expect "subst W:" "" "%subst%"
if exist "W:\inside.txt" call :problem "W:\inside.txt is still found"
goto finish

:stored_add
call :begin "stored drive: corvane add drive and corvane list"
mkdir "%work%\stored"
echo stored>"%work%\stored\inside.txt"
call :probe dosdevice V:
call :expect "V: before" unmapped "%mapping%"
call :corvane add drive V: "%work%\stored"
call :expect "exit code" 0 "%rc%"
call :has "V: is mapped onto %work%\stored, now and at every boot."
call :probe dosdevice V:
call :expect "V:" "\??\%work%\stored" "%line%"
if not exist "%installed%\Corvane.dat" call :problem "no Corvane.dat in %installed%"
call :list_state V: "%work%\stored"
call :expect "corvane list" "(mapped now)" "%state%"
goto finish

:stored_restore
call :begin "stored drive: corvane restore brings it back"
call :corvane delete drive V:
call :expect "delete exit code" 0 "%rc%"
call :probe dosdevice V:
call :expect "V: after the delete" unmapped "%mapping%"
call :list_state V: "%work%\stored"
call :expect "corvane list after the delete" "(not mapped now)" "%state%"
call :corvane restore
call :expect "restore exit code" 0 "%rc%"
call :probe dosdevice V:
call :expect "V: after the restore" "\??\%work%\stored" "%line%"
call :list_state V: "%work%\stored"
call :expect "corvane list after the restore" "(mapped now)" "%state%"
if defined wine goto finish
call :subst_target V:
call :expect "subst V:" "%work%\stored" "%subst%"
call :read "V:\inside.txt"
call :expect "V:\inside.txt" stored "%content%"
goto finish

:stored_remove
call :begin "stored drive: corvane remove drive"
call :corvane remove drive V:
call :expect "exit code" 0 "%rc%"
call :probe dosdevice V:
call :expect "V:" unmapped "%mapping%"
call :list_state V: "%work%\stored"
call :expect "corvane list" "" "%state%"
goto finish

:scripts
call :begin "scripts: detection and remediation on the links file beside them, in a 32-bit PowerShell"
rem In the install folder, which only administrators may change: corvane applies no links file
rem that others may change, and the uninstall step finds it gone.
set "links=%installed%\links.json"
echo [{"action": "Create", "kind": "Drive", "link": "V:", "target": "%work:\=\\%\\stored"}]>"%links%"
call :powershell Detect-CorvaneLinks.ps1
if defined wine goto scripts_wine
call :expect "Detect-CorvaneLinks.ps1 exit code without V:" 1 "%rc%"
call :lines "%out%"
call :expect "lines Detect-CorvaneLinks.ps1 wrote without V:" 1 "%lines%"
call :powershell Test-CorvaneLinks.ps1
call :expect "Test-CorvaneLinks.ps1 exit code without V:" 0 "%rc%"
call :lines "%out%"
set "said=%lines%"
call :lines "%work%\stderr.txt"
call :expect "lines Test-CorvaneLinks.ps1 wrote without V: (output, errors)" "0 0" "%said% %lines%"
call :powershell Remediate-CorvaneLinks.ps1
set /a starts+=1
call :expect "Remediate-CorvaneLinks.ps1 exit code" 0 "%rc%"
call :probe dosdevice V:
call :expect "V: after the remediation" "\??\%work%\stored" "%line%"
call :powershell Detect-CorvaneLinks.ps1
call :expect "Detect-CorvaneLinks.ps1 exit code with V:" 0 "%rc%"
call :powershell Test-CorvaneLinks.ps1
call :expect "Test-CorvaneLinks.ps1 exit code with V:" 0 "%rc%"
call :lines "%out%"
call :expect "lines Test-CorvaneLinks.ps1 wrote with V:" 1 "%lines%"
call :corvane remove drive V:
call :expect "remove drive exit code" 0 "%rc%"
del "%links%"
goto finish
:scripts_wine
call :expect "Wine's powershell exit code" 0 "%rc%"
call :lines "%out%"
call :expect "lines Wine's powershell wrote" 0 "%lines%"
del "%links%"
call :skip "Wine's powershell is a stub: it runs no script, prints nothing and exits 0"
exit /b 0

:events
call :begin "events: one rendered Service stopped event in the Application log per run of the service"
call :stopped_events
if defined wine goto events_wine
call :expect "wevtutil qe exit code" 0 "%rc%"
set /a stopped_now=stopped-events_before
call :expect "Service stopped events of this run (before it: %events_before%)" "%starts%" "%stopped_now%"
goto finish
:events_wine
call :expect "Wine's wevtutil qe exit code" 0 "%rc%"
call :lines "%out%"
call :expect "lines Wine's wevtutil printed" 0 "%lines%"
call :skip "Wine's wevtutil prints nothing and exits 0: Wine keeps no event log"
exit /b 0

:uninstall
call :begin "uninstall keeps only Corvane.dat"
msiexec /x "%msi%" /qn /l*v "%logs%\uninstall.log"
call :expect "msiexec /x exit code" 0 "%errorlevel%"
dir /b /a "%installed%" >"%out%" 2>&1
call :read "%out%"
call :expect "left in %installed%" Corvane.dat "%content%"
sc query CorvaneService >nul 2>&1
if not errorlevel 1 call :problem "sc query still finds CorvaneService"
reg query "%service_key%" >nul 2>&1
if not errorlevel 1 call :problem "the service record %service_key% is still there"
goto finish

:path_removed
call :begin "path: uninstall takes the install folder off the machine's Path"
call :reg_value "%path_key%" Path
call :path_holds "%value%"
call :expect "times %installed% is on the machine's Path" 0 "%held%"
if "%value%"=="" call :problem "no Path value left in %path_key%"
goto finish

:failed_upgrade
call :begin "failed upgrade: a newer version whose LINKS fails keeps the older one installed and working"
if exist "%installed%\Corvane.dat" set /a starts+=1
msiexec /i "%older%" /qn /l*v "%logs%\older-install.log"
call :expect "msiexec /i of version %older_version% exit code" 0 "%errorlevel%"
echo [{"action": "Create", "kind": "Drive", "link": "W:", "target": "%work:\=\\%\\missing"}]>"%work%\bad-links.json"
msiexec /i "%msi%" /qn LINKS="%work%\bad-links.json" /l*v "%logs%\failed-upgrade.log"
set "rc=%errorlevel%"
if defined wine goto failed_upgrade_wine
call :expect "msiexec /i of the newer version exit code" 1603 "%rc%"
call :installed_versions
call :expect "installed versions" "%older_version%" "%versions%"
call :reg_value "%service_key%" ImagePath
set "image=%value:"=+%"
call :expect "ImagePath" "+%installed%\CorvaneService.exe+" "%image%"
call :corvane create drive W: "%work%\stored"
call :expect "create drive exit code" 0 "%rc%"
call :probe dosdevice W:
call :expect "W:" "\??\%work%\stored" "%line%"
call :corvane delete drive W:
call :expect "delete drive exit code" 0 "%rc%"
msiexec /x "%older%" /qn /l*v "%logs%\older-uninstall.log"
call :expect "msiexec /x of version %older_version% exit code" 0 "%errorlevel%"
call :installed_versions
call :expect "installed versions after the uninstall" "" "%versions%"
goto finish
:failed_upgrade_wine
call :expect "Wine's msiexec /i of the newer version exit code" 1603 "%rc%"
if exist "%corvane%" call :problem "corvane.exe is still there after Wine's failed upgrade"
call :installed_versions
call :expect "installed versions after Wine's failed upgrade" "" "%versions%"
call :skip "Wine's msiexec restores no old product after a failed upgrade: neither version remains"
exit /b 0

rem ---- Helpers ----

rem step LABEL: runs the step at LABEL, which reports exactly once (PASS, FAIL or SKIP). One that
rem reports nothing (cmd found no such label, or it ended without finish or skip) is a FAIL.
:step
set /a reports_before=passed+failed+skipped
set "step=%~1"
set "problems="
call :%~1
set /a reports=passed+failed+skipped-reports_before
if "%reports%"=="1" exit /b 0
echo FAIL %~1: the step reported %reports% results, not one
set /a failed+=1
exit /b 0

rem begin NAME: a step's name; its problems are collected until finish or skip.
:begin
set "step=%~1"
set "problems="
exit /b 0

rem problem TEXT
:problem
set "problems=%problems%; %~1"
exit /b 0

rem expect WHAT EXPECTED ACTUAL (compared without regard to case, as Windows names are)
:expect
if /i "%~2"=="%~3" exit /b 0
call :problem "%~1: expected [%~2] got [%~3]"
exit /b 0

rem finish: one PASS or FAIL line for the step; the last output read is shown on a failure.
:finish
if defined problems goto failed
echo PASS %step%
set /a passed+=1
exit /b 0
:failed
echo FAIL %step%: %problems:~2%
set /a failed+=1
if not exist "%out%" exit /b 0
echo   last output:
type "%out%"
exit /b 0

rem skip REASON: a SKIP line when Wine answered as it is known to, else a FAIL line.
:skip
if defined problems goto failed
echo SKIP %step%: %~1
set /a skipped+=1
exit /b 0

rem corvane ARGS...: runs the installed corvane.exe; rc is its exit code (all 32 bits), out
rem holds what it printed.
:corvane
"%corvane%" %* >"%out%" 2>&1
set "rc=%errorlevel%"
if /i not "%~1"=="list" set /a starts+=1
exit /b 0

rem powershell SCRIPT: runs the installed SCRIPT with its default links file; rc is its exit code,
rem out holds its standard output and %work%\stderr.txt its standard error.
:powershell
"%powershell%" -NoProfile -NonInteractive -ExecutionPolicy Bypass -File "%installed%\%~1" >"%out%" 2>"%work%\stderr.txt"
set "rc=%errorlevel%"
exit /b 0

rem installed_versions: versions is the DisplayVersion of each installed product named Corvane,
rem blank-separated. Its uninstall key is named by its product code, without blanks, so the key
rem is the first token of the line before its DisplayName.
:installed_versions
set "versions="
set "key="
reg query "%uninstall_key%" /s /v DisplayName >"%work%\products.txt" 2>&1
for /f "usebackq tokens=1,2,*" %%A in ("%work%\products.txt") do call :product_line "%%A" "%%B" "%%C"
if defined versions set "versions=%versions:~1%"
exit /b 0
:product_line
set "word=%~1"
if /i "%word:~0,5%"=="HKEY_" set "key=%~1"
if /i "%~1 %~2 %~3"=="DisplayName REG_SZ Corvane" call :product_version
exit /b 0
:product_version
reg query "%key%" /v DisplayVersion >"%work%\version.txt" 2>&1
for /f "usebackq tokens=1,2,*" %%A in ("%work%\version.txt") do if /i "%%A"=="DisplayVersion" set "versions=%versions% %%C"
exit /b 0

rem probe ARGS...: line is the probe's last line of output; for dosdevice, mapping is "mapped"
rem or "unmapped" (the probe exits 1 only for a name with no definition). Any other exit code (a
rem crash, a missing program or DLL, another error) is a problem, never a free letter; mapping is
rem then "unknown". (Wine's cmd takes no if after an if.)
:probe
set "line="
set "mapping=unknown"
"%probe%" %* >"%out%" 2>&1
set "rc=%errorlevel%"
for /f "usebackq delims=" %%L in ("%out%") do set "line=%%L"
if "%rc%"=="0" set "mapping=mapped"
if "%rc%"=="0" exit /b 0
set "probe_rc=%rc%"
if /i not "%~1"=="dosdevice" set "probe_rc=failed"
if "%probe_rc%"=="1" set "mapping=unmapped"
if "%probe_rc%"=="1" exit /b 0
rem What it said, its quotes made harmless for the call.
if not defined line set "line=(nothing)"
call :problem "corvane_probe %~1 exited %rc%: %line:"='%"
exit /b 0

rem read FILE: content is its lines joined with "+" (empty when it cannot be read).
:read
set "content=+"
for /f "usebackq delims=" %%L in ("%~1") do call :append "%%L"
set "content=%content:~1%"
exit /b 0
:append
set "content=%content%+%~1"
if "%content:~0,2%"=="++" set "content=%content:~1%"
exit /b 0

rem lines FILE: lines is how many non-empty lines it has.
:lines
set lines=0
for /f "usebackq delims=" %%L in ("%~1") do set /a lines+=1
exit /b 0

rem has TEXT / lacks TEXT: whether the last output holds TEXT (case matters, as find has it).
:has
"%find%" "%~1" "%out%" >nul 2>&1
if errorlevel 1 call :problem "no [%~1] in the output"
exit /b 0
:lacks
"%find%" "%~1" "%out%" >nul 2>&1
if not errorlevel 1 call :problem "[%~1] still in the output"
exit /b 0

rem stopped_events: stopped is how many of the service's events in the Application log render
rem as "Service stopped"; rc is wevtutil's exit code. The text form puts the description on the
rem line after "Description:"; the same line is counted too. An event whose message cannot be
rem rendered shows no such text and is not counted.
:stopped_events
set stopped=0
wevtutil qe Application /q:"*[System[Provider[@Name='CorvaneService']]]" /f:text /rd:true >"%out%" 2>&1
set "rc=%errorlevel%"
for /f "usebackq tokens=1,2,3,*" %%A in ("%out%") do if "%%A %%B %%C %%D"=="Service stopped  " set /a stopped+=1
for /f "usebackq tokens=1,2,3,*" %%A in ("%out%") do if "%%A %%B %%C %%D"=="Description: Service stopped " set /a stopped+=1
exit /b 0

rem path_holds VALUE: held is how many entries of the Path VALUE name the install folder, with or
rem without a final backslash.
:path_holds
set held=0
set "entries=%~1"
if not defined entries exit /b 0
for %%E in ("%entries:;=" "%") do call :path_entry "%%~E"
exit /b 0
:path_entry
if /i "%~1"=="%installed%" set /a held+=1
if /i "%~1"=="%installed%\" set /a held+=1
exit /b 0

rem reg_value KEY NAME: value is the data of the value NAME of KEY, empty when there is none.
:reg_value
set "value="
reg query "%~1" /v %2 >"%out%" 2>&1
for /f "usebackq tokens=1,2,*" %%A in ("%out%") do if /i "%%A"=="%~2" set "value=%%C"
exit /b 0

rem same_file NAME: the installed program NAME is there with the size of the built one.
:same_file
set "built=0"
set "copy=missing"
for %%F in ("%bin%\%~1") do set "built=%%~zF"
if exist "%installed%\%~1" for %%F in ("%installed%\%~1") do set "copy=%%~zF"
call :expect "size of the installed %~1" "%built%" "%copy%"
exit /b 0

rem subst_target X:: subst is where subst says X: leads, empty when it lists no X:; rc its exit
rem code. Each of its lines names a letter as X:\:, then an arrow, then the target.
:subst_target
set "subst="
subst >"%out%" 2>&1
set "rc=%errorlevel%"
for /f "usebackq tokens=1,2,*" %%A in ("%out%") do if /i "%%A"=="%~1\:" set "subst=%%C"
exit /b 0

rem list_state X: TARGET: state is how corvane list shows the stored X: onto TARGET, e.g.
rem "(mapped now)"; empty when it is not listed. Its lines read Create Drive X:, an arrow, the
rem target and the state.
:list_state
set "state="
call :corvane list
if not "%rc%"=="0" call :problem "corvane list exited %rc%"
for /f "usebackq tokens=1,2,3,5,*" %%A in ("%out%") do if /i "%%A %%B %%C %%D"=="Create Drive %~1 %~2" set "state=%%E"
exit /b 0
