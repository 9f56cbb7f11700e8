#!/usr/bin/env python3
"""Checks the export table of modules that carry the exception library: every export by
name and ordinal, read with objdump -p."""
import re
import subprocess
import sys

EXPECTED = {
    1: "VantorLog_LastTarvicException",
    2: "VantorLog_CallCreateThread",
    3: "VantorLog_CallResumeThread",
    4: "VantorLog_CallExitThread",
    5: "VantorLog_CallExceptObject",
    6: "VantorLog_CallGeneralRaise",
    7: "ExceptionManager",
    8: "VantorLog_PasswordRequestEvent",
    9: "VantorLog_PasswordRequestEventEx",
    10: "VantorLog_ExceptionNotifyEvent",
    11: "VantorLog_HandledExceptionNotifyEvent",
    12: "VantorLog_ExceptionActionNotifyEvent",
    13: "VantorLog_ExceptionErrorNotifyEvent",
    14: "VantorLog_CustomDataRequestEventEx",
    15: "VantorLog_AttachedFilesRequestEvent",
    16: "VantorLog_CustomWebFieldsRequestEvent",
    17: "VantorLog_CustomButtonClickEvent",
}


def exports(objdump, module):
    text = subprocess.run([objdump, "-p", module], check=True, capture_output=True,
                          text=True).stdout
    base = int(re.search(r"Ordinal Base\s+(\d+)", text).group(1))
    table = text[text.index("[Ordinal/Name Pointer] Table"):]
    found = {}
    for index, name in re.findall(r"^\s*\[\s*(\d+)\]\s+(\S+)\s*$", table, re.M):
        found[int(index) + base] = name
    return found


def main():
    objdump, modules = sys.argv[1], sys.argv[2:]
    failed = False
    for module in modules:
        found = exports(objdump, module)
        for ordinal, name in EXPECTED.items():
            if found.get(ordinal) != name:
                print(f"{module}: ordinal {ordinal}: expected {name}, found {found.get(ordinal)}")
                failed = True
        for ordinal, name in found.items():
            if name in EXPECTED.values() and EXPECTED.get(ordinal) != name:
                print(f"{module}: {name} also at ordinal {ordinal}")
                failed = True
        # The decorated names of the register convention never leak out.
        for name in found.values():
            if "@" in name:
                print(f"{module}: decorated export {name}")
                failed = True
    print("exports checked" if not failed else "exports differ")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
