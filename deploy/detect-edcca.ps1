# Detection rule for EdccaProvision: reports "Installed" when a network
# adapter's driver key holds the string value EDCCAEnable = 1, the state the
# tool establishes. (The instance key, 0000, 0001, ..., differs from machine
# to machine, so every one is looked at.)
$class = 'HKLM:\SYSTEM\CurrentControlSet\Control\Class\{4D36E972-E325-11CE-BFC1-08002BE10318}'
$hit = Get-ChildItem $class -ErrorAction SilentlyContinue |
  Where-Object { (Get-ItemProperty $_.PSPath -Name EDCCAEnable -ErrorAction SilentlyContinue).EDCCAEnable -eq '1' }
if ($hit) { Write-Output 'Installed' }
