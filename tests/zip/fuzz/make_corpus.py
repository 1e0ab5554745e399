#!/usr/bin/env python3
"""Writes the seed corpus of the ZIP fuzz entry into corpus/: archives from
Python's zipfile and Info-ZIP zip, and hand-built hostile ones. Run from this
folder; the output is committed, so this is needed only to change the seeds."""
import io, os, struct, subprocess, tempfile, zipfile, zlib

out = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'corpus')
os.makedirs(out, exist_ok=True)

def save(name, data):
    with open(os.path.join(out, name), 'wb') as f:
        f.write(data)

def build(entries, comment=b'', prefix=b''):
    """entries: (name bytes, data, method, host, external, overrides dict)."""
    body, central = bytearray(prefix), bytearray()
    for name, data, method, host, external, o in entries:
        payload = zlib.compress(data, 9)[2:-4] if method == 8 else data
        crc = o.get('crc', zlib.crc32(data))
        csize, usize = o.get('csize', len(payload)), o.get('usize', len(data))
        offset = o.get('offset', len(body) - len(prefix))
        body += struct.pack('<IHHHHHIIIHH', 0x04034b50, 20, 0, method, 0x5000, 0x5a6e, crc, csize, usize, len(name), 0)
        body += name + payload
        central += struct.pack('<IBBHHHHHIIIHHHHHII', 0x02014b50, 20, host, 20, 0, method, 0x5000, 0x5a6e,
                               crc, csize, usize, len(name), 0, 0, 0, 0, external, offset)
        central += name
    cd = len(body) - len(prefix)
    return bytes(body + central + struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, len(entries), len(entries),
                                                len(central), cd, len(comment)) + comment)

def pyzip(kind):
    buf = io.BytesIO()
    class Pipe:
        def write(self, b): return buf.write(b)
        def flush(self): pass
    with zipfile.ZipFile(Pipe() if kind == 'pipe' else buf, 'w', zipfile.ZIP_DEFLATED) as z:
        for name, data in (('čćžšđ.txt', b'tekst ' * 40), ('mapa/ĐŠ.txt', b'drugi')):
            with z.open(name, 'w', force_zip64=(kind == 'zip64')) as w:
                w.write(data)
    return buf.getvalue()

save('python_utf8.zip', pyzip('plain'))
save('python_pipe.zip', pyzip('pipe'))
save('python_zip64_local.zip', pyzip('zip64'))

with tempfile.TemporaryDirectory() as d:
    os.makedirs(os.path.join(d, 'src', 'mapa'))
    for name, data in (('Čćžšđ.txt', b'Info-ZIP ' * 30), ('mapa/slika.gif', os.urandom(200))):
        with open(os.path.join(d, 'src', name), 'wb') as f:
            f.write(data)
    for level in ('-9', '-0'):
        target = os.path.join(d, 'z%s.zip' % level)
        subprocess.run(['zip', '-q', '-r', level, target, '.'], cwd=os.path.join(d, 'src'), check=True)
        save('infozip%s.zip' % level, open(target, 'rb').read())
    target = os.path.join(d, 'pipe.zip')
    subprocess.run(['zip', '-q', target, '-'], input=b'iz cijevi\n', check=True)
    save('infozip_pipe.zip', open(target, 'rb').read())

ok = (b'ok.txt', b'fine', 0, 0, 0x20, {})
save('empty.zip', build([]))
save('comment.zip', build([ok], comment=b'archive comment'))
save('prefixed.zip', build([ok, (b'b.txt', b'b' * 100, 8, 0, 0x20, {})], prefix=b'MZ' + b'\0' * 62))
save('names_traversal.zip', build([(n, b'x', 0, 0, 0x20, {}) for n in
                                   (b'../x', b'..\\x', b'/etc/x', b'C:\\x', b'a/../../x', b'a//b', b'')] + [ok]))
save('names_oem.zip', build([(b'\xac\x86\xa7\xe7\xd0.txt', b'oem', 0, 0, 0x20, {}),
                             (b'\xc8\xe6\x9e\x9a\xf0.txt', b'win', 0, 11, 0x20, {})]))
save('symlink.zip', build([(b'link', b'/etc/passwd', 0, 3, 0o120777 << 16, {}), ok]))
save('overlap.zip', build([(b'a.txt', b'a' * 64, 0, 0, 0x20, {}), (b'b.txt', b'a' * 64, 0, 0, 0x20, {'offset': 0})]))
save('lying_size.zip', build([(b'bomb.txt', b'z' * 5000, 8, 0, 0x20, {'usize': 10})]))
save('bad_crc.zip', build([(b'crc.txt', b'data', 0, 0, 0x20, {'crc': 7})]))
trunc = bytearray(build([ok]))
struct.pack_into('<HH', trunc, len(trunc) - 14, 3, 3)
save('truncated_directory.zip', bytes(trunc))
