#!/usr/bin/env bash
# Runs one Java bridge test against a private SoftHSM2 token.
#   run_java_test.sh JAVA CLASSPATH LIBDIR CLASS MAKE_TOKEN
# BRIDGE_JAVA_PRELOAD, when set, is preloaded into the JVM only (the sanitizer
# runtime, which must come before the instrumented bridge library).
set -euo pipefail
java=$1; classpath=$2; libdir=$3; class=$4; make_token=$5
D=$(mktemp -d)
trap 'rm -rf "$D"' EXIT
mkdir -p "$D/home" "$D/tmp"
"$make_token" "$D" JavaToken 1234 1024 >/dev/null
export SOFTHSM2_CONF="$D/softhsm2.conf" HOME="$D/home"
status=0
env ${BRIDGE_JAVA_PRELOAD:+LD_PRELOAD="$BRIDGE_JAVA_PRELOAD"} \
  "$java" -Xcheck:jni -XX:-UsePerfData -Djava.io.tmpdir="$D/tmp" -Djava.library.path="$libdir" \
  -cp "$classpath" "$class" /usr/lib/softhsm/libsofthsm2.so JavaToken >"$D/out" 2>&1 || status=$?
cat "$D/out"
# -Xcheck:jni reports misuse as warnings and lets the program go on.
if grep -q "in native method" "$D/out"; then
  echo "-Xcheck:jni reported a problem"
  exit 1
fi
exit $status
