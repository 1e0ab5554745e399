#!/usr/bin/env python3
"""Writes the seed corpus of the extracting-library fuzz entry into corpus/:
archives from Python's zipfile and Info-ZIP zip (folders, an encrypted entry,
names in code page 852 and UTF-8) and hand-built ones (a name twice, a name
that differs only in case, a file where a folder must go, a wrong CRC, a stored
entry with two sizes, an unknown method). Run from anywhere; the output is
committed, so this is needed only to change the seeds."""
import io, os, struct, subprocess, tempfile, zipfile, zlib

out = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'corpus')
os.makedirs(out, exist_ok=True)

def save(name, data):
    with open(os.path.join(out, name), 'wb') as f:
        f.write(data)

def build(entries):
    """entries: (name bytes, data, method, overrides dict)."""
    body, central = bytearray(), bytearray()
    for name, data, method, o in entries:
        payload = zlib.compress(data, 9)[2:-4] if method == 8 else data
        crc = o.get('crc', zlib.crc32(data))
        csize, usize = o.get('csize', len(payload)), o.get('usize', len(data))
        flag, host, ext = o.get('flag', 0), o.get('host', 0), o.get('external', 0x20)
        offset = len(body)
        body += struct.pack('<IHHHHHIIIHH', 0x04034b50, 20, flag, method, 0x5000, 0x5a6e, crc, csize, usize, len(name), 0)
        body += name + payload
        central += struct.pack('<IBBHHHHHIIIHHHHHII', 0x02014b50, 20, host, 20, flag, method, 0x5000, 0x5a6e,
                               crc, csize, usize, len(name), 0, 0, 0, 0, ext, offset)
        central += name
    cd = len(body)
    return bytes(body + central + struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, len(entries), len(entries),
                                                len(central), cd, 0))

buf = io.BytesIO()
with zipfile.ZipFile(buf, 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('mapa/', b'')
    z.writestr('mapa/pod/čćžšđ.txt', 'tekst '.encode() * 50)
    z.writestr('prazno.txt', b'')
    z.writestr('a.sgn', b'<?xml version="1.0" ?>\r\n')
save('python_folders.zip', buf.getvalue())

with tempfile.TemporaryDirectory() as d:
    src = os.path.join(d, 'src')
    os.makedirs(os.path.join(src, 'dir'))
    for name, data in (('plain.txt', b'Info-ZIP ' * 20), ('dir/inner.txt', b'inner')):
        with open(os.path.join(src, name), 'wb') as f:
            f.write(data)
    for tag, extra in (('infozip', []), ('infozip_encrypted', ['-P', 'geslo'])):
        target = os.path.join(d, tag + '.zip')
        subprocess.run(['zip', '-q', '-r'] + extra + [target, '.'], cwd=src, check=True)
        save(tag + '.zip', open(target, 'rb').read())

save('same_name_twice.zip', build([(b'a.txt', b'first', 0, {}), (b'a.txt', b'second!', 8, {})]))
save('case_twins.zip', build([(b'Readme.txt', b'one', 0, {}), (b'README.TXT', b'two', 0, {})]))
save('file_then_folder.zip', build([(b'x', b'file', 0, {}), (b'x/y.txt', b'under a file', 0, {})]))
save('folder_then_file.zip', build([(b'x/', b'', 0, {}), (b'x', b'over a folder', 0, {})]))
save('bad_crc.zip', build([(b'crc.txt', b'data', 0, {'crc': 7}), (b'ok.txt', b'fine', 8, {})]))
save('stored_two_sizes.zip', build([(b's.txt', b'abcdef', 0, {'usize': 3})]))
save('unknown_method.zip', build([(b'm.txt', b'xyz', 14, {})]))
save('encrypted_flag.zip', build([(b'e.txt', b'not really', 0, {'flag': 1})]))
save('unix_modes.zip', build([(b'run.sh', b'#!/bin/sh\n', 0, {'host': 3, 'external': 0o100755 << 16}),
                              (b'dev', b'', 0, {'host': 3, 'external': 0o020644 << 16})]))
save('oem_name.zip', build([(b'\x9f\x86\xa7.txt', b'cp852', 0, {})]))
