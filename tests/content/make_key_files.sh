#!/bin/sh
# SPDX-License-Identifier: MIT
# Makes the files of the content check's table in DIR with openssl: real
# certificates and keys in the forms the 802.1X client reads, and files that
# are neither. Usage: make_key_files.sh DIR
set -eu
dir=$1
rm -rf "$dir"
mkdir -p "$dir"
cd "$dir"
exec 2>openssl.log

# A CA, and a client certificate it signs for an EC key.
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -subj /CN=test-ca -days 30 -out ca.pem
openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout client.key \
    -subj /CN=client -out request.pem
openssl x509 -req -in request.pem -CA ca.pem -CAkey ca.key -set_serial 2 -days 30 -out client.pem
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

# Keys: PKCS#1, SEC1 (with its EC PARAMETERS block first), PKCS#8 plain
# and encrypted, DER, and a PKCS#12 bundle.
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out rsa-pkcs8.pem
openssl pkey -in rsa-pkcs8.pem -traditional -out rsa-pkcs1.pem
openssl rsa -in rsa-pkcs8.pem -traditional -outform DER -out rsa-pkcs1.der
openssl pkcs8 -topk8 -nocrypt -in rsa-pkcs8.pem -outform DER -out rsa-pkcs8.der
openssl ecparam -name prime256v1 -genkey -out ec-sec1.pem
openssl pkey -in ec-sec1.pem -out ec-pkcs8.pem
# DER lengths in the short form (121 bytes) and in one length byte (138).
openssl ec -in ec-sec1.pem -outform DER -out ec-sec1.der
openssl pkcs8 -topk8 -nocrypt -in ec-sec1.pem -outform DER -out ec-pkcs8.der
openssl pkcs8 -topk8 -in rsa-pkcs8.pem -passout pass:secret -out encrypted.pem
openssl pkcs12 -export -in client.pem -inkey client.key -passout pass:secret -out bundle.p12
# Exported from the bundle, with its "Bag Attributes" text: key and
# certificate together, and each alone.
openssl pkcs12 -in bundle.p12 -passin pass:secret -nodes -out bag.pem
openssl pkcs12 -in bundle.p12 -passin pass:secret -nodes -nocerts -out bag-key.pem
openssl pkcs12 -in bundle.p12 -passin pass:secret -nokeys -out bag-cert.pem
cat client.pem client.key >combined.pem

# Neither.
openssl pkey -in rsa-pkcs8.pem -pubout -out public.pem
printf '\211PNG\r\n\032\n\0\0\0\rIHDR\0\0\0\1\0\0\0\1\10\6\0\0\0\37\25\304\211' >picture.png
printf 'Network: office\nUser: admin\n' >notes.txt
head -c -1 client.der >cut.der
{ cat client.der; printf '\n'; } >long.der
printf '\060\200\002\001\000\000\000' >indefinite.der
sed 's/^-----BEGIN/ -----BEGIN/' ca.pem >indented.pem
{ cat ca.pem; sed 's/PRIVATE KEY/OPENSSH PRIVATE KEY/' rsa-pkcs8.pem; } >openssh.pem
