#!/usr/bin/env python3
"""Checks that the 32-bit quarnelix_link.exe can start on Windows XP SP3.

  windows_xp_imports_test.py --objdump OBJDUMP PROGRAM

Reads the program's header and import table with `objdump -p` and fails when
the header asks for a Windows newer than XP (5.1), when the program imports
from a DLL that XP does not ship, by ordinal, or any function that first came
with Vista or later. XP's loader refuses such a program before it runs, with
"The procedure entry point ... could not be located".
"""
import argparse
import os
import re
import subprocess
import sys

XP = (5, 1)

# DLLs of a plain XP SP3 installation that a program of this kind may use.
XP_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "shell32.dll", "comctl32.dll",
    "msvcrt.dll", "advapi32.dll", "ole32.dll", "oleaut32.dll", "shlwapi.dll",
    "comdlg32.dll", "ws2_32.dll", "version.dll", "winmm.dll", "imm32.dll", "setupapi.dll",
}

# Functions from Vista on that compilers, runtimes and their libraries are
# known to pull in. Listed without the A/W suffix; both forms are refused.
POST_XP_FUNCTIONS = {
    # cancelling and time
    "CancelIoEx", "CancelSynchronousIo", "GetTickCount64", "GetSystemTimePreciseAsFileTime",
    "QueryThreadCycleTime", "QueryUnbiasedInterruptTime", "GetDynamicTimeZoneInformation",
    # slim reader/writer locks, condition variables, one-time initialisation
    "InitializeSRWLock", "AcquireSRWLockExclusive", "AcquireSRWLockShared",
    "ReleaseSRWLockExclusive", "ReleaseSRWLockShared", "TryAcquireSRWLockExclusive",
    "TryAcquireSRWLockShared", "InitializeConditionVariable", "SleepConditionVariableCS",
    "SleepConditionVariableSRW", "WakeConditionVariable", "WakeAllConditionVariable",
    "InitOnceInitialize", "InitOnceExecuteOnce", "InitOnceBeginInitialize", "InitOnceComplete",
    "WaitOnAddress", "WakeByAddressSingle", "WakeByAddressAll",
    # the ...Ex creators and critical sections
    "CreateEventEx", "CreateMutexEx", "CreateSemaphoreEx", "CreateWaitableTimerEx",
    "InitializeCriticalSectionEx",
    # fiber-local storage (XP has thread-local storage only)
    "FlsAlloc", "FlsFree", "FlsGetValue", "FlsSetValue",
    # locale names
    "LCIDToLocaleName", "LocaleNameToLCID", "GetLocaleInfoEx", "CompareStringEx",
    "LCMapStringEx", "GetUserDefaultLocaleName", "GetSystemDefaultLocaleName",
    "EnumSystemLocalesEx", "IsValidLocaleName", "ResolveLocaleName", "GetDateFormatEx",
    "GetTimeFormatEx", "GetNumberFormatEx", "GetCurrencyFormatEx", "FindNLSStringEx",
    "GetStringScripts", "IdnToAscii", "IdnToUnicode", "NormalizeString",
    # files and processes
    "GetFileInformationByHandleEx", "SetFileInformationByHandle", "CreateSymbolicLink",
    "GetFinalPathNameByHandle", "CopyFile2", "CreateFile2", "GetQueuedCompletionStatusEx",
    "SetFileCompletionNotificationModes", "QueryFullProcessImageName", "GetThreadId",
    "GetProcessIdOfThread", "FlushProcessWriteBuffers", "GetCurrentProcessorNumber",
    "GetCurrentProcessorNumberEx", "GetLogicalProcessorInformationEx", "SetThreadStackGuarantee",
    "GetErrorMode", "GetThreadErrorMode", "SetThreadErrorMode", "RaiseFailFastException",
    "AddDllDirectory", "RemoveDllDirectory", "SetDefaultDllDirectories", "CreateRemoteThreadEx",
    "GetNamedPipeClientProcessId", "CreateThreadpoolWork", "SubmitThreadpoolWork",
    "CloseThreadpoolWork", "WaitForThreadpoolWorkCallbacks", "CreateThreadpoolTimer",
    "SetThreadpoolTimer", "CloseThreadpoolTimer", "CreateThreadpoolWait", "SetThreadpoolWait",
    # registry, user interface, shell
    "RegGetValue", "RegDeleteTree", "RegSetKeyValue", "RegCopyTree", "RegLoadMUIString",
    "ChangeWindowMessageFilter", "ChangeWindowMessageFilterEx", "SetProcessDPIAware",
    "IsProcessDPIAware", "GetDpiForWindow", "SHGetKnownFolderPath", "Shell_NotifyIconGetRect",
    # msvcrt.dll of XP has none of these
    "_fseeki64", "_ftelli64", "_get_errno", "_set_errno",
}

