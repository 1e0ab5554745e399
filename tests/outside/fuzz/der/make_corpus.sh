#!/usr/bin/env bash
# Writes the seed corpus of the DER / X.509 / PKCS #7 fuzz entry into corpus/,
# all made with openssl: certificates (1024 to 4096 bits, with and without
# extensions, UTF8String and PrintableString names), PKCS #7 files in
# DER and PEM, and damaged copies (a trailing byte, cut short). The output is
# committed; this is needed only to change the seeds.
set -euo pipefail
out="$(cd "$(dirname "$0")" && pwd)/corpus"
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 3650 -set_serial 0x00C1 \
  -subj "/CN=Test CA/OU=Sigurnost/O=Tarvi/C=HR" -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl x509 -in ca.pem -outform DER -out "$out/ca_2048.der"
openssl crl2pkcs7 -nocrl -certfile ca.pem -outform DER -out "$out/ca.p7c"
openssl crl2pkcs7 -nocrl -certfile ca.pem -out "$out/ca_pem.p7c"
openssl req -new -newkey rsa:1024 -nodes -keyout u.key -subj "/CN=Ana Anić/OU=Prodaja/O=Tarvi/C=HR" -utf8 \
  -out u.csr 2>/dev/null
openssl x509 -req -in u.csr -CA ca.pem -CAkey ca.key -set_serial 0x80A1 -days 365 -outform DER \
  -out "$out/user_1024_utf8.der" 2>/dev/null
openssl req -new -newkey rsa:4096 -nodes -keyout w.key -subj "/CN=Ivo Ivić/O=Tarvi" -utf8 \
  -multivalue-rdn -out w.csr 2>/dev/null
openssl x509 -req -in w.csr -CA ca.pem -CAkey ca.key -set_serial 7 -days 365 -outform DER \
  -out "$out/user_4096_short_serial.der" 2>/dev/null
openssl req -x509 -newkey rsa:1024 -nodes -keyout b.key -subj "/CN=Plain Name/C=HR" -days 30 \
  -outform DER -out "$out/plain_1024.der" 2>/dev/null
cat ca.pem > two.pem
openssl x509 -in "$out/user_1024_utf8.der" -inform DER >> two.pem
openssl crl2pkcs7 -nocrl -certfile two.pem -outform DER -out "$out/two_certs.p7c"
cp "$out/user_1024_utf8.der" "$out/trailing_byte.der" && printf '\0' >> "$out/trailing_byte.der"
head -c 300 "$out/ca_2048.der" > "$out/cut_short.der"
printf '\x30\x84\x00\x00\x00\x05\x02\x01\x01\x05\x00' > "$out/long_form_length"
printf '\x30\x80\x00\x00' > "$out/indefinite_length"
