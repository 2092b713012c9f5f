#!/usr/bin/env python3
"""The import table of a cross-built Windows executable, checked against Windows 7 SP1.

    check_imports.py --objdump x86_64-w64-mingw32-objdump program.exe...

The system loader refuses to start a program whose import table names a DLL
or a function that the system lacks, before the program's own code runs, so
nothing the program does at run time can make up for it. Every import must
therefore come from a DLL that every Windows from 7 SP1 on has, in every
edition (Media Foundation is missing from the N editions and from Windows
Server without its media feature), and must not be a function that these DLLs
only gained later. Anything newer is resolved at run time by the program.

Prints the import list of each executable, then one line per offending import.
Exit status: 0 when every import is allowed, 1 otherwise or when the table
cannot be read.
"""

import argparse
import subprocess
import sys

# The DLLs every Windows 7 SP1 installation has, in every edition.
WINDOWS_7_DLLS = {
    "advapi32.dll",
    "bcrypt.dll",
    "comctl32.dll",
    "comdlg32.dll",
    "crypt32.dll",
    "d3d11.dll",
    "dwmapi.dll",
    "dxgi.dll",
    "gdi32.dll",
    "kernel32.dll",
    "msvcrt.dll",
    "ole32.dll",
    "oleaut32.dll",
    "shell32.dll",
    "shlwapi.dll",
    "user32.dll",
    "userenv.dll",
    "uxtheme.dll",
    "version.dll",
    "winmm.dll",
    "ws2_32.dll",
}

