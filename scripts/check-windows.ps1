#Requires -Version 3.0
<#
.SYNOPSIS
Checks on a real Windows what the Wine-driven tests cannot: graphics-capture
frames, the Media Foundation writer, hardware H.264 encoders, DPI on monitors
of mixed scale and borderless capture. Prints one line per finding.

.DESCRIPTION
Opens a window of its own ("vantle check <pid>"), half covered by a second
one, and runs vantle-cli.exe against it and against every monitor. Nothing is
written outside a temporary folder, which is removed at the end unless -Keep
is given. Lines start with "ok", "FAIL", "info" or "look" (something only a
person at the screen can judge). The exit status is the number of FAIL lines.

.PARAMETER Cli
The vantle-cli.exe to check; by default the MSVC build's, else the one beside
this script.

.PARAMETER NonInteractive
Skips the borderless check's question.

.PARAMETER Keep
Keeps the pictures and recordings for a look afterwards.

Needs Windows PowerShell 3.0 or later (on Windows 7, Windows Management
Framework 3.0 or later).

.EXAMPLE
powershell -ExecutionPolicy Bypass -File scripts\check-windows.ps1 -Cli build\msvc\cli\vantle-cli.exe
#>
param(
    [string]$Cli = "",
    [switch]$NonInteractive,
    [switch]$Keep
)

Set-StrictMode -Version 3
$ErrorActionPreference = "Stop"
$script:failures = 0

function Say([string]$kind, [string]$text) {
    if ($kind -eq "FAIL") { $script:failures++ }
    Write-Output ("{0,-5} {1}" -f $kind, $text)
}

if ($Cli -eq "") {
    $root = Split-Path -Parent $PSScriptRoot
    foreach ($candidate in @((Join-Path $root "build\msvc\cli\vantle-cli.exe"),
                             (Join-Path $PSScriptRoot "vantle-cli.exe"))) {
        if (Test-Path $candidate) { $Cli = $candidate; break }
    }
}
if ($Cli -eq "" -or -not (Test-Path $Cli)) {
    Write-Error "no vantle-cli.exe found; pass -Cli <path>"
    exit 64
}
$Cli = (Resolve-Path $Cli).Path

Add-Type -AssemblyName System.Windows.Forms
Add-Type -AssemblyName System.Drawing
Add-Type -TypeDefinition @'
using System;
using System.Collections.Generic;
using System.Runtime.InteropServices;

public static class VantleCheck {
    // ---- Monitors as a per-monitor aware thread sees them: physical pixels.
    [StructLayout(LayoutKind.Sequential)]
    public struct Rect { public int Left, Top, Right, Bottom; }

