@echo off
rem Corvane end to end on Windows: the package installed silently; a hard link, a junction and a
rem drive mapping made and removed through corvane.exe and checked with Windows' own tools; a
rem stored mapping taken away and brought back by corvane restore; the service's events in the
rem Application log; and the uninstall, which keeps only the link list.
rem
rem   e2e.cmd PROGRAM-FOLDER PACKAGE
rem
rem PROGRAM-FOLDER holds the built programs: the installed ones are compared with them, and
rem corvane_probe.exe is taken from there. Run it elevated on a machine without Corvane: it
rem installs the package and removes it again, and it uses %SystemDrive%\corvane-e2e and the
rem letters W: and V:. One PASS, FAIL or SKIP line per step, then "N passed, M failed"; exit code
rem 1 when a step failed, 2 when it could not start.
rem
rem Under Wine (script/test runs it there) a step Wine cannot do is a SKIP with its reason, once
rem Wine's answer has been checked to be the known one: a change in Wine then shows as a FAIL.
rem Wine's cmd shapes how this is written: its findstr and fc find nothing, its find has no /i,
rem a redirected ( ) block writes nothing, !var:~n! and set /p from a file are wrong, and a
rem greater-than sign inside quotes can still redirect. So each check is one plain line, values are compared with
rem %var% outside blocks, and output is read with for /f.
setlocal EnableExtensions DisableDelayedExpansion

if "%~2"=="" goto usage
set "bin=%~f1"
set "msi=%~f2"
if not exist "%bin%\corvane_probe.exe" goto usage
if not exist "%msi%" goto usage

set "installed=%ProgramFiles%\Corvane"
set "corvane=%installed%\corvane.exe"
set "probe=%bin%\corvane_probe.exe"
rem The system's own find: Git for Windows puts another find.exe on the PATH of CI machines.
set "find=%SystemRoot%\System32\find.exe"
set "service_key=HKLM\System\CurrentControlSet\Services\CorvaneService"
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
if not exist "%logs%" mkdir "%logs%"
if defined wine echo # under Wine: the steps Wine cannot do are skipped with the reason
echo # programs %bin%, package %msi%, msiexec logs in %logs%

call :install
call :hardlink_create
call :hardlink_fsutil
call :hardlink_delete
call :junction_create
call :junction_tools
call :junction_delete
call :drive_create
call :drive_tools
call :drive_delete
call :stored_add
call :stored_restore
call :stored_remove
call :events
call :uninstall

rmdir /s /q "%work%" >nul 2>&1
echo %skipped% skipped
echo %passed% passed, %failed% failed
if not "%failed%"=="0" exit /b 1
exit /b 0

:usage
echo usage: %~nx0 PROGRAM-FOLDER PACKAGE
echo   PROGRAM-FOLDER holds corvane_probe.exe and the built programs, PACKAGE is the .msi
exit /b 2

rem ---- Steps ----

:install
call :begin "install the package silently"
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

:events
call :begin "events: wevtutil finds the service's in the Application log"
wevtutil qe Application /q:"*[System[Provider[@Name='CorvaneService']]]" >"%out%" 2>&1
set "rc=%errorlevel%"
if defined wine goto events_wine
call :expect "wevtutil qe exit code" 0 "%rc%"
call :has "Service stopped"
rem One event per run of the service; the text form starts each event with an Event[N] line.
wevtutil qe Application /q:"*[System[Provider[@Name='CorvaneService']]]" /f:text >"%out%" 2>&1
call :count "Event["
if %count% lss %starts% call :problem "%count% events for %starts% runs of the service"
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

rem ---- Helpers ----

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

rem probe ARGS...: line is the probe's last line of output; for dosdevice, mapping is "mapped"
rem or "unmapped" (the probe exits 1 for a name with no definition); any other failure is a
rem problem. (Wine's cmd takes no if after an if.)
:probe
set "line="
set "mapping=unmapped"
"%probe%" %* >"%out%" 2>&1
set "rc=%errorlevel%"
for /f "usebackq delims=" %%L in ("%out%") do set "line=%%L"
if "%rc%"=="0" set "mapping=mapped"
if "%rc%"=="0" exit /b 0
if /i "%~1"=="dosdevice" exit /b 0
call :problem "corvane_probe %~1 exited %rc%"
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

rem count TEXT: count is how many lines of the last output hold TEXT (Windows' find only).
:count
set count=0
for /f %%N in ('%find% /c "%~1" ^< "%out%"') do set count=%%N
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
