#!/usr/bin/env python3
"""Writes the seed corpus of the encrypted-container fuzz entry into corpus/:
containers laid out as the program writes them, their payload enciphered with
openssl (DES-EDE3, ECB) under the entry's fixed key so that the padding check
passes, and hostile variants. Run from anywhere; the output is committed, so
this is needed only to change the seeds."""
import base64, os, subprocess

here = os.path.dirname(os.path.abspath(__file__))
out = os.path.join(here, 'corpus')
os.makedirs(out, exist_ok=True)
KEY = bytes(range(1, 25)).hex()

def cipher(plain):
    if not plain:
        return b''
    return subprocess.run(['openssl', 'enc', '-des-ede3', '-K', KEY, '-nosalt'], input=plain,
                          capture_output=True, check=True).stdout

def b64(data):
    """The stream encoder's layout: 64 characters a line, CR LF between lines,
    and one more after a non-zero multiple of 2304 bytes."""
    text = base64.b64encode(data)
    lines = [text[i:i + 64] for i in range(0, len(text), 64)]
    body = b'\r\n'.join(lines)
    if data and len(data) % 2304 == 0:
        body += b'\r\n'
    return body

def container(recipients, payload, keys, version=b'Tarvi Sealdesk 2.5.0.1', end=b'</EncodedFile>\r\n'):
    s = b'<?xml version="1.0" ?>\r\n<!DOCTYPE EncodedFile SYSTEM "EncodedFile.dtd">\r\n<EncodedFile>\r\n'
    s += b'<Version>\r\n' + version + b'\r\n</Version>\r\n'
    for subject, serial in recipients:
        s += b'<Recipient>\r\n<Subject>\r\n' + subject + b'\r\n</Subject>\r\n<CertificateSN>\r\n' + serial
        s += b'\r\n</CertificateSN>\r\n</Recipient>\r\n'
    s += b'<File compress="zip" encoding="base64">\r\n<![CDATA[\r\n' + payload + b'\r\n]]>\r\n</File>\r\n'
    for k in keys:
        s += b'<SessionKey>\r\n' + k + b'\r\n</SessionKey>\r\n'
    return s + end

def save(name, data):
    with open(os.path.join(out, name), 'wb') as f:
        f.write(data)

ana = (b'CN=Ana Ani\xe6,OU=Prodaja,O=Tarvi,C=HR', b'1001')
ivo = (b'CN=Ivo Ivi\xe6,O=Tarvi,C=HR', b'0A1B2C3D4E')
key128 = os.urandom(128).hex().upper().encode()
key256 = os.urandom(256).hex().encode()  # lower case
small = cipher(b'PK\x05\x06' + b'\0' * 18)
save('one_recipient.enc', container([ana], b64(small), [key128]))
save('two_recipients.enc', container([ana, ivo], b64(cipher(os.urandom(100))), [key128, key256]))
save('block_2304.enc', container([ivo], b64(cipher(os.urandom(2303))), [key256]))
save('empty_payload.enc', container([ana], b'', [key128]))
save('decimal_serial.enc', container([(b'CN=x', b'4294967296'), (b'', b'-12')], b64(small), [key128, key128]))
save('bad_padding.enc', container([ana], b64(os.urandom(16)), [key128]))
save('odd_payload.enc', container([ana], b64(os.urandom(13)), [key128]))
save('missing_key.enc', container([ana, ivo], b64(small), [key128]))
save('extra_key.enc', container([ana], b64(small), [key128, key128]))
save('no_recipient.enc', container([], b64(small), [key128]))
save('trailing_bytes.enc', container([ana], b64(small), [key128], end=b'</EncodedFile>\r\n\r\n'))
save('stray_char.enc', container([ana], b64(small)[:10] + b' ' + b64(small)[10:], [key128]))
