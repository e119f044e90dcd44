// SPDX-License-Identifier: MIT
#include <string.h>

#include "key_facts.h"
#include "pem_body.h"

namespace {

// One DER element after another, each bounded by its parent.
struct der_reader {
    const unsigned char *at, *end;

    // The next element's tag, its value in `value`; 0 when none is whole.
    unsigned next(byte_span &value)
    {
        if (end - at < 2)
            return 0;
        const unsigned tag = at[0];
        uint32_t length = at[1];
        at += 2;
        if (length & 0x80) {
            unsigned bytes = length & 0x7f;
            if (bytes == 0 || bytes > 3 || end - at < static_cast<long>(bytes))
                return 0;
            for (length = 0; bytes--;)
                length = length << 8 | *at++;
        }
        if (static_cast<uint32_t>(end - at) < length)
            return 0;
        value = {at, length};
        at += length;
        return tag;
    }
};

der_reader inside(byte_span value)
{
    return {value.at, value.at + value.length};
}

const unsigned char RSA_OID[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x01};
const unsigned char EC_OID[] = {0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01};

bool is(byte_span value, const unsigned char *oid, size_t length)
{
    return value.length == length && memcmp(value.at, oid, length) == 0;
}

// PKCS#1 (RSA: nine INTEGERs, DSA: six), SEC1, PKCS#8 around either, or the
// forms that need a passphrase: PKCS#8 encrypted (its algorithm comes
// first) and PKCS#12 (version 3). Only the public INTEGERs and the point
// are kept.
void read_key(byte_span der, key_facts &k, byte_span curve)
{
    der_reader file = inside(der);
    byte_span outer, version, first;
    if (file.next(outer) != 0x30)
        return;
    der_reader in = inside(outer);
    unsigned tag = in.next(version);
    if (tag == 0x30 || (tag == 0x02 && version.length == 1 && version.at[0] == 3)) {
        k.encrypted = true;
        return;
    }
    if (tag != 0x02)
        return;
    tag = in.next(first);
    if (tag == 0x02) {
        byte_span exponent, rest;
        unsigned count = 3;
        if (in.next(exponent) != 0x02)
            return;
        while (in.next(rest) == 0x02)
            ++count;
        if (count >= 9) {
            k.modulus = first;
            k.exponent = exponent;
        }
    } else if (tag == 0x04) {
        k.curve = curve;
        byte_span field, item;
        while ((tag = in.next(field)) != 0) {
            der_reader tagged = inside(field);
            unsigned inner = tagged.next(item);
            if (tag == 0xa0 && inner == 0x06)
                k.curve = item;
            // A BIT STRING's first byte counts the unused bits.
            if (tag == 0xa1 && inner == 0x03 && item.length > 1)
                k.point = {item.at + 1, item.length - 1};
        }
    } else if (tag == 0x30) {
        der_reader algorithm = inside(first);
        byte_span oid, parameters, key;
        if (algorithm.next(oid) != 0x06 || in.next(key) != 0x04)
            return;
        if (is(oid, RSA_OID, sizeof RSA_OID) || (is(oid, EC_OID, sizeof EC_OID) &&
                                                 algorithm.next(parameters) == 0x06)) {
            read_key(key, k, parameters);
        }
    }
}

}  // namespace

key_facts key_facts_of(const unsigned char *file, size_t length, unsigned char *scratch)
{
    // Field by field: an empty initializer would bring memset in.
    key_facts k;
    k.form = nullptr;
    k.encrypted = false;
    k.modulus = k.exponent = k.point = k.curve = {nullptr, 0};
    const unsigned char *end = file + length;
    static const char BEGIN[] = "-----BEGIN ";
    for (const unsigned char *p = file; end - p > 16; ++p) {
        // Anywhere, not only at a line's start: a byte-order mark may lead.
        if (*p != '-' || memcmp(p, BEGIN, sizeof BEGIN - 1) != 0)
            continue;
        // The first block whose label ends in PRIVATE KEY, its label as the
        // form ("EC PRIVATE KEY"): labels hold no dashes.
        const unsigned char *label = p + sizeof BEGIN - 1;
        const size_t room = static_cast<size_t>(end - label) - 5;
        const auto *dash = static_cast<const unsigned char *>(memchr(label, '-', room < sizeof k.label ? room : sizeof k.label));
        if (!dash || dash - label < 11 || memcmp(dash - 11, "PRIVATE KEY", 11) != 0)
            continue;
        memcpy(k.label, label, static_cast<size_t>(dash - label));
        k.label[dash - label] = 0;
        k.form = k.label;
        const unsigned char *body = dash + 5;
        // An OpenSSL-encrypted PEM body starts with its headers, a plain one
        // has none; PKCS#8's encrypted form has a label of its own.
        if (memcmp(label, "ENCRYPTED", 9) == 0 ||
            memchr(body, ':', static_cast<size_t>(end - body) < 80 ? static_cast<size_t>(end - body) : 80)) {
            k.encrypted = true;
            return k;
        }
        pem_body decoded{};
        pem_body_decode(decoded, reinterpret_cast<const char *>(body), static_cast<size_t>(end - body), scratch,
                        static_cast<uint32_t>(length * 3 / 4));
        read_key({scratch, decoded.size < length * 3 / 4 ? decoded.size : static_cast<uint32_t>(length * 3 / 4)}, k, {});
        return k;
    }
    if (length == 0 || file[0] != 0x30)
        return k;
    k.form = "DER";
    read_key({file, static_cast<uint32_t>(length)}, k, {});
    return k;
}
