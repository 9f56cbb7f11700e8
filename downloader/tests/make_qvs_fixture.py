#!/usr/bin/python3
"""Makes a QVS image, its .cfg and the expected download plan from a folder tree.

The tree's top folders a, b, c are the phone's drives. Directories go to the .cfg drive by
drive, each drive root first ("/a/"), then its folders depth first in byte order of their
names; files likewise (a folder's files before its subfolders). The image is the files'
contents back to back in that order.

Written on its own, from the format as documented, so that tests compare the downloader's
reading of a .cfg with what this script meant.

Outputs <out>.qvs, <out>.cfg and <out>.plan; the plan has one record per line:
  IMAGE <length>
  VERSION <hex>            RELEASE <hex> | RELEASE -
  DIR <name hex> <QVS_MAKE_DIR frame hex> <reply hex>
  FILE <offset> <size> <name hex> <QVS_ADD_FILE frame hex> <reply hex> <blocks> <replies>
      (blocks: the data block sizes, comma separated; replies: each block's reply, hex)
  ADRIVE <blocks> <bytes>
Names in the plan are UTF-8; in the .cfg they are in --encoding.
"""
import argparse
import os
import sys

BLOCK = 8192


def sum8(data):
    return sum(data) & 0xFF


def walk(root, phone, tree_dirs, tree_files, extra):
    """Directories and files under root (a local folder or None), phone path prefix phone."""
    names = set(os.listdir(root)) if root and os.path.isdir(root) else set()
    for path in extra:
        rest = path[len(phone):]
        if path.startswith(phone) and rest:
            names.add(rest.split('/')[0])
    files, dirs = [], []
    for name in sorted(names, key=lambda n: n.encode('utf-8')):
        local = os.path.join(root, name) if root else None
        child = phone + name
        if child in extra:
            files.append((child, None))
        elif local and os.path.isfile(local):
            with open(local, 'rb') as f:
                files.append((child, f.read()))
        else:
            dirs.append((child, local))
    tree_files.extend(files)
    for child, local in dirs:
        tree_dirs.append(child)
        walk(local, child + '/', tree_dirs, tree_files, extra)


def cfg_text(version, release, dirs, files, encoding, eol, skip=None):
    lines = ['QVSVERSION : ' + version, 'NUM_DIR : %d' % len(dirs),
             'NUM_FILE : %d' % len(files)]
    if release is not None:
        lines.append('QVSRELEASEVERSION : ' + release)
    lines.append('SET_DIR')
    lines += ['DIR_NAME : ' + d for d in dirs]
    lines.append('SET_FILE')
    for name, data in files:
        if name == skip:
            continue
        lines += ['FILE_NAME : ' + name, 'FILE_SIZE : %d' % len(data)]
    lines.append('END_QVS')
    return (eol.join(lines) + eol).encode(encoding)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('tree')
    ap.add_argument('out')
    ap.add_argument('--version', default='QVS-TEST-V0001.0')
    ap.add_argument('--release', default=None, help='12 characters; none: no release record')
    ap.add_argument('--list-copy', default=None,
                    help='phone path of the list copy the image carries, e.g. /a/test/cfg.txt')
    ap.add_argument('--encoding', default='utf-8', help='code page of the .cfg names')
    ap.add_argument('--lf', action='store_true', help='LF line ends instead of CR LF')
    a = ap.parse_args()
    if len(a.version.encode(a.encoding)) != 16:
        sys.exit('the version must be 16 bytes')
    if a.release is not None and len(a.release.encode(a.encoding)) != 12:
        sys.exit('the release must be 12 bytes')

    extra = {a.list_copy} if a.list_copy else set()
    dirs, files = [], []
    for drive in 'abc':
        local = os.path.join(a.tree, drive)
        if os.path.isdir(local) or any(p.startswith('/%s/' % drive) for p in extra):
            dirs.append('/%s/' % drive)
            walk(local if os.path.isdir(local) else None, '/%s/' % drive, dirs, files, extra)
    if a.list_copy and not a.list_copy[:3] in ('/a/', '/b/', '/c/'):
        files.insert(0, (a.list_copy, None))  # a path without a drive goes first
    if a.list_copy and a.list_copy not in [n for n, _ in files]:
        sys.exit('the list copy must be a file path')
    eol = '\n' if a.lf else '\r\n'
    if a.list_copy:
        copy = cfg_text(a.version, a.release, dirs, [(n, d or b'') for n, d in files],
                        a.encoding, eol, skip=a.list_copy)
        files = [(n, copy if n == a.list_copy else d) for n, d in files]
    cfg = cfg_text(a.version, a.release, dirs, files, a.encoding, eol)
    image = b''.join(d for _, d in files)
    with open(a.out + '.qvs', 'wb') as f:
        f.write(image)
    with open(a.out + '.cfg', 'wb') as f:
        f.write(cfg)

    plan = ['IMAGE %d' % len(image), 'VERSION ' + a.version.encode(a.encoding).hex(),
            'RELEASE ' + (a.release.encode(a.encoding).hex() if a.release is not None else '-')]
    for d in dirs:
        name = d.encode('utf-8')
        frame = bytes([0xDB]) + len(name).to_bytes(2, 'big') + name
        plan.append('DIR %s %s %02x' % (name.hex(), frame.hex(), sum8(frame[1:])))
    offset = 0
    for n, data in files:
        name = n.encode('utf-8')
        frame = bytes([0xDD]) + len(name).to_bytes(2, 'big') + name + len(data).to_bytes(4, 'big')
        blocks, replies, pos = [], [], 0
        while True:
            size = min(BLOCK, len(data) - pos)
            blocks.append(size)
            replies.append(0xDF if size < BLOCK else sum8(data[pos:pos + size]))
            pos += size
            if size < BLOCK:
                break
        plan.append('FILE %d %d %s %s %02x %s %s' % (
            offset, len(data), name.hex(), frame.hex(), sum8(frame[1:]),
            ','.join(map(str, blocks)), ','.join('%02x' % r for r in replies)))
        offset += len(data)
    count = len(dirs)
    for n, data in files:
        if n.startswith('/b/'):
            break
        if n.startswith('/a/'):
            count += len(data) // 4096 + 1
    plan.append('ADRIVE %d %d' % (count, count * 4096))
    with open(a.out + '.plan', 'w') as f:
        f.write('\n'.join(plan) + '\n')


if __name__ == '__main__':
    main()
