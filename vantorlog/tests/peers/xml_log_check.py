#!/usr/bin/env python3
"""Runs xml_log_writer, checks every XML file it wrote with xmllint --noout and reads the
values back with ElementTree. The expected values are the facts the writer put into the
reports (see xml_log_writer.cpp), written out here by hand."""
import os
import subprocess
import sys
import xml.etree.ElementTree as ET

out_dir, writer = sys.argv[1], sys.argv[2]
os.makedirs(out_dir, exist_ok=True)
subprocess.run([writer, out_dir], check=True)

failures = []


def check(what, got, want):
    if got != want:
        failures.append(f"{what}: got {got!r}, want {want!r}")


for name in ("log.xml", "escape.xml"):
    path = os.path.join(out_dir, name)
    r = subprocess.run(["xmllint", "--noout", path], capture_output=True, text=True)
    check(f"xmllint {name}", (r.returncode, r.stderr), (0, ""))
    data = open(path, "rb").read()
    check(f"{name} CR LF only", data.count(b"\n"), data.count(b"\r\n"))
    check(f"{name} ends with CR LF", data.endswith(b"\r\n"), True)

doc = ET.parse(os.path.join(out_dir, "log.xml")).getroot()
check("root", doc.tag, "Doc")
logs = doc.findall("Log")
check("reports", len(logs), 2)
full, off = logs
for log in logs:
    check("version", log.get("Version"), "6.0.15")

# Every section, in order.
check("full sections", [c.tag for c in full],
      ["General", "CallStack", "Modules", "Processes", "Assembler", "CPU"])


def line(log, item_id):
    for group in log.find("General").findall("Group"):
        for ln in group.findall("Line"):
            if ln.get("ID") == item_id:
                return ln
    return None


groups = full.find("General").findall("Group")
check("groups", [(g.get("ID"), g.get("Label")) for g in groups],
      [("1", "Application"), ("2", "Exception"), ("3", "User"), ("4", "Active Controls"),
       ("5", "Computer"), ("6", "Operating System"), ("7", "Network")])
check("group attribute names", list(groups[0].attrib), ["ID", "Label"])
check("line attribute names", list(line(full, "2.7").attrib), ["ID", "Label", "Value"])
check("1.2", line(full, "1.2").get("Value"), 'app.exe - (The <App> & "friends")')
check("1.1", line(full, "1.1").get("Value"), "Tue, 3 Mar 2009 14:05:09 +0100")
check("2.5", line(full, "2.5").get("Value"), "EAccessViolation")
check("2.6 multi-line", line(full, "2.6").get("Value"),
      "Access violation: read of address 00000000.\r\n\r\nSecond line.")
check("2.7", (line(full, "2.7").get("Label"), line(full, "2.7").get("Value")), ("ID", "1A2B3C4D"))
check("2.8", line(full, "2.8").get("Value"), "1")
check("2.10 empty", line(full, "2.10").get("Value"), "")
check("3.1", line(full, "3.1").get("Value"), "tester")
check("5.1", line(full, "5.1").get("Value"), "BOX")

stack = full.find("CallStack")
threads = list(stack)
check("threads", [t.tag for t in threads], ["ExceptionThread", "RunningThread"])
exc, run = threads
check("thread attribute names", list(exc.attrib), ["ID", "Priority", "Class", "MainThread"])
check("exception thread", dict(exc.attrib),
      {"ID": "100", "Priority": "0", "Class": "", "MainThread": "True"})
check("running thread", dict(run.attrib),
      {"ID": "200", "Priority": "2", "Class": "TWorker", "MainThread": "False"})
rows = exc.findall("Line")
check("stack line attribute names", list(rows[0].attrib),
      ["Address", "Module", "Unit", "Class", "Procedure", "Number", "Offset"])
check("stack rows", [dict(r.attrib) for r in rows], [
    {"Address": "00401080", "Module": "app.exe", "Unit": "main.cpp", "Class": "TForm1",
     "Procedure": "Button1Click", "Number": "42", "Offset": "3"},
    {"Address": "00401100", "Module": "app.exe", "Unit": "main.cpp", "Class": "",
     "Procedure": "Run", "Number": "", "Offset": ""}])
calling = exc.findall("CallingThread")
check("calling threads", len(calling), 1)
check("calling thread", (calling[0].get("ID"), calling[0].get("MainThread")), ("100", "True"))
check("calling rows", [(r.get("Address"), r.get("Class"), r.get("Procedure"), r.get("Number"),
                        r.get("Offset")) for r in calling[0].findall("Line")],
      [("00402000", "TWorker", "Start", "7", "1")])
