#!/usr/bin/env bash
# sign_test.sh REPO EXE WORK
# Signs a copy of EXE with a throwaway self-signed certificate through scripts/sign.sh and
# checks the result with osslsigncode verify, against that certificate as the only trusted
# root; a time-stamp service that cannot be reached must fail the signing. The build output itself must come out untouched. Then builds a stand-in program
# named uninstall in a tiny project that includes cmake/sign.cmake, with and without the
# signing variables, to check the step it adds after linking.
set -uo pipefail
repo=$1 exe=$2 work=$3
sign_sh=$repo/scripts/sign.sh

rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1

# shellcheck source=throwaway_signer.sh
source "$repo/tests/pe/throwaway_signer.sh"
make_signer test || { echo "FAIL: openssl could not make the throwaway certificate"; exit 1; }
make_signer stranger || { echo "FAIL: openssl could not make the second certificate"; exit 1; }
printf 'not the password\n' >wrong.pass

before=$(sha256sum <"$exe")
cp "$exe" signed.exe
"$sign_sh" signed.exe test.pfx test.pass >sign.log 2>&1
sign_status=$?
cp "$exe" refused.exe
"$sign_sh" refused.exe test.pfx wrong.pass >refused.log 2>&1
refused_status=$?
# Port 9 on this machine: nothing listens, so the time-stamp service cannot be reached.
cp "$exe" unstamped.exe
"$sign_sh" unstamped.exe test.pfx test.pass http://127.0.0.1:9/ >unstamped.log 2>&1
unstamped_status=$?
# One byte of code changed after signing: the signature must no longer match.
cp signed.exe tampered.exe
byte=$(od -An -tu1 -j1100 -N1 tampered.exe | tr -d ' ')
printf "\\$(printf %o $(((byte + 1) % 256)))" | dd of=tampered.exe bs=1 seek=1100 conv=notrunc status=none

verify() { # FILE CA: osslsigncode's verdict, its output kept in FILE.CA.verify
  osslsigncode verify -CAfile "$2" -in "$1" >"$1.${2%.pem}.verify" 2>&1
}
verify signed.exe test.pem; good=$?
verify signed.exe stranger.pem; stranger=$?
verify tampered.exe test.pem; tampered=$?
verify "$exe" test.pem; unsigned=$?
cp signed.exe.test.verify good.verify

# The stand-in project: same toolchain, a target of the same name, sign.cmake included.
mkdir -p probe
printf '#include <windows.h>\nint WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return 0; }\n' >probe/probe.cpp
cat >probe/CMakeLists.txt <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(sign_probe LANGUAGES CXX)
add_executable(uninstall WIN32 probe.cpp)
include("$repo/cmake/sign.cmake")
CMAKE
configure() { # BUILD_DIR [CACHE ARGS...]
  local dir=$1
  shift
  cmake -S probe -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-i686.cmake" "$@" >"$dir.log" 2>&1
}
configure probe-signed -DUNINSTALL_SIGN_PFX="$work/test.pfx" -DUNINSTALL_SIGN_PASSWORD_FILE="$work/test.pass" &&
  cmake --build probe-signed >>probe-signed.log 2>&1
probe_built=$?
verify probe-signed/uninstall.exe test.pem; probe_signed=$?
configure probe-plain && cmake --build probe-plain >>probe-plain.log 2>&1
plain_built=$?
verify probe-plain/uninstall.exe test.pem; plain_signed=$?
configure probe-half -DUNINSTALL_SIGN_PFX="$work/test.pfx"; half=$?

# name | passed (0 = yes) | what it means when it fails
failed=0
row() {
  if [ "$2" -eq 0 ]; then printf 'ok    %s\n' "$1"; else printf 'FAIL  %s: %s\n' "$1" "$3"; failed=1; fi
}
row "sign.sh signs the copy" "$sign_status" "$(cat sign.log)"
row "signature verifies against the throwaway root" "$good" "$(cat good.verify)"
grep -qi 'sha256' good.verify; row "digest is SHA-256" $? "$(grep -i digest good.verify)"
grep -q 'Timestamp is not available' good.verify
row "no time stamp (signed offline)" $? "$(grep -i timestamp good.verify)"
[ "$stranger" -ne 0 ]; row "another root does not verify it" $? "verify accepted an unrelated CA"
[ "$tampered" -ne 0 ]; row "a changed byte breaks the signature" $? "verify accepted a tampered file"
[ "$refused_status" -ne 0 ] && cmp -s "$exe" refused.exe
row "a wrong password fails and leaves the file as it was" $? "status $refused_status"
[ "$unstamped_status" -ne 0 ] && cmp -s "$exe" unstamped.exe && grep -q 'time-stamp service' unstamped.log
row "an unreachable time-stamp service fails, says so, and leaves the file as it was" $? "status $unstamped_status: $(tail -1 unstamped.log)"
! cmp -s "$exe" signed.exe; row "the copy was changed by signing" $? "signed.exe equals the build output"
[ "$(sha256sum <"$exe")" = "$before" ]; row "the build output is unchanged" $? "$exe changed"
row "sign.cmake: the project builds with signing on" "$probe_built" "$(tail -20 probe-signed.log)"
row "sign.cmake: the linked file is signed" "$probe_signed" "$(cat probe-signed/uninstall.exe.test.verify 2>&1)"
row "sign.cmake: without the variables it builds" "$plain_built" "$(tail -20 probe-plain.log)"
[ "$plain_signed" -ne 0 ]; row "sign.cmake: without the variables nothing is signed" $? "the file is signed"
[ "$half" -ne 0 ] && grep -q UNINSTALL_SIGN_PASSWORD_FILE probe-half.log
row "sign.cmake: a certificate without its password file is an error" $? "$(tail -5 probe-half.log)"
if [ "$unsigned" -eq 0 ]; then
  echo "note: the build output is itself signed (UNINSTALL_SIGN_PFX is set for this build)"
else
  row "the build output carries no signature" 0 ""
fi
exit $failed
