#!/usr/bin/env bash
# The demo certificate tool: each key's fingerprint is what the README's openssl command prints for its
# certificate; a second run reuses the state, and a CA made anew brings a new publisher certificate with it.
#   demo_pki_test.sh ZVQ-DEMO-PKI WORK-DIR
set -euo pipefail
tool=$1 work=$2/demo-pki-test
rm -rf "$work"
mkdir -p "$work"
fail() { echo "FAIL: $*"; exit 1; }
readme_fingerprint() {
  openssl x509 -in "$1" -noout -pubkey | openssl pkey -pubin -outform DER | openssl dgst -sha256 | sed 's/.*= //'
}

"$tool" "$work/state" --fingerprints "$work/first.txt" --code-signing other
[ "$(cut -d' ' -f1 "$work/first.txt" | tr '\n' ' ')" = "ca publisher other " ] || fail "names: $(cat "$work/first.txt")"
while read -r name fingerprint; do
  [ "$fingerprint" = "$(readme_fingerprint "$work/state/$name-cert.pem")" ] || fail "$name's fingerprint"
done <"$work/first.txt"
for name in publisher other; do
  openssl x509 -in "$work/state/$name-cert.pem" -noout -ext extendedKeyUsage | grep -q 'Code Signing' ||
    fail "$name is not a code-signing certificate"
  openssl verify -CAfile "$work/state/ca-cert.pem" "$work/state/$name-cert.pem" >/dev/null ||
    fail "$name is not issued by the CA"
done

"$tool" "$work/state" --fingerprints "$work/second.txt" --code-signing other
cmp -s "$work/first.txt" "$work/second.txt" || fail "a second run changed the state"

rm "$work/state/ca-key.pem"
"$tool" "$work/state" --fingerprints "$work/third.txt"
[ "$(grep -c -F -f <(cut -d' ' -f2 "$work/first.txt") "$work/third.txt")" -eq 0 ] ||
  fail "a new CA kept an old key"
openssl verify -CAfile "$work/state/ca-cert.pem" "$work/state/publisher-cert.pem" >/dev/null ||
  fail "the publisher is not issued by the new CA"
echo "demo certificate tool: 1 passed, 0 failed"
