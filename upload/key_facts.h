// SPDX-License-Identifier: MIT
// What may be told of a private key without a byte of its secret: its form,
// whether a passphrase guards it, and its public half where the file holds
// it in the clear.
#ifndef KEY_FACTS_H
#define KEY_FACTS_H

#include <stddef.h>
#include <stdint.h>

struct byte_span {
    const unsigned char *at;
    uint32_t length;
};

struct key_facts {
    const char *form;    // the PEM label ("EC PRIVATE KEY") or "DER"; null when no key is found
    char label[24];
    bool encrypted;
    byte_span modulus, exponent;   // RSA
    byte_span point, curve;        // EC: the public point, the curve's OID
};

// Judges the file's first `length` bytes, PEM or DER; a PEM body is decoded
// into `scratch`, which needs length * 3 / 4 bytes. The spans point into
// `file` or `scratch`.
key_facts key_facts_of(const unsigned char *file, size_t length, unsigned char *scratch);

#endif
