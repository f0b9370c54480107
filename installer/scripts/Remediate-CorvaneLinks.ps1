<#
  Remediation for an Intune remediation (with Detect-CorvaneLinks.ps1): makes this machine's
  links as a links file has them, and takes off stored drives it lacks (corvane apply FILE
  --prune). Each entry is checked first: nothing is changed when one cannot be applied.

    Remediate-CorvaneLinks.ps1 [-Path FILE]   FILE: links.json in Corvane's folder unless given

  The exit code is corvane's (0 when the machine matches the file now), or 2 when corvane.exe is
  not installed.
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

& $corvane apply $Path --prune
exit $LASTEXITCODE
