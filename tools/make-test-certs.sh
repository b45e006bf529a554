#!/usr/bin/env bash
# Makes the test certificate authority and a server certificate for 127.0.0.1/localhost,
# valid for 100 years, under tests/data/tls/. The tests trust ca.pem through
# HttpSettings::caFile; nothing outside the tests uses these keys.
set -euo pipefail

out="$(cd "$(dirname "$0")/.." && pwd)/tests/data/tls"
mkdir -p "$out"
cd "$out"
days=36500
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days "$days" \
  -keyout "$work/ca.key" -out ca.pem -subj "/CN=Vellicor Test CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"

openssl req -newkey rsa:2048 -nodes -sha256 -keyout server.key -out "$work/server.csr" \
  -subj "/CN=127.0.0.1"

cat > "$work/ext.cnf" <<'EXT'
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=IP:127.0.0.1,DNS:localhost
EXT

openssl x509 -req -in "$work/server.csr" -CA ca.pem -CAkey "$work/ca.key" -CAcreateserial \
  -CAserial "$work/ca.srl" -days "$days" -sha256 -extfile "$work/ext.cnf" -out server.pem

echo "wrote ca.pem, server.pem, server.key to $out"
