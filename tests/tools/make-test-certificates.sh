#!/usr/bin/env bash
# Makes the certificates of the TLS tests with openssl, into the folder $1:
#   ca.pem ca.der          the test root CA ("Tallyline Test CA")
#   other-ca.pem           a second root that signed nothing the servers use
#   server.pem/.key        signed by the test CA for localhost: subjectAltName
#                          DNS:localhost, IP:127.0.0.1 and the test sinks'
#                          addresses 127.0.12.1 to 127.0.12.40
#   expired.pem/.key       the same names, expired since yesterday
#   client-only.pem/.key   the same names, usable only for client authentication
#   intermediate.pem       a CA below the test root
#   leaf.pem/.key          signed by the intermediate for localhost
#   leaf-chain.pem         leaf.pem followed by intermediate.pem
#   leaf-aia.pem/.key      like leaf.pem, naming where its issuer can be fetched
#                          (caIssuers http://127.0.12.17:8080/<new each time>/, so
#                          no URL cache of the prefix can answer for the network)
#   two-cas.pem            other-ca.pem followed by ca.pem
#   client.pem/.key/.pfx   a self-signed certificate an OAuth sign-in proves
#                          itself with (the PFX's password: tallyline), and
#                          client.thumbprint, its SHA-1 thumbprint in hex
#   service-account.key    a Google service account's private key (PKCS #8)
# Tests trust the test CA only through SmtpTrustedCa, never through a
# system store or the host's certificate files.
set -euo pipefail
out=$1
mkdir -p "$out"
cd "$out"

names="DNS:localhost,IP:127.0.0.1"
for i in $(seq 1 40); do names="$names,IP:127.0.12.$i"; done

root() {   # name subject
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.pem" -days 3650 -subj "/CN=$2" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
}

# leaf name issuer days usage [ca] [extension]
issue() {
  local name=$1 issuer=$2 days=$3 usage=$4 ca=${5:-} extension=${6:-}
  local subject="/CN=localhost"
  [ -n "$ca" ] && subject="/CN=Tallyline Test Intermediate CA"
  openssl req -newkey rsa:2048 -nodes -keyout "$name.key" -out "$name.csr" -subj "$subject" 2>/dev/null
  if [ -n "$ca" ]; then
    printf 'basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n' > "$name.ext"
  else
    printf 'basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=%s\nsubjectAltName=%s\n' \
      "$usage" "$names" > "$name.ext"
    if [ -n "$extension" ]; then echo "$extension" >> "$name.ext"; fi
  fi
  openssl x509 -req -in "$name.csr" -CA "$issuer.pem" -CAkey "$issuer.key" -set_serial "0x$(openssl rand -hex 8)" \
    -out "$name.pem" -days "$days" -extfile "$name.ext" 2>/dev/null
  rm -f "$name.csr" "$name.ext"
}

root ca "Tallyline Test CA"
root other-ca "Another Test CA"
openssl x509 -in ca.pem -outform DER -out ca.der
issue server ca 365 serverAuth
issue expired ca -1 serverAuth
issue client-only ca 365 clientAuth
issue intermediate ca 365 "" ca
issue leaf intermediate 365 serverAuth
cat leaf.pem intermediate.pem > leaf-chain.pem
issue leaf-aia intermediate 365 serverAuth "" \
  "authorityInfoAccess=caIssuers;URI:http://127.0.12.17:8080/$(openssl rand -hex 8)/intermediate.der"
cat other-ca.pem ca.pem > two-cas.pem
# Wine's PKCS #12 import stops copying a key at the first number a byte
# shorter than its place (the private exponent, or a CRT number shorter than
# a prime: about 1 key in 50) and imports the half-made key all the same;
# signatures with it are refused (seen: the token endpoint's "signature").
# Windows imports any key; the test's key is one that Wine imports whole.
while :; do
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out client.key 2>/dev/null
  /usr/bin/python3 - client.key <<'EOF_KEY' && break
import sys
from cryptography.hazmat.primitives import serialization
k = serialization.load_pem_private_key(open(sys.argv[1], "rb").read(), None).private_numbers()
whole = k.d.bit_length() > 2040 and all(n.bit_length() > 1016 for n in (k.p, k.q, k.dmp1, k.dmq1, k.iqmp))
sys.exit(0 if whole else 1)
EOF_KEY
done
openssl req -x509 -key client.key -out client.pem -days 365 -subj "/CN=Tallyline Test Client" 2>/dev/null
openssl pkcs12 -export -in client.pem -inkey client.key -out client.pfx -passout pass:tallyline
openssl x509 -in client.pem -noout -fingerprint -sha1 | sed 's/.*=//; s/://g' > client.thumbprint
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out service-account.key 2>/dev/null