IMPORT_LINE = re.compile(r"^\s+[0-9a-fA-F]+\s+\d+\s+(\S+)\s*$")


def read_header_and_imports(objdump, program):
    text = subprocess.run([objdump, "-p", program], check=True, capture_output=True,
                          text=True).stdout
    header = dict(re.findall(r"^(\w+)\s+(\S+)", text, re.MULTILINE))
    imports = {}  # dll -> names; an ordinal import is kept as "#ordinal"
    dll = None
    for line in text.splitlines():
        named = re.match(r"^\s*DLL Name:\s*(\S+)", line)
        if named:
            dll = named.group(1).lower()
            imports.setdefault(dll, [])
        elif dll and not line.strip():
            dll = None
        elif dll and "Member-Name" not in line:
            entry = IMPORT_LINE.match(line)
            imports[dll].append(entry.group(1) if entry else "#" + line.strip())
    return header, imports


def version(header, name):
    return (int(header["Major" + name]), int(header["Minor" + name]))


def problems_of(header, imports):
    found = []
    if header.get("Magic") != "010b":
        found.append("not a 32-bit program (PE magic %s)" % header.get("Magic"))
    for name in ("OSystemVersion", "SubsystemVersion"):
        if version(header, name) > XP:
            found.append("%s %d.%d is newer than XP's 5.1" % ((name,) + version(header, name)))
    for dll, names in sorted(imports.items()):
        if dll not in XP_DLLS:
            found.append("imports from %s, which XP does not have" % dll)
        for function in names:
            base = re.sub(r"(?<=[a-z0-9])[AW]$", "", function)
            if function.startswith("#"):
                found.append("%s: import by ordinal (%s)" % (dll, function[1:]))
            elif function in POST_XP_FUNCTIONS or base in POST_XP_FUNCTIONS:
                found.append("%s: %s does not exist before Vista" % (dll, function))
            elif dll == "msvcrt.dll" and function.endswith("_s"):
                found.append("msvcrt.dll: %s (the secure functions came with Vista)" % function)
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--objdump", required=True)
    parser.add_argument("program")
    args = parser.parse_args()
    if not os.path.isfile(args.program):
        print("%s is missing: build the windows-x86 preset first" % args.program)
        return 1
    header, imports = read_header_and_imports(args.objdump, args.program)
    # A table that could not be read must not pass as a clean one.
    kernel = imports.get("kernel32.dll", [])
    if "WaitCommEvent" not in kernel or "Shell_NotifyIconA" not in imports.get("shell32.dll", []):
        print("the import table was not understood:\n%s" % imports)
        return 1
    found = problems_of(header, imports)
    for problem in found:
        print(problem)
    total = sum(len(names) for names in imports.values())
    print("%d imports from %d DLLs, OS version %d.%d, subsystem %d.%d: %s"
          % ((total, len(imports)) + version(header, "OSystemVersion")
             + version(header, "SubsystemVersion") + ("FAILED" if found else "fit for XP SP3",)))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
