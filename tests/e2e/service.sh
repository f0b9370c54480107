# Shared by tests/e2e/run.sh, tests/e2e/msi.sh and script/demo (source it): a throwaway Wine
# prefix with CorvaneService.exe installed with its own -Service switch or from the package, and
# the calls to start the service and look inside.
#
# Needs: root (the project root), bin (where CorvaneService.exe and corvane_probe.exe are).
# Sets: prefix, drive_c, WINEPREFIX, service_runs (counts the service's runs); removes the prefix on exit unless CORVANE_KEEP_PREFIX is set.

service=CorvaneService
service_appid='{5E0C2A91-7B3D-4F68-A2C4-93D17E8B06F5}'

export WINEDEBUG=-all
export WINEDLLOVERRIDES=mscoree,mshtml=

# Makes the prefix (removed on exit) after checking that these files exist. Returns non-zero on
# failure.
make_prefix() {
  local file
  for file in "$@"; do
    if [[ ! -f $file ]]; then
      echo "missing $file: build the windows preset first" >&2
      return 1
    fi
  done
  prefix=$("$root/script/wine-prefix" create) || { echo "cannot make a Wine prefix" >&2; return 1; }
  export WINEPREFIX=$prefix
  trap remove_prefix EXIT
  drive_c=$prefix/drive_c
}

# Makes the prefix, copies the program into C:\Corvane and installs it with -Service. Returns
# non-zero on failure.
install_service() {
  make_prefix "$bin/CorvaneService.exe" "$bin/corvane_probe.exe" || return 1
  mkdir -p "$drive_c/Corvane"
  cp "$bin/CorvaneService.exe" "$drive_c/Corvane/CorvaneService.exe"
  # The program installs itself: the AppID entries, LocalService and the service record.
  local code
  code=$(exit_code_of 'C:\Corvane\CorvaneService.exe' -Service)
  [[ $code == 0x00000000 ]] || { echo "CorvaneService.exe -Service exited with $code" >&2; return 1; }
}

# Where the package installs the programs, and the package of the project's version.
install_dir='C:\Program Files\Corvane'
package_version() { sed -nE 's/^project\(Corvane VERSION ([0-9.]+) .*/\1/p' "$root/CMakeLists.txt"; }
package_file() { echo "$root/build/windows/corvane-$(package_version)-x64.msi"; }

# Runs msiexec silently (/qn) with this action (i, x) on this package, copied into C:\, and
# any further arguments (PROPERTY=VALUE), and prints its full exit code.
msiexec_quietly() {
  local action=$1 package=$2
  cp "$package" "$drive_c/" || return 1
  exit_code_of msiexec "/$action" "C:\\$(basename "$package")" /qn "${@:3}"
}

# Makes the prefix and installs the package silently. Returns non-zero on failure.
install_package() {
  local package
  package=$(package_file)
  make_prefix "$package" "$bin/corvane_probe.exe" || return 1
  local code
  code=$(msiexec_quietly i "$package")
  [[ $code == 0x00000000 ]] || { echo "msiexec /i $(basename "$package") /qn exited with $code" >&2; return 1; }
}

# Runs a Windows command line in the prefix and prints its full 32-bit exit code in hex. A batch
# file waits for a GUI program too, and ERRORLEVEL holds what GetExitCodeProcess gives.
exit_code_of() {
  printf '@%s\r\n@echo %%ERRORLEVEL%%\r\n' "$*" >"$drive_c/exit-code.bat"
  local signed
  signed=$(wine cmd /c 'C:\exit-code.bat' 2>/dev/null | tr -d '\r' | tail -n 1)
  printf '0x%08X\n' "$((signed & 0xFFFFFFFF))"
}

remove_prefix() {
  [[ -n ${prefix:-} ]] || return 0
  if [[ -n ${CORVANE_KEEP_PREFIX:-} ]]; then
    echo "prefix kept: WINEPREFIX=$prefix (remove with script/wine-prefix destroy $prefix)"
  else
    "$root/script/wine-prefix" destroy "$prefix"
  fi
  prefix=
}

