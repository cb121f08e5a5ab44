# TELLVANE FERROW: prepares Windows to host УТМ VMs. Run elevated by the agent, which reads the
# outcome from the result file; safe to run again, whatever is done already is left as it is.
# With TELLVANE_SETUP_DRYRUN=1 it changes nothing and reports what it would do.
param(
    [Parameter(Mandatory = $true)][string]$ResultPath,
    [Parameter(Mandatory = $true)][string]$MsiUrl,
    [Parameter(Mandatory = $true)][string]$MsiSha256
)

$ErrorActionPreference = 'Stop'
$ProgressPreference = 'SilentlyContinue'

# USB vendor ids of the crypto tokens: Rutoken, JaCarta, RusToken, ESMART/MSKey.
$tokenVendorIds = @('0A89', '24DC', '2BB1', '2CE4')
$wslFeatures = @('Microsoft-Windows-Subsystem-Linux', 'VirtualMachinePlatform')
# The rule the driver's installer creates for its port 3240, open to the whole local subnet.
$firewallRuleName = 'usbipd'
$wslAdapterPattern = 'vEthernet (WSL*'
$tempPrefix = 'tellvane-usbipd-'
$dryRun = $env:TELLVANE_SETUP_DRYRUN -eq '1'

# The result and its transcript go into the user's own folder, where any program of the user could
# plant a symbolic link or junction that turns this elevated write onto a file of the system.
# Whatever stands at those paths is removed first (a link as itself, never what it leads to), and
# nothing is written where the folder is such a link or something there cannot be removed.
function Get-ItemAttributes([string]$Path) {
    # Of the item itself: a link is not followed.
    try { [IO.File]::GetAttributes($Path) } catch { $null }
}

function Test-ReparsePoint([string]$Path) {
    $attributes = Get-ItemAttributes $Path
    ($null -ne $attributes) -and $attributes.HasFlag([IO.FileAttributes]::ReparsePoint)
}

# True when nothing stands at $Path any more and its folder is no link.
function Clear-OutputPath([string]$Path) {
    if (Test-ReparsePoint (Split-Path -Parent $Path)) { return $false }
    $attributes = Get-ItemAttributes $Path
    if ($null -ne $attributes) {
        try {
            if ($attributes.HasFlag([IO.FileAttributes]::Directory)) {
                [IO.Directory]::Delete($Path, $false)
            } else {
                [IO.File]::Delete($Path)
            }
        } catch { return $false }
    }
    $null -eq (Get-ItemAttributes $Path)
}

$transcriptPath = $ResultPath + '.log'
$null = Clear-OutputPath $ResultPath
if (Clear-OutputPath $transcriptPath) {
    try { Start-Transcript -LiteralPath $transcriptPath -NoClobber | Out-Null } catch { }
}
$env:WSL_UTF8 = '1'

# The agent starts this script as a block made from memory, which has no script scope: the result
# lives in the block's own variable, and the functions below reach it from there.
$result = [ordered]@{
    format   = 1
    at       = [DateTime]::UtcNow.ToString('o')
    ok       = $false
    reboot   = $false
    error    = ''
    firewall = 'skipped'
    autobind = New-Object 'System.Collections.Generic.List[string]'
    steps    = New-Object 'System.Collections.Generic.List[object]'
}

function Add-Step([string]$Name, [bool]$Ok, [string]$Text) {
    $result.steps.Add([ordered]@{ name = $Name; ok = $Ok; text = $Text })
}

# Runs an outside program and judges it by its exit code alone: what it writes to standard error
# is part of its output, not a failure.
function Invoke-Tool([string]$Path, [string[]]$Arguments) {
    $ErrorActionPreference = 'Continue'
    $lines = & $Path @Arguments 2>&1 | ForEach-Object { "$_" }
    [pscustomobject]@{ Code = $LASTEXITCODE; Output = (@($lines) -join "`n") }
}

function Find-Usbipd {
    $command = Get-Command 'usbipd' -CommandType Application -ErrorAction SilentlyContinue |
        Select-Object -First 1
    if ($command) { return $command.Path }
    if ($env:ProgramFiles) {
        $candidate = Join-Path $env:ProgramFiles 'usbipd-win\usbipd.exe'
        if (Test-Path -LiteralPath $candidate) { return $candidate }
    }
    return $null
}