    [StructLayout(LayoutKind.Sequential, CharSet = CharSet.Unicode)]
    public struct MonitorInfoEx {
        public int Size;
        public Rect Monitor;
        public Rect Work;
        public uint Flags;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 32)] public string Device;
    }

    public class Monitor {
        public string Device; public int X, Y, Width, Height; public uint Dpi;
    }

    delegate bool MonitorEnum(IntPtr monitor, IntPtr dc, IntPtr rect, IntPtr data);
    [DllImport("user32.dll")] static extern bool EnumDisplayMonitors(IntPtr dc, IntPtr clip, MonitorEnum callback, IntPtr data);
    [DllImport("user32.dll", CharSet = CharSet.Unicode)] static extern bool GetMonitorInfoW(IntPtr monitor, ref MonitorInfoEx info);
    [DllImport("user32.dll")] static extern IntPtr SetThreadDpiAwarenessContext(IntPtr context);
    [DllImport("shcore.dll")] static extern int GetDpiForMonitor(IntPtr monitor, int type, out uint x, out uint y);

    public static List<Monitor> Monitors() {
        IntPtr previous = IntPtr.Zero;
        try { previous = SetThreadDpiAwarenessContext(new IntPtr(-4)); } catch (EntryPointNotFoundException) { }
        var found = new List<Monitor>();
        try {
            EnumDisplayMonitors(IntPtr.Zero, IntPtr.Zero, (handle, dc, rect, data) => {
                var info = new MonitorInfoEx();
                info.Size = Marshal.SizeOf(typeof(MonitorInfoEx));
                if (GetMonitorInfoW(handle, ref info)) {
                    uint dpi = 0, ignored;
                    try { if (GetDpiForMonitor(handle, 0, out dpi, out ignored) != 0) dpi = 0; }
                    catch (DllNotFoundException) { } catch (EntryPointNotFoundException) { }
                    found.Add(new Monitor { Device = info.Device, X = info.Monitor.Left, Y = info.Monitor.Top,
                                            Width = info.Monitor.Right - info.Monitor.Left,
                                            Height = info.Monitor.Bottom - info.Monitor.Top, Dpi = dpi });
                }
                return true;
            }, IntPtr.Zero);
        } finally {
            if (previous != IntPtr.Zero) SetThreadDpiAwarenessContext(previous);
        }
        return found;
    }

    // ---- Hardware H.264 encoders that Media Foundation offers.
    [StructLayout(LayoutKind.Sequential)]
    struct TypeInfo { public Guid Major; public Guid Sub; }
    [DllImport("mfplat.dll")] static extern int MFStartup(uint version, uint flags);
    [DllImport("mfplat.dll")] static extern int MFShutdown();
    [DllImport("mfplat.dll")] static extern int MFTEnumEx(Guid category, uint flags, IntPtr input, ref TypeInfo output, out IntPtr activates, out uint count);
    [DllImport("ole32.dll")] static extern void CoTaskMemFree(IntPtr memory);
    [UnmanagedFunctionPointer(CallingConvention.StdCall)]
    delegate int GetAllocatedString(IntPtr self, ref Guid key, out IntPtr text, out uint length);
    [UnmanagedFunctionPointer(CallingConvention.StdCall)]
    delegate uint Release(IntPtr self);

    public static List<string> HardwareH264Encoders() {
        var names = new List<string>();
        if (MFStartup(0x00020070, 0) < 0) throw new Exception("MFStartup failed");
        try {
            var category = new Guid("f79eac7d-e545-4387-bdee-d647d7bde42a");   // MFT_CATEGORY_VIDEO_ENCODER
            var output = new TypeInfo { Major = new Guid("73646976-0000-0010-8000-00aa00389b71"),  // video
                                        Sub = new Guid("34363248-0000-0010-8000-00aa00389b71") };  // H264
            var friendlyName = new Guid("314ffbae-5b41-4c95-9c19-4e7d586face3");
            IntPtr array; uint count;
            // MFT_ENUM_FLAG_HARDWARE | MFT_ENUM_FLAG_SORTANDFILTER
            int hr = MFTEnumEx(category, 0x4 | 0x40, IntPtr.Zero, ref output, out array, out count);
            if (hr < 0) throw new Exception(string.Format("MFTEnumEx failed (0x{0:X8})", hr));
            for (int i = 0; i < count; i++) {
                IntPtr activate = Marshal.ReadIntPtr(array, i * IntPtr.Size);
                IntPtr table = Marshal.ReadIntPtr(activate);
                // IMFAttributes::GetAllocatedString is the 14th entry; IUnknown::Release the 3rd.
                var get = (GetAllocatedString)Marshal.GetDelegateForFunctionPointer(
                    Marshal.ReadIntPtr(table, 13 * IntPtr.Size), typeof(GetAllocatedString));
                IntPtr text; uint length;
                names.Add(get(activate, ref friendlyName, out text, out length) >= 0
                          ? Marshal.PtrToStringUni(text) : "(unnamed)");
                if (text != IntPtr.Zero) CoTaskMemFree(text);
                var release = (Release)Marshal.GetDelegateForFunctionPointer(
                    Marshal.ReadIntPtr(table, 2 * IntPtr.Size), typeof(Release));
                release(activate);
            }
            CoTaskMemFree(array);
        } finally {
            MFShutdown();
        }
        return names;
    }
}
'@

$work = Join-Path ([IO.Path]::GetTempPath()) ("vantle-check-" + [Guid]::NewGuid().ToString("N").Substring(0, 8))
New-Item -ItemType Directory -Path $work | Out-Null

