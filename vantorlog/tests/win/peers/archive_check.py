"""Checks a report archive that reached a peer: Python's zipfile lists and reads it, xmllint
parses the XML entries, the independent PNG reader decodes the PNG entries.

spec: {"entries": [names] (the exact listing), "xml": [names], "png": [names],
       "bytes": {name: hex}, "contains": {name: text}, "password": text}
"""
import io
import os
import subprocess
import sys
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "peers"))
from png_peer import read_png  # noqa: E402


def check_archive(data, spec, where=""):
    errors = []
    try:
        archive = zipfile.ZipFile(io.BytesIO(data))
    except zipfile.BadZipFile as e:
        return [where + "not a zip archive (%s, %d bytes)" % (e, len(data))]
    if spec.get("password"):
        archive.setpassword(spec["password"].encode("latin-1"))
    names = archive.namelist()
    if "entries" in spec and sorted(names) != sorted(spec["entries"]):
        errors.append(where + "entries %r" % names)
    if archive.testzip() is not None:
        errors.append(where + "a damaged entry")

    def read(name):
        try:
            return archive.read(name)
        except (KeyError, RuntimeError, zipfile.BadZipFile) as e:
            errors.append(where + "%s: %s" % (name, e))
            return None

    for name in spec.get("xml", []):
        body = read(name)
        if body is None:
            continue
        lint = subprocess.run(["xmllint", "--noout", "-"], input=body, capture_output=True)
        if lint.returncode != 0:
            errors.append(where + "%s: xmllint: %s" % (name, lint.stderr.decode(errors="replace")))
    for name in spec.get("png", []):
        body = read(name)
        if body is None:
            continue
        try:
            width, height = read_png(body)[:2]
            if width <= 0 or height <= 0:
                errors.append(where + "%s: empty picture" % name)
        except Exception as e:  # the reader's errors name what is wrong
            errors.append(where + "%s: %s" % (name, e))
    for name, hex_bytes in spec.get("bytes", {}).items():
        body = read(name)
        if body is not None and body.hex() != hex_bytes:
            errors.append(where + "%s: %d bytes differ from the %d expected" %
                          (name, len(body), len(hex_bytes) // 2))
    for name, text in spec.get("contains", {}).items():
        body = read(name)
        if body is not None and text.encode("latin-1") not in body:
            errors.append(where + "%s lacks %r" % (name, text))
    return errors
