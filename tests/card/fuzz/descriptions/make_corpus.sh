#!/usr/bin/env bash
# Writes the fixed certificates of the description-file fuzz entry into certs/
# (a CA as "ca.p7c", two contacts it signed as "*.crt", all made with openssl)
# and the seed corpus into corpus/. Run from anywhere; the output is committed,
# so this is needed only to change the seeds. A seed is "rcertdesc.txt", a NUL
# byte, then "ucertdesc.txt".
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
openssl req -x509 -newkey rsa:1024 -nodes -keyout ca.key -out ca.pem -days 3650 -set_serial 0x01 \
  -subj "/CN=Fuzz CA/O=Tarvi/C=HR" -addext "basicConstraints=critical,CA:TRUE" 2>/dev/null
openssl crl2pkcs7 -nocrl -certfile ca.pem -outform DER -out ca.p7c
for who in "1001 Ana Anić" "10A2 Ivo Ivić"; do
  set -- $who
  serial=$1 name="$2 $3"
  openssl req -new -newkey rsa:1024 -nodes -keyout u.key -subj "/CN=$name/OU=Prodaja/O=Tarvi/C=HR" \
    -utf8 -out u.csr 2>/dev/null
  openssl x509 -req -in u.csr -CA ca.pem -CAkey ca.key -set_serial 0x$serial -days 3650 \
    -outform DER -out "user$serial.crt" 2>/dev/null
done
mkdir -p "$here/certs" "$here/corpus"
cp ca.p7c user1001.crt user10A2.crt "$here/certs/"

seed() { printf "$2" > "$here/corpus/$1"; }
seed empty ''
seed users_only 'fuzz_ca1001;Ana Anić;ana@example.hr;\r\nfuzz_ca10a2;Ivo;ivo@example.hr;\r\n'
seed both 'fuzz_ca01;Korijenski CA;ca@example.hr;\r\n\0fuzz_ca1001;Ana;ana@example.hr;\r\n'
seed root_wins 'fuzz_ca1001;Iz korijena;r@example.hr;\n\0fuzz_ca1001;Iz kontakata;u@example.hr;\n'
seed lf_and_cr 'fuzz_ca1001;A\rfuzz_ca10a2;B;b@x;\n\nfuzz_ca10a2;C;c@x;'
seed prefix_key 'fuzz_ca100;Kraći;k@x;\r\nfuzz_ca10011;Duži;d@x;\r\nfuzz_ca1001;Točan;t@x;\r\n'
seed missing_fields 'fuzz_ca1001\r\nfuzz_ca10a2;Samo ime\r\n;;;\r\n'
seed cp1250 '\0fuzz_ca1001;\x8a\x9a\xe8\xe6\x9e\xd0;\x81\x83\x88\x90\x98;\r\n'