# Runs the probe; prints its output without Windows line ends and returns its exit status.
# A letter's probe that did not answer (a failed call, exit 3, or a program wine could not run on
# a busy machine) is asked again; its answers, "not defined" (1) among them, are taken as they come.
# Every other probe streams (hold prints "held" while it runs).
probe() {
  if [[ $1 != dosdevice ]]; then
    wine "$bin/corvane_probe.exe" "$@" 2>/dev/null | tr -d '\r'
    return
  fi
  local out status try
  for try in 1 2 3; do
    out=$(wine "$bin/corvane_probe.exe" "$@" 2>/dev/null)
    status=$?
    ((status == 0 || status == 1 || status == 2)) && break
    sleep 0.2
  done
  [[ -n $out ]] && printf '%s\n' "$out" | tr -d '\r'
  return "$status"
}

# Whether a CorvaneService.exe of this prefix still runs (a finished one stays a zombie, with
# no command line left to read).
service_process_runs() {
  local process
  for process in /proc/[0-9]*; do
    [[ $(tr -d '\0' 2>/dev/null <"$process/cmdline") == *CorvaneService.exe* ]] || continue
    grep -qaxz "WINEPREFIX=$prefix" "$process/environ" 2>/dev/null && return 0
  done
  return 1
}

# How many "Service stopped" events the services of this prefix have traced so far.
stopped_events() { grep -ac 'trace:eventlog:ReportEventW L"Service stopped"' "${CORVANE_SERVICE_LOG:-/dev/null}"; }

# Waits (60 s at most, a hang's bound) until the service has stopped and its process has ended,
# so that everything it traced is in the log; sets exit_code to its WIN32_EXIT_CODE, or to a
# description of what went wrong.
await_service_end() {
  local query deadline=$((SECONDS + 60))
  exit_code="(still running after 60 s)"
  while ((SECONDS < deadline)); do
    query=$(wine sc query "$service" 2>/dev/null | tr -d '\r')
    if grep -qE 'STATE +: 1 +STOPPED' <<<"$query" && ! service_process_runs; then
      exit_code=$(sed -nE 's/^ *WIN32_EXIT_CODE +: ([0-9]+).*/\1/p' <<<"$query")
      return
    fi
    sleep 0.2
  done
}

# Starts the service with the given start arguments and waits until it has ended; sets
# exit_code as await_service_end does. Under Wine an empty start argument ends the list, so
# callers pass a placeholder instead. A start Wine's manager gave up on is made again only when
# the service traced no "Service stopped" for it: the manager also gives up on a start it looks
# at only after the service has already stopped, and that request ran (service_runs counts the
# runs that did).
service_runs=0
start_service() {
  local attempt output events
  for attempt in 1 2 3 4 5; do
    events=$(stopped_events)
    output=$(wine sc start "$service" "$@" 2>&1)
    local started=$?
    await_service_end
    if ((started == 0 || $(stopped_events) > events)); then
      service_runs=$((service_runs + 1))
      return
    fi
  done
  exit_code="(sc start failed: $(tr -d '\r' <<<"$output" | head -n 1))"
}

# Reboots the prefix and waits until the automatic start has run its restore pass and ended;
# sets boot_exit_code (1077, "never started", while it has not run).
reboot_prefix() {
  "$root/script/wine-prefix" reboot "$prefix"
  service_runs=$((service_runs + 1))
  local query
  for _ in $(seq 300); do
    query=$(wine sc query "$service" 2>/dev/null | tr -d '\r')
    boot_exit_code=$(sed -nE 's/^ *WIN32_EXIT_CODE +: ([0-9]+).*/\1/p' <<<"$query")
    grep -qE 'STATE +: 1 +STOPPED' <<<"$query" && [[ $boot_exit_code != 1077 ]] &&
      ! service_process_runs && break
    sleep 0.2
  done
}
