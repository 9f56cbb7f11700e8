#!/usr/bin/python3
"""Window settings file across fresh processes: values written by the settings child are read
back by Python's configparser and by a new child; a file that Python writes with malformed
values, and a missing file, give the defaults.
Usage: check_window_settings.py <scratch folder> <command that runs the child...>"""
import configparser
import os
import shutil
import subprocess
import sys

scratch, child = sys.argv[1], sys.argv[2:]
shutil.rmtree(scratch, ignore_errors=True)
os.makedirs(scratch)
ini = os.path.join(scratch, "VantorLog.ini")
win_ini = "Z:" + os.path.abspath(ini).replace("/", "\\")
failures = []


def run(*args):
    r = subprocess.run(child + [win_ini] + [str(a) for a in args], capture_output=True,
                       text=True, timeout=60)
    if r.returncode != 0:
        failures.append("child %s failed (%d): %s" % (args, r.returncode, r.stderr[-500:]))
    return r.stdout.replace("\r\n", "\n")


def load(work=(0, 0, 1024, 768), extra=40):
    out = {}
    for line in run("load", *work, extra).splitlines():
        name, _, values = line.partition(" ")
        out[name] = values
    return out


def check(what, got, want):
    if got != want:
        failures.append("%s: got %r, want %r" % (what, got, want))


def read_ini():
    parser = configparser.ConfigParser(interpolation=None)
    parser.optionxform = str  # keys keep their case
    with open(ini, encoding="latin-1") as f:
        parser.read_file(f)
    return parser


DEFAULT_STACK = "89 92 126 126 200 61"
DEFAULT_MODULES = "80 96 175 50 54 80 712"  # Modified (ColMod6) shows before Path (ColMod5)
DEFAULT_PROCESSES = "48 134 232 56 57 47 52 330"

# No file: the defaults, the dialog centred with room for the extra rows.
defaults = load()
check("no file", defaults, {"placement": "139 130 745 468 1", "stack": DEFAULT_STACK,
                            "modules": DEFAULT_MODULES, "processes": DEFAULT_PROCESSES,
                            "email": ""})
check("no file written by reading", os.path.exists(ini), False)

# Values written one run at a time.
run("save", 60, 70, 800, 540, 1, 40)
run("column", 0, 4, 321)
run("column", 1, 6, 333)  # the modules page's Path column
run("column", 1, 5, 99)   # and its Modified column
run("column", 2, 7, 400)
run("email", "someone@example.org")
parser = read_ini()
check("sections", sorted(parser.sections()), ["Coordinates", "User"])
coords = dict(parser["Coordinates"]) if parser.has_section("Coordinates") else {}
check("coordinates", coords, {"Width": "800", "Height": "500", "Left": "60", "Top": "70",
                              "WindowsState": "1", "Col4": "321", "ColMod5": "333",
                              "ColMod6": "99", "ColPro7": "400"})
check("email", parser.get("User", "Email", fallback=None), "someone@example.org")
check("read back", load(), {"placement": "60 70 800 500 1",
                            "stack": "89 92 126 126 321 61",
                            "modules": "80 96 175 50 54 99 333",
                            "processes": "48 134 232 56 57 47 52 400",
                            "email": "someone@example.org"})

# Maximised: only the state is written, the last normal rectangle stays.
run("save", 0, 0, 1024, 768, 3, 40)
coords = dict(read_ini()["Coordinates"])
check("maximised", (coords.get("Width"), coords.get("Height"), coords.get("Left"),
                    coords.get("Top"), coords.get("WindowsState")), ("800", "500", "60", "70", "3"))
# Never sized in its detailed form: nothing is written.
before = open(ini, "rb").read()
run("save", 5, 5, 0, 0, 1, 40)
check("no width remembered", open(ini, "rb").read(), before)

# Outside the work area: centred again (without the extra rows), the file left as it is.
run("save", 900, 10, 745, 508, 1, 40)
check("re-centred", load()["placement"], "139 150 745 468 1")
check("file not corrected", read_ini()["Coordinates"]["Left"], "900")

# Malformed values written by hand: each falls back to its own default.
with open(ini, "w", newline="\r\n") as f:
    f.write("[Coordinates]\nWidth=abc\nHeight=12x\nLeft= 40 \nTop=\nWindowsState=99999999999\n"
            "Col0=-\nColMod5=0x20\nColMod6=77\nColPro0=1e3\n[User]\nEmail=a@b.c\n")
check("malformed", load(), {"placement": "40 130 745 468 1",
                            "stack": DEFAULT_STACK,
                            "modules": "80 96 175 50 54 77 712",
                            "processes": DEFAULT_PROCESSES,
                            "email": "a@b.c"})

if failures:
    print("\n".join("FAIL: " + f for f in failures))
    sys.exit(1)
print("window settings check")
shutil.rmtree(scratch, ignore_errors=True)
