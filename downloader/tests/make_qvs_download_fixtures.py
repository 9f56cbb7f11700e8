#!/usr/bin/python3
"""Folder trees of the downloader's QVS download tests and their images (make_qvs_fixture.py).

  main/    drives a, b, c: a 20000-byte file, one of exactly 8192 bytes, an empty file, a
           nested folder, an empty folder, a directory name of 62 bytes, a name outside ASCII
           (the .cfg in code page 1252), a release record, the list copy /a/test/cfg.txt
  norel/   no release record, LF line ends
  long63/  a directory name of 63 bytes
Each as <out>/<name>/tree and <out>/<name>.qvs, .cfg, .plan.
"""
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def pattern(n, seed):
    return bytes(((i * 31 + seed * 7 + i // 253) ^ seed) & 0xFF for i in range(n))


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(data)


def make(out, name, files, dirs, args):
    tree = os.path.join(out, name, 'tree')
    shutil.rmtree(os.path.join(out, name), ignore_errors=True)
    os.makedirs(tree)
    for path, data in files.items():
        write(os.path.join(tree, path), data)
    for d in dirs:
        os.makedirs(os.path.join(tree, d), exist_ok=True)
    subprocess.check_call([sys.executable, os.path.join(HERE, 'make_qvs_fixture.py'), tree,
                           os.path.join(out, name)] + args)


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    dir62 = 'b/' + 'n' * 59  # "/b/" and 59 bytes: 62
    make(out, 'main', {
        'a/data/big.bin': pattern(20000, 1),
        'a/data/full.bin': pattern(8192, 2),
        'a/data/sub/deep.txt': b'deep inside\r\n' * 7,
        'a/empty.txt': b'',
        dir62 + '/note.txt': b'ten bytes!',
        'c/caf\u00e9.txt': pattern(5, 3),
    }, ['b/emptydir'], ['--list-copy', '/a/test/cfg.txt', '--release', 'REL-00000001',
                        '--encoding', 'cp1252'])
    make(out, 'norel', {'a/x.bin': pattern(3000, 4)}, [], ['--lf'])
    make(out, 'long63', {'a/' + 'm' * 60 + '/f': b'1'}, [], [])  # "/a/" and 60 bytes: 63
    with open(os.path.join(out, 'stamp'), 'w') as f:
        f.write('ok\n')


if __name__ == '__main__':
    main()
