"""The pieces of a library report that the child checks read: an item of the general section,
the cells of a call-stack row, and whether a row stands where addr2line and a marked source
line say."""
import re
import subprocess


def item(report, item_id):
    """The value of an item of the general section ("2.5" the type, "2.6" the message)."""
    m = re.search(r"\r\n  " + re.escape(item_id) + r" [^:\r\n]*: ([^\r\n]*)\r\n", report)
    return m.group(1).strip() if m else None


def cells(row):
    return [c.strip() for c in row.strip("|").split("|")]


def site_line(source, mark):
    """The number of the source line that carries the comment "// <mark>-site"."""
    with open(source, encoding="utf-8") as f:
        return next(i for i, line in enumerate(f.read().splitlines(), 1)
                    if "// %s-site" % mark in line)


def row_failures(addr2line, exe, label, row, procedure, source_name, line):
    """What is wrong with a call-stack row that should name the procedure at that line."""
    c = cells(row)
    address, row_procedure, row_line = c[0], c[4], re.match(r"\d*", c[5]).group(0)
    out = subprocess.run([addr2line, "-f", "-C", "-e", exe, "0x" + address], capture_output=True,
                         text=True).stdout.splitlines()
    function = out[0] if out else ""
    m = re.search(r"([^/\\]+):(\d+)", out[1] if len(out) > 1 else "")
    place = (m.group(1), int(m.group(2))) if m else None
    failures = []
    if row_procedure != procedure or not re.search(r"(^|::)%s(\(|$)" % re.escape(procedure),
                                                   function):
        failures.append("%s: row %s, addr2line says %r" % (label, c, function))
    if place != (source_name, line) or int(row_line or 0) != line:
        failures.append("%s: row at line %s, addr2line %s, the site at line %d" %
                        (label, row_line, place, line))
    return failures


def exception_thread_row(report):
    """The first row of the exception thread's block and its header; (None, None) when none."""
    lines = report.split("\r\n")
    head = next((i for i, l in enumerate(lines) if l.startswith("|*Exception Thread: ID=")), None)
    if head is None or head + 2 >= len(lines):
        return None, None
    return lines[head], lines[head + 2]


class Addr2Line:
    """(outermost function, innermost file, line) of an address of one executable, by addr2line.
    Some names stay mangled, with too few underscores for the i686 symbol prefix: c++filt is
    asked again with them."""

    def __init__(self, addr2line, exe):
        self.addr2line, self.exe = addr2line, exe
        self.cxxfilt = addr2line.replace("addr2line", "c++filt")
        self.objdump = addr2line.replace("addr2line", "objdump")
        self.resolved = {}
        self.table = None

    def demangled(self, function):
        if re.match(r"_*Z[NLS0-9]", function):
            # A stdcall function's symbol ends in "@<argument bytes>", which c++filt refuses.
            bare = re.sub(r"@\d+$", "", function)
            out = subprocess.run([self.cxxfilt, "__" + bare.lstrip("_")], capture_output=True,
                                 text=True).stdout.strip()
            return out if out and out != "__" + bare.lstrip("_") else function
        return function

    def line_table_file(self, address):
        """The file of the line-table row that holds the address, as objdump decodes the table:
        the second witness where addr2line (binutils 2.40, DWARF 5) names the compilation unit's
        own file for code of a function defined in a header."""
        if self.table is None:
            out = subprocess.run([self.objdump, "--dwarf=decodedline", self.exe],
                                 capture_output=True, text=True).stdout.splitlines()
            rows = []
            for line in out:
                m = re.match(r"(\S+)\s+(\d+|-)\s+0x([0-9a-f]+)", line)
                if m:
                    rows.append((int(m.group(3), 16), m.group(1) if m.group(2) != "-" else None))
            rows.sort(key=lambda r: r[0])
            self.table = rows
        at = int(address, 16)
        lo, hi = 0, len(self.table)
        while lo < hi:
            mid = (lo + hi) // 2
            if self.table[mid][0] <= at:
                lo = mid + 1
            else:
                hi = mid
        return self.table[lo - 1][1] if lo else None

    def where(self, address):
        if address not in self.resolved:
            out = subprocess.run([self.addr2line, "-f", "-i", "-C", "-e", self.exe, "0x" + address],
                                 capture_output=True, text=True).stdout.splitlines()
            functions, places = out[0::2], out[1::2]
            m = re.search(r"([^/\\]+):(\d+)", places[0] if places else "")
            self.resolved[address] = (self.demangled(functions[-1]) if functions else "",
                                      m.group(1) if m else None, int(m.group(2)) if m else None)
        return self.resolved[address]