# Runs the program while this script's windows keep handling their messages;
# returns its exit status and what it wrote.
function Invoke-Vantle([string[]]$arguments) {
    $quoted = $arguments | ForEach-Object { '"' + ($_ -replace '"', '\"') + '"' }
    $out = Join-Path $work "stdout.txt"
    $err = Join-Path $work "stderr.txt"
    $process = Start-Process -FilePath $Cli -ArgumentList ($quoted -join " ") -NoNewWindow -PassThru `
        -RedirectStandardOutput $out -RedirectStandardError $err -WorkingDirectory $work
    $null = $process.Handle  # keeps the exit code readable after the process ends
    while (-not $process.HasExited) {
        [System.Windows.Forms.Application]::DoEvents()
        Start-Sleep -Milliseconds 20
    }
    $process.WaitForExit()
    [pscustomobject]@{
        Status = $process.ExitCode
        Out = [IO.File]::ReadAllText($out).Trim()
        Err = [IO.File]::ReadAllText($err).Trim()
    }
}

function Get-PngSize([string]$path) {
    $bytes = [IO.File]::ReadAllBytes($path)
    $width = ([int]$bytes[16] -shl 24) -bor ([int]$bytes[17] -shl 16) -bor ([int]$bytes[18] -shl 8) -bor $bytes[19]
    $height = ([int]$bytes[20] -shl 24) -bor ([int]$bytes[21] -shl 16) -bor ([int]$bytes[22] -shl 8) -bor $bytes[23]
    return @($width, $height)
}

try {
    # ---- The system.
    $os = Get-CimInstance Win32_OperatingSystem
    Say "info" ("{0}, build {1}, {2}" -f $os.Caption, $os.BuildNumber, $os.OSArchitecture)
    $build = [int]$os.BuildNumber
    $mf = Test-Path (Join-Path $env:windir "System32\mfplat.dll")
    Say "info" ("Media Foundation is {0}" -f $(if ($mf) { "installed" } else { "missing (N edition without the Media Feature Pack?)" }))
    $version = Invoke-Vantle @("--version")
    if ($version.Status -eq 0) { Say "ok" ("the program starts: {0}" -f $version.Out) }
    else { Say "FAIL" ("--version ended with {0}: {1}" -f $version.Status, $version.Err) }

    # ---- A window to capture, half covered by another of this script.
    $title = "vantle check $PID"
    $colour = [System.Drawing.Color]::FromArgb(0xC0, 0x30, 0x90)
    $form = New-Object System.Windows.Forms.Form
    $form.Text = $title
    $form.BackColor = $colour
    $form.StartPosition = "Manual"
    $form.Location = New-Object System.Drawing.Point(120, 120)
    $form.Size = New-Object System.Drawing.Size(480, 320)
    $cover = New-Object System.Windows.Forms.Form
    $cover.Text = "vantle check cover $PID"
    $cover.BackColor = [System.Drawing.Color]::FromArgb(0x20, 0xA0, 0x40)
    $cover.StartPosition = "Manual"
    $cover.Location = New-Object System.Drawing.Point(360, 200)
    $cover.Size = New-Object System.Drawing.Size(320, 280)
    $cover.TopMost = $true
    $form.Show(); $cover.Show()
    for ($i = 0; $i -lt 25; $i++) { [System.Windows.Forms.Application]::DoEvents(); Start-Sleep -Milliseconds 20 }

    # ---- Graphics-capture frames: the covered window as itself.
    $shot = Join-Path $work "window.png"
    $capture = Invoke-Vantle @("capture", "--window", $title, "--out", $shot, "--json")
    if ($capture.Status -ne 0) {
        Say "FAIL" ("graphics capture of a window: status {0}: {1}" -f $capture.Status, $capture.Err)
    } else {
        $picture = New-Object System.Drawing.Bitmap $shot
        try {
            # The client area's lower right part lies under the cover.
            $x = [int]($picture.Width * 0.8); $y = [int]($picture.Height * 0.8)
            $seen = $picture.GetPixel($x, $y)
            if ($seen.R -eq $colour.R -and $seen.G -eq $colour.G -and $seen.B -eq $colour.B) {
                Say "ok" ("graphics-capture frames: {0}x{1} picture, the covered part shows the window's own colour" -f $picture.Width, $picture.Height)
            } else {
                Say "FAIL" ("graphics-capture frames: pixel {0},{1} is #{2:X2}{3:X2}{4:X2}, the window is #C03090" -f $x, $y, $seen.R, $seen.G, $seen.B)
            }
        } finally { $picture.Dispose() }
    }

    # ---- The Media Foundation writer, and which hardware encoders it can use.
    $clip = Join-Path $work "window.mp4"
    $record = Invoke-Vantle @("record", "--window", $title, "--max-seconds", "2", "--out", $clip, "--json")
    if ($record.Status -ne 0) {
        Say "FAIL" ("Media Foundation writer: record ended with {0}: {1}" -f $record.Status, $record.Err)
    } elseif (-not (Test-Path $clip)) {
        Say "FAIL" "Media Foundation writer: record succeeded but left no file"
    } else {
        $head = [IO.File]::ReadAllBytes($clip)
        $box = [Text.Encoding]::ASCII.GetString($head, 4, 4)
        if ($box -ne "ftyp") { Say "FAIL" ("Media Foundation writer: the file starts with '{0}', not an MP4 'ftyp' box" -f $box) }
        else { Say "ok" ("Media Foundation writer: {0} bytes of MP4; {1}" -f $head.Length, $record.Out.Split("`n")[-1]) }
        if (Get-Command ffprobe -ErrorAction SilentlyContinue) {
            $probe = & ffprobe -v error -select_streams v:0 -count_frames -show_entries `
                stream=codec_name,width,height,nb_read_frames -of csv=p=0 $clip
            Say "info" ("ffprobe reads codec,width,height,frames: {0}" -f $probe)
        }
    }
    if ($mf) {
        try {
            $encoders = [VantleCheck]::HardwareH264Encoders()
            if ($encoders.Count -eq 0) { Say "info" "hardware H.264 encoders: none; recordings use the software encoder" }
            else { Say "info" ("hardware H.264 encoders, the first is tried first: {0}" -f ($encoders -join "; ")) }
        } catch { Say "FAIL" ("hardware H.264 encoders could not be listed: {0}" -f $_.Exception.Message) }
    }

    # ---- DPI: the program's monitors in physical pixels, on every scale.
    $listing = Invoke-Vantle @("windows", "--json")
    if ($listing.Status -ne 0) {
        Say "FAIL" ("windows --json ended with {0}: {1}" -f $listing.Status, $listing.Err)
    } else {
        $listed = ($listing.Out | ConvertFrom-Json).monitors
        $physical = [VantleCheck]::Monitors()
        $scales = @($physical | ForEach-Object { $_.Dpi } | Sort-Object -Unique)
        Say "info" ("{0} monitor(s), scales: {1}" -f $physical.Count, (($scales | ForEach-Object { if ($_ -gt 0) { "{0}%" -f [int]($_ * 100 / 96) } else { "unknown" } }) -join ", "))
        if ($scales.Count -lt 2) { Say "info" "all monitors share one scale; this check means most with two monitors of different scale" }
        foreach ($monitor in $listed) {
            $match = $physical | Where-Object { $_.Device -eq $monitor.name }
            $where = "{0}x{1} at {2},{3}" -f $monitor.width, $monitor.height, $monitor.x, $monitor.y
            if (-not $match) { Say "FAIL" ("monitor {0} ({1}) is not a monitor of this system" -f $monitor.index, $monitor.name); continue }
            $truth = "{0}x{1} at {2},{3}" -f $match.Width, $match.Height, $match.X, $match.Y
            if ($where -ne $truth) { Say "FAIL" ("monitor {0}: listed as {1}, physically {2}" -f $monitor.index, $where, $truth); continue }
            $file = Join-Path $work ("monitor{0}.png" -f $monitor.index)
            $shotMonitor = Invoke-Vantle @("capture", "--monitor", "$($monitor.index)", "--allow-desktop", "--out", $file)
            if ($shotMonitor.Status -ne 0) { Say "FAIL" ("capture --monitor {0}: {1}" -f $monitor.index, $shotMonitor.Err); continue }
            $size = Get-PngSize $file
            if ($size[0] -ne $monitor.width -or $size[1] -ne $monitor.height) {
                Say "FAIL" ("capture --monitor {0} is {1}x{2}, the monitor {3}" -f $monitor.index, $size[0], $size[1], $where)
            } else {
                Say "ok" ("monitor {0} ({1}, {2} dpi): listed and captured at its physical {3}" -f $monitor.index, $monitor.name, $match.Dpi, $where)
            }
        }
    }

    # ---- Borderless capture: only a person at the screen sees the border.
    if ($build -lt 20348) {
        Say "info" ("borderless capture: build {0} always draws the border around what is captured" -f $build)
    } elseif ($NonInteractive) {
        Say "info" "borderless capture: not checked (-NonInteractive)"
    } else {
        Write-Host "Watch the window '$title' for the next 4 seconds: is a coloured (yellow) frame drawn around it?"
        $null = Invoke-Vantle @("record", "--window", $title, "--max-seconds", "4", "--out", (Join-Path $work "border.mp4"))
        $answer = Read-Host "Was there a frame around the window? (y/n)"
        if ($answer -match "^[nN]") { Say "ok" "borderless capture: no border was drawn" }
        else { Say "look" "borderless capture: the border was drawn (the system refused borderless access, or it has no such access)" }
    }
    $cover.Close(); $form.Close()
} finally {
    if ($Keep) { Say "info" "the files are in $work" }
    else { Remove-Item -Recurse -Force $work -ErrorAction SilentlyContinue }
}
exit $script:failures