function Get-Sha256Hex([IO.Stream]$Stream) {
    $hash = [Security.Cryptography.SHA256]::Create().ComputeHash($Stream)
    -join ($hash | ForEach-Object { $_.ToString('x2') })
}

try {
    # WSL. A built-in wsl.exe too old to know --version cannot run systemd: it counts as missing.
    $wslExe = Join-Path $env:SystemRoot 'System32\wsl.exe'
    $wslReady = (Test-Path -LiteralPath $wslExe) -and (Invoke-Tool $wslExe @('--version')).Code -eq 0
    if ($wslReady) {
        Add-Step 'wsl' $true 'Компоненты Windows для VM уже есть'
    } elseif ($dryRun) {
        Add-Step 'wsl' $true 'Проверка: компоненты Windows для VM поставили бы'
    } else {
        $featuresOff = @($wslFeatures | Where-Object {
                (Get-WindowsOptionalFeature -Online -FeatureName $_).State -ne 'Enabled' })
        $install = Invoke-Tool $wslExe @('--install', '--no-distribution')
        if ($install.Code -ne 0) {
            throw "wsl --install --no-distribution, код $($install.Code): $($install.Output)"
        }
        if ($featuresOff.Count -gt 0) { $result.reboot = $true }
        Add-Step 'wsl' $true 'Компоненты Windows для VM установлены'
    }

    # usbipd-win, the driver that passes USB tokens into WSL.
    $usbipd = Find-Usbipd
    if ($usbipd) {
        Add-Step 'usbipd' $true 'Драйвер передачи носителей уже установлен'
    } elseif ($dryRun) {
        Add-Step 'usbipd' $true 'Проверка: драйвер передачи носителей поставили бы'
    } else {
        [Net.ServicePointManager]::SecurityProtocol = [Net.SecurityProtocolType]::Tls12
        $msiPath = Join-Path ([IO.Path]::GetTempPath()) ($tempPrefix + [Guid]::NewGuid().ToString('N') + '.msi')
        $msiFile = $null
        try {
            Invoke-WebRequest -Uri $MsiUrl -OutFile $msiPath -UseBasicParsing
            # Held open, shared for reading only, until the installer is done: the file that was
            # checked is the file that gets installed.
            $msiFile = [IO.File]::Open($msiPath, [IO.FileMode]::Open, [IO.FileAccess]::Read,
                [IO.FileShare]::Read)
            $msiHash = Get-Sha256Hex $msiFile
            if ($msiHash -ne $MsiSha256) { throw "sha256 установщика драйвера не совпал: $msiHash" }
            $signature = Get-AuthenticodeSignature -LiteralPath $msiPath
            if ($signature.Status -ne 'Valid') {
                throw "подпись установщика драйвера недействительна: $($signature.Status)"
            }
            $msiexec = Start-Process -FilePath 'msiexec.exe' -Wait -PassThru `
                -ArgumentList @('/i', "`"$msiPath`"", '/qn', '/norestart')
            $msiCode = $msiexec.ExitCode
        } finally {
            if ($msiFile) { $msiFile.Dispose() }
            Remove-Item -LiteralPath $msiPath -Force -ErrorAction SilentlyContinue
        }
        if ($msiCode -eq 3010) {
            $result.reboot = $true
        } elseif ($msiCode -ne 0) {
            throw "msiexec вернул $msiCode"
        }
        # The installer put the driver on the machine's search path, not on this process's.
        $env:Path = [Environment]::GetEnvironmentVariable('Path', 'Machine') + ';' +
            [Environment]::GetEnvironmentVariable('Path', 'User')
        $usbipd = Find-Usbipd
        if (-not $usbipd) { throw 'после установки usbipd.exe не найден' }
        Add-Step 'usbipd' $true 'Драйвер передачи носителей установлен'
    }
    if (-not $dryRun) {
        $service = Get-Service -Name 'usbipd' -ErrorAction SilentlyContinue
        if ($service -and $service.Status -ne 'Running') { Start-Service -Name 'usbipd' }
    }

    # AutoBind: the token models plugged in may be attached to WSL without rights from now on.
    $ids = New-Object 'System.Collections.Generic.List[string]'
    $policy = ''
    if ($usbipd) {
        $state = Invoke-Tool $usbipd @('state')
        if ($state.Code -ne 0) { throw "usbipd state: $($state.Output)" }
        foreach ($device in @(($state.Output | ConvertFrom-Json).Devices)) {
            if ("$($device.InstanceId)" -match 'VID_([0-9A-Fa-f]{4})&PID_([0-9A-Fa-f]{4})' -and
                $tokenVendorIds -contains $Matches[1].ToUpperInvariant()) {
                $id = ($Matches[1] + ':' + $Matches[2]).ToLowerInvariant()
                if (-not $ids.Contains($id)) { $ids.Add($id) }
            }
        }
        $policy = (Invoke-Tool $usbipd @('policy', 'list')).Output
    }
    foreach ($id in $ids) {
        if (-not $dryRun -and $policy.IndexOf($id, [StringComparison]::OrdinalIgnoreCase) -lt 0) {
            $add = Invoke-Tool $usbipd @('policy', 'add', '--effect', 'Allow', '--operation',
                'AutoBind', '--hardware-id', $id)
            if ($add.Code -ne 0) { throw "usbipd policy add ${id}: $($add.Output)" }
        }
        $result.autobind.Add($id)
    }
    if ($ids.Count -gt 0) {
        Add-Step 'autobind' $true ('Носители разрешены для VM: ' + ($ids -join ', '))
    } else {
        Add-Step 'autobind' $true 'Носителей не вставлено — разрешим, когда вставят'
    }

    # Firewall: the driver's port is needed only by WSL, so its rule is narrowed to the WSL
    # adapters, which exist only while the WSL virtual machine runs.
    $adapters = @(Get-NetAdapter -IncludeHidden -ErrorAction SilentlyContinue |
            Where-Object { $_.Name -like $wslAdapterPattern })
    $rules = @(Get-NetFirewallRule -DisplayName $firewallRuleName -ErrorAction SilentlyContinue)
    if ($rules.Count -eq 0) {
        $result.firewall = 'narrowed'
        Add-Step 'firewall' $true 'Порт передачи носителей наружу не открыт'
    } elseif ($adapters.Count -eq 0) {
        Add-Step 'firewall' $false 'Порт передачи носителей пока открыт для локальной сети — закроем, когда VM запустятся'
    } elseif ($dryRun) {
        Add-Step 'firewall' $true 'Проверка: порт передачи носителей закрыли бы для локальной сети'
    } else {
        $aliases = @($adapters | ForEach-Object { $_.Name })
        foreach ($rule in $rules) {
            Get-NetFirewallInterfaceFilter -AssociatedNetFirewallRule $rule |
                Set-NetFirewallInterfaceFilter -InterfaceAlias $aliases
        }
        $result.firewall = 'narrowed'
        Add-Step 'firewall' $true 'Порт передачи носителей закрыт для локальной сети'
    }

    $result.ok = $true
} catch {
    $result.error = $_.Exception.Message
}

# The result is written on every way out; without it the agent cannot tell what happened, so a
# failure to write it fails the run. The path is cleared again, as the run took its time, and the
# file is created anew (CreateNew), never opened where something appeared meanwhile.
$exitCode = 0
try {
    if (-not (Clear-OutputPath $ResultPath)) {
        throw "на месте итога ссылка или файл, который не удалить: $ResultPath"
    }
    $json = ConvertTo-Json -InputObject $result -Depth 5
    $bytes = (New-Object Text.UTF8Encoding $false).GetBytes($json)
    $stream = [IO.File]::Open($ResultPath, [IO.FileMode]::CreateNew, [IO.FileAccess]::Write,
        [IO.FileShare]::None)
    try { $stream.Write($bytes, 0, $bytes.Length) } finally { $stream.Dispose() }
} catch {
    $result.ok = $false
    Write-Output "итог не записан: $($_.Exception.Message)"
}
try { Stop-Transcript | Out-Null } catch { }
if (-not $result.ok) {
    $exitCode = 1
} elseif ($result.reboot) {
    $exitCode = 3010
}
exit $exitCode
