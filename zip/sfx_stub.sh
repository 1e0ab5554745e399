#!/bin/sh
# Self-extractor: a settings record and a ZIP archive follow this script. The
# archive's offsets count from the start of this file, so unzip reads it whole.
exec unzip -o "$0" -d "${1:-.}"
