#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes the files of the content check's table in DIR with openssl: real
# certificates and keys in the forms the 802.1X client reads, and files that
# are neither. They come from the 802.1X tests' PKI in PKI_DIR (made there
# when missing), whose CA the authenticator trusts and whose client
# certificates go with the keys, so that the client itself can be asked
# about each file (client_answers.sh).
# Usage: make_key_files.sh DIR PKI_DIR
set -euo pipefail
dir=$1 pki=$(realpath -m "$2")
# shellcheck source=../e2e/8021x.sh
source "$(dirname "$0")/../e2e/8021x.sh"
eap_pki "$pki"
rm -rf "$dir"
mkdir -p "$dir"
cd "$dir"
exec 2>openssl.log

# The key rows are the client's RSA key and its EC key, in every form.
cp "$pki/ca.pem" "$pki/ca.key" "$pki/client.pem" "$pki/client.key" .
openssl pkey -in client.key -out rsa-pkcs8.pem
{ openssl ecparam -name prime256v1; openssl ec -in "$pki/client-ec.key"; } >ec-sec1.pem
openssl req -new -key client.key -subj /CN=device -out request.pem
# Without extensions: version 1, whose TBS starts with the serial.
openssl x509 -req -in request.pem -CA ca.pem -CAkey ca.key -set_serial 2 -days 30 -outform DER -out v1.der
openssl x509 -in ca.pem -outform DER -out ca.der
openssl x509 -in client.pem -outform DER -out client.der
openssl x509 -in ca.pem -trustout -out trusted.pem
# As distributions ship CA bundles: comments before and between.
{
    printf '# Certificates for the 802.1X network\n#\n'
    cat ca.pem
    printf '\n# The client certificate, signed by the CA above\n'
    cat client.pem
} >bundle.pem
sed 's/$/\r/' ca.pem >crlf.pem
# As some Windows editors save: a UTF-8 byte-order mark first. And a run of
# blanks after a BEGIN line.
printf '\357\273\277' | cat - ca.pem >bom-cert.pem
printf '\357\273\277' | cat - rsa-pkcs8.pem >bom-key.pem
sed '1s/$/                                                  /' client.pem >blanks.pem
sed '1s/$/\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t/' ec-sec1.pem >blanks-key.pem

# Keys: PKCS#1, SEC1 (with its EC PARAMETERS block first), PKCS#8 plain
# and encrypted, DER, and a PKCS#12 bundle.
openssl pkey -in rsa-pkcs8.pem -traditional -out rsa-pkcs1.pem
openssl rsa -in rsa-pkcs8.pem -traditional -outform DER -out rsa-pkcs1.der
openssl pkcs8 -topk8 -nocrypt -in rsa-pkcs8.pem -outform DER -out rsa-pkcs8.der
openssl pkey -in ec-sec1.pem -out ec-pkcs8.pem
# DER lengths in the short form (121 bytes) and in one length byte (138).
openssl ec -in ec-sec1.pem -outform DER -out ec-sec1.der
openssl pkcs8 -topk8 -nocrypt -in ec-sec1.pem -outform DER -out ec-pkcs8.der
openssl pkcs8 -topk8 -in rsa-pkcs8.pem -passout pass:secret -out encrypted.pem
# The client decrypts PEM only.
openssl pkcs8 -topk8 -in rsa-pkcs8.pem -passout pass:secret -outform DER -out encrypted.der
openssl pkcs12 -export -in client.pem -inkey client.key -passout pass:secret -out bundle.p12
# Exported from the bundle, with its "Bag Attributes" text: key and
# certificate together, and each alone.
openssl pkcs12 -in bundle.p12 -passin pass:secret -nodes -out bag.pem
openssl pkcs12 -in bundle.p12 -passin pass:secret -nodes -nocerts -out bag-key.pem
openssl pkcs12 -in bundle.p12 -passin pass:secret -nokeys -out bag-cert.pem
cat client.pem client.key >combined.pem
# The bytes inside a DER file's outer SEQUENCE.
inner() {
    local bytes
    bytes=$(od -An -j1 -N1 -tu1 "$1" | tr -d ' ')
    if [ "$bytes" -ge 128 ]; then bytes=$((bytes - 128)); else bytes=0; fi
    tail -c +$((3 + bytes)) "$1"
}
# BER's indefinite outer length, as some Java tool kits and CAs export: the
# client reads it in every kind. And bytes after a DER object, which the
# client leaves unread.
ber() { { printf '\060\200'; inner "$1"; printf '\0\0'; } >"$2"; }
ber client.der ber-cert.der
ber bundle.p12 ber.p12
ber rsa-pkcs8.der ber-key.der
{ cat rsa-pkcs8.der; printf 'trailing\n'; } >long-key.der
# The outer length in four bytes, as some encoders write it.
long_form() {
    local n
    n=$(inner "$1" | wc -c)
    # shellcheck disable=SC2059
    { printf '\060\204'; printf "$(printf '\\%03o' $((n >> 24)) $((n >> 16 & 255)) $((n >> 8 & 255)) $((n & 255)))"; inner "$1"; } >"$2"
}
long_form client.der long-length.der
long_form rsa-pkcs8.der long-length-key.der
# DER as a PEM block of the given label.
pem() { echo "-----BEGIN $1-----"; openssl base64 -in "$2"; echo "-----END $1-----"; }
# Two files saved by a Windows editor, joined: a byte-order mark before each
# block. A block that is not the first, cut, or with bytes after it.
{ printf '\357\273\277'; cat ca.pem; printf '\357\273\277'; cat client.pem; } >bom-certs.pem
{ printf '\357\273\277'; cat client.pem; printf '\357\273\277'; cat client.key; } >bom-joined.pem
{ cat ca.pem; printf 'trailing words\n'; } >trailing.pem
{ cat client.key; printf 'trailing words\n'; } >trailing-key.pem
sed 's/$/\r/' rsa-pkcs1.pem >crlf-key.pem
# The body in one line, and in lines indented.
{ head -1 ca.pem; sed '1d;$d' ca.pem | tr -d '\n'; echo; tail -1 ca.pem; } >one-line.pem
sed '2,/END/s/^[A-Za-z0-9+/]/  &/' client.key >indented-body.pem
# Traditional encryption, with its Proc-Type and DEK-Info headers.
openssl rsa -in rsa-pkcs8.pem -traditional -aes128 -passout pass:secret -out rsa-encrypted.pem
openssl ec -in ec-sec1.pem -aes128 -passout pass:secret -out ec-encrypted.pem

