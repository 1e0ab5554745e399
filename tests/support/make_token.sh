#!/usr/bin/env bash
# Makes a SoftHSM2 token for tests (and the demo) in a private folder.
#   make_token.sh DIR LABEL PIN [BITS] [SERIAL] [CN]
# DIR/softhsm2.conf and DIR/tokens are shared by every token made in DIR; a test CA
# lives in DIR/ca.{key,crt} (made on first use). Each token gets DIR/LABEL/ with
# user.key (the private key, PEM, also imported into the token), user.crt, user.der
# and pub.der; the key pair and certificate on the token carry id 01 and label LABEL.
set -euo pipefail
D=$1; LABEL=$2; PIN=$3; BITS=${4:-2048}; SERIAL=${5:-0x1001}; CN=${6:-Test Signer $LABEL}
MOD=${SOFTHSM_MODULE:-/usr/lib/softhsm/libsofthsm2.so}
mkdir -p "$D/tokens" "$D/$LABEL"
if [ ! -f "$D/softhsm2.conf" ]; then
  printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' "$D" > "$D/softhsm2.conf"
fi
export SOFTHSM2_CONF="$D/softhsm2.conf"
if [ ! -f "$D/ca.crt" ]; then
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$D/ca.key" -out "$D/ca.crt" -days 3650 \
    -subj "/CN=Test CA/O=Tarvi Test/C=HR" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
  openssl x509 -in "$D/ca.crt" -outform DER -out "$D/ca.der"
fi
T="$D/$LABEL"
softhsm2-util --init-token --free --label "$LABEL" --so-pin 12345678 --pin "$PIN" >/dev/null
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:"$BITS" -out "$T/user.key" 2>/dev/null
openssl pkey -in "$T/user.key" -pubout -outform DER -out "$T/pub.der"
openssl pkey -in "$T/user.key" -pubout -out "$T/pub.pem"
openssl req -new -key "$T/user.key" -subj "/CN=$CN/O=Tarvi Test/C=HR" -utf8 -out "$T/user.csr" 2>/dev/null
openssl x509 -req -in "$T/user.csr" -CA "$D/ca.crt" -CAkey "$D/ca.key" -set_serial "$SERIAL" -days 365 \
  -out "$T/user.crt" 2>/dev/null
openssl x509 -in "$T/user.crt" -outform DER -out "$T/user.der"
P11=(pkcs11-tool --module "$MOD" --token-label "$LABEL" --login --pin "$PIN")
"${P11[@]}" --write-object "$T/user.key" --type privkey --id 01 --label "$LABEL" >/dev/null 2>&1
"${P11[@]}" --write-object "$T/pub.der" --type pubkey --id 01 --label "$LABEL" >/dev/null 2>&1
"${P11[@]}" --write-object "$T/user.der" --type cert --id 01 --label "$LABEL" >/dev/null 2>&1
echo "$T"