check("running rows", [(r.get("Address"), r.get("Unit"), r.get("Number"), r.get("Offset"))
                       for r in run.findall("Line")], [("00403000", "other.cpp", "9", "0")])

mods = full.find("Modules").findall("Module")
check("modules", [dict(m.attrib) for m in mods], [
    {"Handle": "00400000", "Name": "app.exe", "Description": "The App", "Version": "1.2.3.4",
     "Size": "12345", "Modified": "1601-01-01 00:00:00", "Path": "C:\\App\\"}])
check("module attribute order", list(mods[0].attrib),
      ["Handle", "Name", "Description", "Version", "Size", "Modified", "Path"])
procs = full.find("Processes").findall("Process")
check("processes", [dict(p.attrib) for p in procs], [
    {"ID": "1234", "Name": "app.exe", "Description": "The App", "Version": "1.2.3.4",
     "Memory": "4096", "Priority": "Normal", "Threads": "3", "Path": "C:\\App\\"}])
check("process attribute order", list(procs[0].attrib),
      ["ID", "Name", "Description", "Version", "Memory", "Priority", "Threads", "Path"])

asm = full.find("Assembler").findall("Line")
check("assembler attribute names", list(asm[0].attrib), ["Address", "Command", "Comment"])
exception_lines = [a for a in asm if "EXCEPTION" in a.get("Comment")]
check("exception line", [(a.get("Address"), a.get("Comment")) for a in exception_lines],
      [("00401080", " <-- EXCEPTION")])
check("10 before, 10 after", (asm.index(exception_lines[0]), len(asm)), (10, 21))
check("listing addresses", [a.get("Address") for a in asm],
      ["%08X" % (0x00401076 + i) for i in range(21)])

cpu = full.find("CPU")
check("cpu children", [c.tag for c in cpu], ["Registers", "Stack", "MemoryDump"])
check("registers", list(cpu.find("Registers").attrib.items()),
      [("EAX", "11111111"), ("EBX", "22222222"), ("ECX", "33333333"), ("EDX", "44444444"),
       ("EDI", "66666666"), ("ESI", "55555555"), ("ESP", "00401800"), ("EIP", "00401080")])
stack_lines = cpu.find("Stack").findall("Line")
check("stack dump", [(s.get("Address"), s.get("Value")) for s in stack_lines],
      [("%08X" % (0x00401800 + 4 * n),
        "".join("%02X" % ((4 * n + k) & 0xFF) for k in (3, 2, 1, 0))) for n in range(16)])
dump = cpu.find("MemoryDump").findall("Line")
check("memory dump", [(d.get("Address"), d.get("Bytes"), d.get("Chars")) for d in dump],
      [("%08X" % (0x00401080 + 16 * n), " ".join(["90"] * 16), "." * 16) for n in range(16)])

# Tables, assembler and CPU switched off; hidden items leave no Line.
check("off sections", [c.tag for c in off], ["General", "CallStack"])
check("off 2.7", line(off, "2.7").get("Value"), "99887766")
check("off 2.8 hidden", line(off, "2.8"), None)
check("off user group gone", [g.get("ID") for g in off.find("General").findall("Group")],
      ["1", "2", "4", "5", "6", "7"])
off_thread = off.find("CallStack/ExceptionThread")
check("off thread", (off_thread.get("ID"), off_thread.get("Priority"),
                     off_thread.get("MainThread")), ("300", "??", "False"))

esc = ET.parse(os.path.join(out_dir, "escape.xml")).getroot()
item = esc.find("Item")
check("escape text", item.get("Text"), "a<b>c&d\"e'f")
# Attribute values normalise nothing that was written as a reference; the bell (0x07) cannot
# be carried and is a blank; bytes above 126 come back as the code points of their values.
check("escape control", item.get("Control"), "tab\tcr\rlf\nbell del\x7fhigh\xe9\xff")
check("empty element", (esc.find("Empty").attrib, len(esc.find("Empty"))), ({}, 0))
raw = open(os.path.join(out_dir, "escape.xml"), "rb").read()
check("escape bytes", b'Text="a&#060;b&#062;c&#038;d&#034;e&#039;f"' in raw, True)

if failures:
    print("\n".join(failures))
    sys.exit(1)
print("xml log: all checks passed")
