#!/usr/bin/env bash
# Makes the test certificates of this folder (they are committed; run again only to change
# them): a test CA, a server certificate for 127.0.0.1 and localhost, one for another host
# name and one that expired long ago, all issued by the test CA. EC P-256 keys, no passwords.
# Two more are too weak for a client to accept: one signed with SHA-1 and one with an RSA key
# of 1024 bits.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# key FILE [rsa1024]
key() {
  if [ "${2:-}" = rsa1024 ]; then
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out "$1" 2>/dev/null
  else
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null
  fi
}

key ca.key
openssl req -x509 -new -key ca.key -sha256 -days 36500 -subj "/CN=VX Test CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -out ca.pem

# issue NAME SUBJECT SAN START END [DIGEST [KEYTYPE]]
issue() {
  key "$1.key" "${7:-}"
  openssl req -new -key "$1.key" -subj "$2" -out "$work/$1.csr"
  mkdir -p "$work/db"; : >"$work/db/index"; echo 01 >"$work/db/serial"
  cat >"$work/ca.cnf" <<CNF
[ca]
default_ca = test
[test]
database = $work/db/index
serial = $work/db/serial
new_certs_dir = $work/db
default_md = ${6:-sha256}
policy = any
copy_extensions = none
unique_subject = no
[any]
commonName = supplied
[ext]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = $3
CNF
  openssl ca -batch -config "$work/ca.cnf" -cert ca.pem -keyfile ca.key -in "$work/$1.csr" \
    -startdate "$4" -enddate "$5" -extensions ext -notext -out "$1.pem" 2>/dev/null
}

issue server "/CN=127.0.0.1" "IP:127.0.0.1,DNS:localhost" 20260101000000Z 21251231000000Z
issue wronghost "/CN=wrong.example" "DNS:wrong.example" 20260101000000Z 21251231000000Z
issue expired "/CN=127.0.0.1" "IP:127.0.0.1,DNS:localhost" 20010101000000Z 20020101000000Z
issue sha1signed "/CN=127.0.0.1" "IP:127.0.0.1,DNS:localhost" 20260101000000Z 21251231000000Z sha1
issue rsa1024 "/CN=127.0.0.1" "IP:127.0.0.1,DNS:localhost" 20260101000000Z 21251231000000Z sha256 rsa1024