# Neither.
openssl pkey -in rsa-pkcs8.pem -pubout -out public.pem
openssl pkey -in rsa-pkcs8.pem -pubout -outform DER -out public.der
openssl req -in request.pem -outform DER -out request.der
openssl crl2pkcs7 -nocrl -certfile ca.pem -outform DER -out bundle.p7b
printf '\211PNG\r\n\032\n\0\0\0\rIHDR\0\0\0\1\0\0\0\1\10\6\0\0\0\37\25\304\211' >picture.png
printf 'Network: office\nUser: admin\n' >notes.txt
head -c -1 client.der >cut.der
{ cat client.der; printf '\n'; } >long.der
printf '\060\200\002\001\000\000\000' >indefinite.der
sed 's/^-----BEGIN/ -----BEGIN/' ca.pem >indented.pem
{ cat ca.pem; sed 's/PRIVATE KEY/OPENSSH PRIVATE KEY/' rsa-pkcs8.pem; } >openssh.pem
# A PEM block cut short, a broken body, and bodies that decode to another
# structure than their label names.
head -2 ca.pem >cut.pem
head -2 rsa-pkcs8.pem >cut-key.pem
{ cat ca.pem; head -5 client.pem; } >cut-second.pem
sed '3s/^./!/' ca.pem >bad-char.pem
sed "$(($(wc -l <ca.pem) - 1))s/.$//" ca.pem >unpadded.pem
awk 'NR == 5 { print "" } 1' ca.pem >blank-line.pem
sed '$s/CERTIFICATE/X509 CRL/' ca.pem >wrong-end.pem
pem CERTIFICATE rsa-pkcs8.der >mislabelled.pem
pem 'PRIVATE KEY' rsa-pkcs1.der >pkcs1-as-pkcs8.pem
pem 'RSA PRIVATE KEY' rsa-pkcs8.der >pkcs8-as-pkcs1.pem
openssl pkcs8 -topk8 -nocrypt -in ec-sec1.pem | sed 's/PRIVATE KEY/EC PRIVATE KEY/' >pkcs8-as-sec1.pem
head -c -20 client.der | openssl base64 | { echo '-----BEGIN CERTIFICATE-----'; cat; echo '-----END CERTIFICATE-----'; } >cut-body.pem
# Bytes that only look like DER: inner elements past the outer length.
printf '\060\002\060\000\240\000' >looks-der.der
# A traditional DSA public key, SEQUENCE {y, p, q, g}: four INTEGERs.
dsa=$(openssl dsaparam -genkey -noout 1024 | openssl pkey -traditional -outform DER | openssl asn1parse -inform DER |
    sed -n 's/.*d=1.*INTEGER *:/0x/p')
read -r -d '' _ p q g y _ <<<"$dsa" || true
openssl asn1parse -noout -out dsa-public.der -genconf <(printf 'asn1=SEQUENCE:k\n[k]\ny=INTEGER:%s\np=INTEGER:%s\nq=INTEGER:%s\ng=INTEGER:%s\n' "$y" "$p" "$q" "$g")
# A DER key, then a PEM certificate.
{ cat rsa-pkcs1.der; echo; cat ca.pem; } >key-then-cert.der
