<#
  Detection for an Intune remediation (with Remediate-CorvaneLinks.ps1): whether this machine's
  links are as a links file has them, stored drives it lacks included (corvane test FILE --prune).

    Detect-CorvaneLinks.ps1 [-Path FILE]   FILE: links.json in Corvane's folder unless given

  Exit 0: the machine matches the file. Exit 1: it does not; one line on standard output says
  how, and Intune runs the remediation. Any other exit code: corvane could not tell (its own
  exit code, its reasons on standard error), or corvane.exe is not installed (2).
#>
param([string]$Path)
$ErrorActionPreference = 'Continue'

# Intune runs a 32-bit PowerShell unless told otherwise, where ProgramFiles is the x86 folder.
$corvane = @($env:ProgramW6432, $env:ProgramFiles) | Where-Object { $_ } |
  ForEach-Object { Join-Path $_ 'Corvane\corvane.exe' } |
  Where-Object { Test-Path -LiteralPath $_ -PathType Leaf } | Select-Object -First 1
if (-not $corvane) { [Console]::Error.WriteLine('corvane.exe is not installed.'); exit 2 }
if (-not $Path) { $Path = Join-Path (Split-Path $corvane) 'links.json' }
# corvane writes UTF-8 to a pipe.
try { [Console]::OutputEncoding = New-Object Text.UTF8Encoding $false } catch { }

$said = @(& $corvane test $Path --prune)
$code = $LASTEXITCODE
switch ($code) {
  0 { "The machine matches $Path."; exit 0 }
  1 { if ($said) { $said -join ' ' } else { "The machine does not match $Path." }; exit 1 }
  default { [Console]::Error.WriteLine("corvane test $Path --prune exited with $code."); exit $code }
}
