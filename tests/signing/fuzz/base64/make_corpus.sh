#!/usr/bin/env bash
# Writes the seed corpus of the Base64 fuzz entry into corpus/ (the output is
# committed; this is needed only to change the seeds). Each seed is decoded as
# text and encoded as bytes, so texts and binary blocks both serve.
set -euo pipefail
out="$(cd "$(dirname "$0")" && pwd)/corpus"
mkdir -p "$out"
printf 'TWFu' > "$out/three_bytes"
printf 'TQ==' > "$out/one_byte"
printf 'TWE=' > "$out/two_bytes"
printf 'TW Fu\r\n' > "$out/blank_inside"
printf 'TQ==TQ==' > "$out/padding_inside"
printf 'TWFuT' > "$out/single_trailing"
printf '' > "$out/empty"
head -c 48 /dev/urandom | base64 -w 64 | tr -d '\n' > "$out/one_line"
head -c 2304 /dev/urandom | base64 -w 64 | sed 's/$/\r/' | tr -d '\n' > "$out/one_block"
head -c 2305 /dev/urandom > "$out/binary_2305"
head -c 97 /dev/urandom > "$out/binary_97"