# Functions of the DLLs above that arrived after Windows 7, with the Microsoft
# Learn page (learn.microsoft.com/windows/win32/api/...) whose Requirements
# table gives the minimum client version.
DOCS = "https://learn.microsoft.com/windows/win32/api/"
NEWER_THAN_WINDOWS_7 = {
    "kernel32.dll": {
        "AddDllDirectory": ("Windows 8 (7 only with KB2533623)",
                            "libloaderapi/nf-libloaderapi-adddlldirectory"),
        "RemoveDllDirectory": ("Windows 8 (7 only with KB2533623)",
                               "libloaderapi/nf-libloaderapi-removedlldirectory"),
        "SetDefaultDllDirectories": ("Windows 8 (7 only with KB2533623)",
                                     "libloaderapi/nf-libloaderapi-setdefaultdlldirectories"),
        "CopyFile2": ("Windows 8", "winbase/nf-winbase-copyfile2"),
        "CreateFile2": ("Windows 8", "fileapi/nf-fileapi-createfile2"),
        "CreateFileMappingFromApp": ("Windows 8",
                                     "memoryapi/nf-memoryapi-createfilemappingfromapp"),
        "GetCurrentThreadStackLimits": (
            "Windows 8", "processthreadsapi/nf-processthreadsapi-getcurrentthreadstacklimits"),
        "GetOverlappedResultEx": ("Windows 8", "ioapiset/nf-ioapiset-getoverlappedresultex"),
        "GetProcessMitigationPolicy": (
            "Windows 8", "processthreadsapi/nf-processthreadsapi-getprocessmitigationpolicy"),
        "SetProcessMitigationPolicy": (
            "Windows 8", "processthreadsapi/nf-processthreadsapi-setprocessmitigationpolicy"),
        "GetSystemTimePreciseAsFileTime": (
            "Windows 8", "sysinfoapi/nf-sysinfoapi-getsystemtimepreciseasfiletime"),
        "InitializeSynchronizationBarrier": (
            "Windows 8", "synchapi/nf-synchapi-initializesynchronizationbarrier"),
        "EnterSynchronizationBarrier": ("Windows 8",
                                        "synchapi/nf-synchapi-entersynchronizationbarrier"),
        "PrefetchVirtualMemory": ("Windows 8", "memoryapi/nf-memoryapi-prefetchvirtualmemory"),
        "GetPackageFamilyName": ("Windows 8", "appmodel/nf-appmodel-getpackagefamilyname"),
        "GetCurrentPackageFullName": ("Windows 8",
                                      "appmodel/nf-appmodel-getcurrentpackagefullname"),
        "GetCurrentPackageId": ("Windows 8", "appmodel/nf-appmodel-getcurrentpackageid"),
        "SetThreadInformation": ("Windows 8",
                                 "processthreadsapi/nf-processthreadsapi-setthreadinformation"),
        "GetThreadInformation": ("Windows 8",
                                 "processthreadsapi/nf-processthreadsapi-getthreadinformation"),
        "SetThreadDescription": ("Windows 10 1607",
                                 "processthreadsapi/nf-processthreadsapi-setthreaddescription"),
        "GetThreadDescription": ("Windows 10 1607",
                                 "processthreadsapi/nf-processthreadsapi-getthreaddescription"),
        "WaitOnAddress": ("Windows 8", "synchapi/nf-synchapi-waitonaddress"),
        "WakeByAddressSingle": ("Windows 8", "synchapi/nf-synchapi-wakebyaddresssingle"),
        "WakeByAddressAll": ("Windows 8", "synchapi/nf-synchapi-wakebyaddressall"),
        "CreatePseudoConsole": ("Windows 10 1809", "consoleapi/nf-consoleapi-createpseudoconsole"),
        "GetSystemCpuSetInformation": (
            "Windows 10", "processthreadsapi/nf-processthreadsapi-getsystemcpusetinformation"),
        "VirtualAlloc2": ("Windows 10 1803", "memoryapi/nf-memoryapi-virtualalloc2"),
    },
    "user32.dll": {
        "SetProcessDpiAwarenessContext": ("Windows 10 1703",
                                          "winuser/nf-winuser-setprocessdpiawarenesscontext"),
        "SetThreadDpiAwarenessContext": ("Windows 10 1607",
                                         "winuser/nf-winuser-setthreaddpiawarenesscontext"),
        "GetThreadDpiAwarenessContext": ("Windows 10 1607",
                                         "winuser/nf-winuser-getthreaddpiawarenesscontext"),
        "GetWindowDpiAwarenessContext": ("Windows 10 1607",
                                         "winuser/nf-winuser-getwindowdpiawarenesscontext"),
        "GetAwarenessFromDpiAwarenessContext": (
            "Windows 10 1607", "winuser/nf-winuser-getawarenessfromdpiawarenesscontext"),
        "AreDpiAwarenessContextsEqual": ("Windows 10 1607",
                                         "winuser/nf-winuser-aredpiawarenesscontextsequal"),
        "IsValidDpiAwarenessContext": ("Windows 10 1607",
                                       "winuser/nf-winuser-isvaliddpiawarenesscontext"),
        "GetDpiForWindow": ("Windows 10 1607", "winuser/nf-winuser-getdpiforwindow"),
        "GetDpiForSystem": ("Windows 10 1607", "winuser/nf-winuser-getdpiforsystem"),
        "GetSystemMetricsForDpi": ("Windows 10 1607", "winuser/nf-winuser-getsystemmetricsfordpi"),
        "AdjustWindowRectExForDpi": ("Windows 10 1607",
                                     "winuser/nf-winuser-adjustwindowrectexfordpi"),
        "SystemParametersInfoForDpi": ("Windows 10 1607",
                                       "winuser/nf-winuser-systemparametersinfofordpi"),
        "EnableNonClientDpiScaling": ("Windows 10 1607",
                                      "winuser/nf-winuser-enablenonclientdpiscaling"),
        "GetDpiFromDpiAwarenessContext": ("Windows 10 1803",
                                          "winuser/nf-winuser-getdpifromdpiawarenesscontext"),
        "SetThreadDpiHostingBehavior": ("Windows 10 1803",
                                        "winuser/nf-winuser-setthreaddpihostingbehavior"),
        "LogicalToPhysicalPointForPerMonitorDPI": (
            "Windows 8.1", "winuser/nf-winuser-logicaltophysicalpointforpermonitordpi"),
        "PhysicalToLogicalPointForPerMonitorDPI": (
            "Windows 8.1", "winuser/nf-winuser-physicaltologicalpointforpermonitordpi"),
        "GetPointerInfo": ("Windows 8", "winuser/nf-winuser-getpointerinfo"),
        "EnableMouseInPointer": ("Windows 8", "winuser/nf-winuser-enablemouseinpointer"),
        "IsImmersiveProcess": ("Windows 8", "winuser/nf-winuser-isimmersiveprocess"),
        "SetDisplayAutoRotationPreferences": (
            "Windows 8", "winuser/nf-winuser-setdisplayautorotationpreferences"),
        "GetDisplayAutoRotationPreferences": (
            "Windows 8", "winuser/nf-winuser-getdisplayautorotationpreferences"),
    },
    "d3d11.dll": {
        "CreateDirect3D11DeviceFromDXGIDevice": (
            "Windows 10", "windows.graphics.directx.direct3d11.interop/"
            "nf-windows-graphics-directx-direct3d11-interop-createdirect3d11devicefromdxgidevice"),
        "CreateDirect3D11SurfaceFromDXGISurface": (
            "Windows 10", "windows.graphics.directx.direct3d11.interop/"
            "nf-windows-graphics-directx-direct3d11-interop-createdirect3d11surfacefromdxgisurface"),
    },
    "dxgi.dll": {
        "CreateDXGIFactory2": ("Windows 8.1", "dxgi1_3/nf-dxgi1_3-createdxgifactory2"),
        "DXGIGetDebugInterface1": ("Windows 8.1", "dxgi1_3/nf-dxgi1_3-dxgigetdebuginterface1"),
        "DXGIDeclareAdapterRemovalSupport": (
            "Windows 10 1803", "dxgi1_6/nf-dxgi1_6-dxgideclareadapterremovalsupport"),
    },
    "ole32.dll": {
        "CoIncrementMTAUsage": ("Windows 8", "combaseapi/nf-combaseapi-coincrementmtausage"),
        "CoDecrementMTAUsage": ("Windows 8", "combaseapi/nf-combaseapi-codecrementmtausage"),
        "CoDecodeProxy": ("Windows 8", "combaseapi/nf-combaseapi-codecodeproxy"),
        "RoGetAgileReference": ("Windows 8.1", "combaseapi/nf-combaseapi-rogetagilereference"),
    },
    "dwmapi.dll": {
        "DwmRenderGesture": ("Windows 8", "dwmapi/nf-dwmapi-dwmrendergesture"),
        "DwmShowContact": ("Windows 8", "dwmapi/nf-dwmapi-dwmshowcontact"),
        "DwmTetherContact": ("Windows 8", "dwmapi/nf-dwmapi-dwmtethercontact"),
    },
    "advapi32.dll": {
        "EventSetInformation": ("Windows 8", "evntprov/nf-evntprov-eventsetinformation"),
    },
}


