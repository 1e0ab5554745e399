#!/usr/bin/env bash
# The seeds of the certificate-loading fuzz entry are the certificate and PKCS #7
# seeds of the DER fuzz entry (made with openssl there): remake those, then copy.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
der="$here/../../../outside/fuzz/der"
"$der/make_corpus.sh"
mkdir -p "$here/corpus"
cp "$der"/corpus/*.der "$der"/corpus/*.p7c "$here/corpus/"
