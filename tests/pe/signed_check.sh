#!/usr/bin/env bash
# signed_check.sh REPO PYTHON EXE WORK MAX_SIZE [check_pe.py options...]
# A signed build must pass the same hardening checks as an unsigned one: signs a copy of
# EXE with a throwaway certificate, as a signed build does after linking, and runs every
# row of check_pe.py and its self-test on it. The size row is also run with the bound set
# to EXE's own size, so it keeps catching a certificate table counted as image even while
# the bound has room for one.
set -uo pipefail
repo=$1 python=$2 exe=$3 work=$4 max_size=$5
shift 5

rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1
# shellcheck source=throwaway_signer.sh
source "$repo/tests/pe/throwaway_signer.sh"
make_signer release || { echo "FAIL: openssl could not make the throwaway certificate"; exit 1; }
cp "$exe" uninstall.exe
"$repo/scripts/sign.sh" uninstall.exe release.pfx release.pass || { echo "FAIL: sign.sh"; exit 1; }
echo "signed copy: $(stat -c %s uninstall.exe) bytes, unsigned $(stat -c %s "$exe")"

check="$repo/tests/pe/check_pe.py"
failed=0
run() { # LABEL ARGS...
  local label=$1
  shift
  echo "== $label"
  "$python" "$check" "$@" || { echo "FAIL: $label"; failed=1; }
}
run "every row, bound $max_size" uninstall.exe --max-size "$max_size" "$@"
run "every row, bound $(stat -c %s "$exe") (the unsigned file's size)" uninstall.exe --max-size "$(stat -c %s "$exe")" "$@"
run "self-test on the signed copy" --self-test uninstall.exe --max-size "$max_size"
exit $failed
