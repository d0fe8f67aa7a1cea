#!/usr/bin/env bash
# sign.sh EXE PFX PASSWORD_FILE [TIMESTAMP_URL]
# Signs EXE in place with the certificate and key in PFX (PKCS#12), whose password is the
# first line of PASSWORD_FILE: Authenticode with SHA-256.
#
# Without TIMESTAMP_URL it signs offline, and the signature is then valid only while the
# certificate is. With the URL of an RFC 3161 time-stamp service (as the certificate's
# issuer names it) the signature is counter-signed with the time of signing, so it stays
# valid after the certificate expires; the service must be reachable, and if it is not,
# signing fails and EXE is left as it was, never signed without the stamp asked for.
# The password travels in a file, never on the command line, where ps would show it.
set -euo pipefail

if [ $# -lt 3 ] || [ $# -gt 4 ]; then
  echo "usage: sign.sh EXE PFX PASSWORD_FILE [TIMESTAMP_URL]" >&2
  exit 2
fi
exe=$1 pfx=$2 password_file=$3 timestamp_url=${4:-}
for file in "$exe" "$pfx" "$password_file"; do
  [ -f "$file" ] || { echo "sign.sh: no such file: $file" >&2; exit 2; }
done
command -v osslsigncode >/dev/null || { echo "sign.sh: osslsigncode is missing (scripts/setup.sh installs it)" >&2; exit 2; }
stamp=()
if [ -n "$timestamp_url" ]; then
  case $timestamp_url in
    http://* | https://*) stamp=(-ts "$timestamp_url") ;;
    *) echo "sign.sh: the time-stamp service must be an http:// or https:// URL: $timestamp_url" >&2; exit 2 ;;
  esac
fi

# Next to EXE, so the final rename is atomic and a failed run leaves EXE as it was.
signed=$(mktemp "$(dirname "$exe")/.sign.XXXXXX")
trap 'rm -f "$signed" "$signed.log"' EXIT
# osslsigncode refuses to overwrite its output.
rm -f "$signed"
# A service that never answers would hang the build: a minute is ample for one request.
status=0
timeout 60 osslsigncode sign -pkcs12 "$pfx" -readpass "$password_file" -h sha256 "${stamp[@]}" \
  -in "$exe" -out "$signed" >"$signed.log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
  cat "$signed.log" >&2
  if [ "$status" -eq 124 ]; then
    echo "sign.sh: no answer from the time-stamp service $timestamp_url within 60 s; $exe is left as it was" >&2
  elif [ -n "$timestamp_url" ] && grep -qi 'timestamp' "$signed.log"; then
    echo "sign.sh: the time-stamp service $timestamp_url could not be reached or gave no time stamp;" \
      "$exe is left as it was" >&2
  else
    echo "sign.sh: signing failed; $exe is left as it was" >&2
  fi
  exit 1
fi
chmod --reference="$exe" "$signed"
mv -f "$signed" "$exe"
