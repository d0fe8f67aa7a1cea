#!/usr/bin/env bash
# sign.sh EXE PFX PASSWORD_FILE
# Signs EXE in place with the certificate and key in PFX (PKCS#12), whose password is the
# first line of PASSWORD_FILE. Authenticode with SHA-256 and no time-stamp server, so it
# works offline; the signature is then valid only while the certificate is.
# The password travels in a file, never on the command line, where ps would show it.
set -euo pipefail

if [ $# -ne 3 ]; then
  echo "usage: sign.sh EXE PFX PASSWORD_FILE" >&2
  exit 2
fi
exe=$1 pfx=$2 password_file=$3
for file in "$exe" "$pfx" "$password_file"; do
  [ -f "$file" ] || { echo "sign.sh: no such file: $file" >&2; exit 2; }
done
command -v osslsigncode >/dev/null || { echo "sign.sh: osslsigncode is missing (scripts/setup.sh installs it)" >&2; exit 2; }

# Next to EXE, so the final rename is atomic and a failed run leaves EXE as it was.
signed=$(mktemp "$(dirname "$exe")/.sign.XXXXXX")
trap 'rm -f "$signed"' EXIT
# osslsigncode refuses to overwrite its output.
rm -f "$signed"
osslsigncode sign -pkcs12 "$pfx" -readpass "$password_file" -h sha256 \
  -in "$exe" -out "$signed" >"$signed.log" 2>&1 || { cat "$signed.log" >&2; rm -f "$signed.log"; exit 1; }
rm -f "$signed.log"
chmod --reference="$exe" "$signed"
mv -f "$signed" "$exe"
