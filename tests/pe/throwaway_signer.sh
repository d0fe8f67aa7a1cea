# Sourced by the signing tests: a self-signed code-signing certificate for one run.
# make_signer NAME writes NAME.pem, NAME.key, NAME.pfx and NAME.pass in the current folder.
make_signer() {
  printf 'pw-%s-%s\n' "$1" "$RANDOM$RANDOM" >"$1.pass"
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.pem" -days 2 \
    -subj "/CN=Throwaway $1 signer" -addext "extendedKeyUsage=codeSigning" >/dev/null 2>&1 &&
    openssl pkcs12 -export -inkey "$1.key" -in "$1.pem" -out "$1.pfx" -passout "file:$1.pass" >/dev/null 2>&1
}