def read_imports(objdump, program):
    """{dll (lower case): [function names]} from objdump's private headers."""
    result = subprocess.run([objdump, "-p", program], capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"{objdump} -p {program}: {result.stderr.strip()}")
    imports = {}
    current = None
    in_table = False
    for line in result.stdout.splitlines():
        stripped = line.strip()
        if stripped.startswith("DLL Name:"):
            current = stripped.split(":", 1)[1].strip().lower()
            imports.setdefault(current, [])
            in_table = False
        elif current is not None and stripped.startswith("vma:") and "Hint/Ord" in stripped:
            in_table = True
        elif in_table and stripped:
            fields = stripped.split()
            # "<vma> <hint> <name>", or "<vma> <ordinal> <ordinal>" without a name.
            if len(fields) >= 3 and all(c in "0123456789abcdefABCDEF" for c in fields[0]):
                imports[current].append(fields[2])
            else:
                in_table = False
        elif not stripped:
            in_table = False
    if not imports:
        raise RuntimeError(f"{program}: objdump shows no import table")
    return imports


def offences(imports):
    found = []
    for dll, functions in sorted(imports.items()):
        if dll not in WINDOWS_7_DLLS:
            found.append(f"{dll} is not a DLL that every Windows 7 SP1 has "
                         f"(imports {', '.join(sorted(functions))})")
            continue
        newer = NEWER_THAN_WINDOWS_7.get(dll, {})
        for function in sorted(functions):
            entry = newer.get(function)
            if entry is not None:
                since, page = entry
                found.append(f"{dll} {function} needs {since} ({DOCS}{page})")
    return found


def self_check():
    """The parser and the rules on a known table, so a change in objdump's
    layout cannot make every program pass."""
    sample = {
        "kernel32.dll": ["GetTickCount64", "GetSystemTimePreciseAsFileTime"],
        "user32.dll": ["SetWindowDisplayAffinity"],
        "mfplat.dll": ["MFStartup"],
        "api-ms-win-core-winrt-l1-1-0.dll": ["RoInitialize"],
    }
    got = offences(sample)
    assert len(got) == 3, got
    assert got[0].startswith("api-ms-win-core-winrt-l1-1-0.dll is not"), got
    assert "GetSystemTimePreciseAsFileTime needs Windows 8" in got[1], got
    assert got[2].startswith("mfplat.dll is not"), got


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--objdump", required=True)
    parser.add_argument("programs", nargs="+")
    args = parser.parse_args()
    self_check()
    failed = False
    for program in args.programs:
        try:
            imports = read_imports(args.objdump, program)
        except (OSError, RuntimeError) as problem:
            print(f"FAIL  {problem}")
            failed = True
            continue
        print(f"{program} imports:")
        for dll, functions in sorted(imports.items()):
            print(f"  {dll}: {' '.join(sorted(functions))}")
        found = offences(imports)
        for offence in found:
            print(f"FAIL  {offence}")
        if not found:
            print("ok    every import is in every Windows from 7 SP1 on")
        failed = failed or bool(found)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
