<#
  Script detection for a Configuration Manager application: the machine counts as "installed"
  when its links are as a links file has them, stored drives it lacks included (corvane test
  FILE --prune).

    Test-CorvaneLinks.ps1 [-Path FILE]   FILE: links.json in Corvane's folder unless given

  Configuration Manager reads exit code 0 with a line on standard output as detected, exit code
  0 with no output at all as not detected, and any other exit code as a failed detection: here
  corvane's own, when it could not tell (its reasons on standard error), or 2 when corvane.exe is
  not installed.
#>
param([string]$Path)
$ErrorActionPreference = 'Continue'

# Configuration Manager runs a 32-bit PowerShell, where ProgramFiles is the x86 folder.
$corvane = @($env:ProgramW6432, $env:ProgramFiles) | Where-Object { $_ } |
  ForEach-Object { Join-Path $_ 'Corvane\corvane.exe' } |
  Where-Object { Test-Path -LiteralPath $_ -PathType Leaf } | Select-Object -First 1
if (-not $corvane) { [Console]::Error.WriteLine('corvane.exe is not installed.'); exit 2 }
if (-not $Path) { $Path = Join-Path (Split-Path $corvane) 'links.json' }
# corvane writes UTF-8 to a pipe.
try { [Console]::OutputEncoding = New-Object Text.UTF8Encoding $false } catch { }

# Standard error is held back too: a line there with exit code 0 makes the state unknown.
$said = @(& $corvane test $Path --prune 2>&1)
$code = $LASTEXITCODE
switch ($code) {
  0 { "The machine matches $Path."; exit 0 }
  1 { exit 0 }
  default { $said | ForEach-Object { [Console]::Error.WriteLine("$_") }; exit $code }
}
