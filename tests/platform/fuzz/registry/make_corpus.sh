#!/usr/bin/env bash
# Writes the seed corpus of the registry-file fuzz entry into corpus/: hive files
# as the store writes them and hand-made variants (escapes, duplicate keys and
# names in another case, CR LF lines, comments, malformed lines). The output is
# committed; this is needed only to change the seeds.
set -euo pipefail
out="$(cd "$(dirname "$0")" && pwd)/corpus"
mkdir -p "$out"
seed() { printf "$2" > "$out/$1"; }
seed settings '; Tarvi Sealdesk registry hive\n\n[SOFTWARE\\VodezOdir\\TarviSealdesk]\n"Output Path"=1:/home/ana/Izlaz/%%00\n"ShowSNCertAsDecimal"=1:YES%%00\n"PackedFileExt"=1:enc%%00\n\n[SOFTWARE\\VodezOdir\\TarviSealdesk\\PKCS #11 DLL]\n"DLL"=1:acpkcs.dll%%00\n'
seed register '[SOFTWARE\\VodezOdir\\TarviSealdesk\\MBR]\n"0"=1:1234567%%00\n"1"=1:7654321%%00\n"2"=1:%%C8%%E6%%9E%%9A%%F0%%00\n'
seed duplicates '[Key\\Sub]\n"Name"=1:first\n[KEY\\sub]\n"NAME"=2:second\n"other"=4294967295:\n[key\\sub\\]\n""=0:default\n'
seed crlf_comments '; comment\r\n\r\n[A]\r\n"v"=1:x%%0D%%0Ay\r\n;"w"=1:no\r\n'
seed escapes '[%%5Bodd%%5D\\%%22quoted%%22\\%%25]\n"%%E8%%9A"=1:%%00%%01%%FF\n'
seed root_key '[]\n"top"=1:value\n'
seed empty ''
seed bad_escape '[A]\n"v"=1:%%4\n'
seed bad_type '[A]\n"v"=12345678901:x\n'
seed value_before_key '"v"=1:x\n[A]\n'
seed empty_segment '[A\\\\B]\n"v"=1:x\n'
seed raw_byte '[A]\n"v"=1:\xe8\n'
