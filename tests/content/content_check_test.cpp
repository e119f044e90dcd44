// SPDX-License-Identifier: MIT
// Real certificates and keys, and files that are neither, in every slot:
// with UPLOAD_CONTENT_CHECK each slot keeps only what the 802.1X client can
// use in its role, as the client itself answered for each file; without it
// every file is stored, as always.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <vector>

#include "harness.h"

static const std::string B = "----WebKitFormBoundaryKeyFiles0Q3x";
static const std::string OLD = "previous key\n";

static bool content_check_built()
{
    const char *v = getenv("UPLOAD_CONTENT_CHECK");
    return v && std::string(v) == "1";
}

// Uploads the file to the program with the body cut before each of `cuts`,
// and checks the answer and the target.
static void expect(const char *program, const char *name, const std::string &content, const std::vector<size_t> &cuts,
                   int code, const std::string &how)
{
    const std::string target = std::string("8021x-") + (program + 7);
    clear_target_dir();
    write_file(target_path(target), OLD);
    const std::string body = file_body(B, content);
    upload_run run = request(B, body, program);
    run.pieces.clear();
    size_t from = 0;
    for (size_t cut : cuts) {
        run.pieces.push_back(body.substr(from, cut - from));
        from = cut;
    }
    run.pieces.push_back(body.substr(from));
    const int want = content_check_built() ? code : 0;
    EXPECT_EQ(run_upload_checked(run).out, response_for(want)) << name << " in " << program << how;
    EXPECT_EQ(read_file(target_path(target)), want == 0 ? content : OLD) << name << " in " << program << how;
}

// The 802.1X client's answers (client_answers.sh): for each file, 0 or
// -7006 in a certificate slot and in a key slot, as it authenticates or not.
static std::map<std::string, std::pair<int, int>> client_answers()
{
    std::map<std::string, std::pair<int, int>> answers;
    const char *path = getenv("UPLOAD_CLIENT_ANSWERS");
    std::optional<std::string> text = path ? read_file(path) : std::nullopt;
    char file[64];
    int certificate, key, used = 0;
    for (const char *p = text ? text->c_str() : ""; sscanf(p, "%63s %d %d\n%n", file, &certificate, &key, &used) == 3;
         p += used)
        answers[file] = {certificate, key};
    return answers;
}

TEST(ContentCheck, EachFileInEachSlot)
{
    const char *files = getenv("UPLOAD_KEY_FILES");
    if (!files)
        GTEST_SKIP() << "no key files (UPLOAD_KEY_FILES)";
    const char *const CERTIFICATE_SLOTS[] = {"upload-client-cert", "upload-ca-cert", "upload-client-cert2",
                                             "upload-ca-cert2"};
    const char *const KEY_SLOTS[] = {"upload-priv", "upload-priv2"};
    const int NO = -7006;
    const size_t BYTES = SIZE_MAX;   // reads of one byte
    const bool POLICY = true;
    // The client decides each row's answers, but for the policy rows: a
    // private key in a certificate slot's file is refused, though the
    // client would read the certificate beside it.
    struct {
        const char *file;
        bool policy;
        size_t cut_span;   // with the check, also cut at every byte of this span from the
                           // first BEGIN line (the DER header) on, in a slot that takes it
    } rows[] = {
        // certificates
        {"ca.pem", 0, 0},   // self-signed
        {"client.pem", 0, 0},   // signed by the CA
        {"v1.der", 0, 16},   // version 1: no [0] version, the serial first
        {"ca.der", 0, 12},
        {"client.der", 0, 12},
        {"long.der", 0, BYTES},   // and a byte after it
        {"ber-cert.der", 0, 8},   // BER's indefinite length
        {"trusted.pem", 0, 0},
        {"bundle.pem", 0, 28},   // comment lines before and between
        {"crlf.pem", 0, 0},
        {"bag-cert.pem", 0, 0},   // "Bag Attributes" text before
        {"bom-cert.pem", 0, BYTES},   // a UTF-8 byte-order mark first
        {"blanks.pem", 0, 60},   // blanks after the BEGIN line
        {"long-length.der", 0, 8},   // the outer length in four bytes
        {"bom-certs.pem", 0, BYTES},   // a byte-order mark before each of two blocks
        {"trailing.pem", 0, 0},   // words after the block
        {"one-line.pem", 0, 0},   // the body in one line
        // keys, and keys with their certificate
        {"rsa-pkcs1.pem", 0, 0},
        {"rsa-pkcs8.pem", 0, 0},
        {"ec-sec1.pem", 0, 0},   // its EC PARAMETERS block first
        {"ec-pkcs8.pem", 0, 0},
        {"encrypted.pem", 0, 38},
        {"bag-key.pem", 0, 0},
        {"bag.pem", POLICY, 0},
        {"combined.pem", POLICY, 0},
        {"bom-key.pem", 0, 0},
        {"blanks-key.pem", 0, 0},
        {"bom-joined.pem", POLICY, 0},   // a certificate and a key, each with a byte-order mark
        {"long-length-key.der", 0, 0},
        {"trailing-key.pem", 0, 0},
        {"crlf-key.pem", 0, 0},
        {"indented-body.pem", 0, 0},
        {"rsa-encrypted.pem", 0, 90},   // Proc-Type and DEK-Info headers, a blank line
        {"ec-encrypted.pem", 0, 0},
        {"pkcs8-as-pkcs1.pem", 0, 0},   // PKCS#8 under a traditional label
        {"pkcs8-as-sec1.pem", 0, 0},
        {"ec-sec1.der", 0, BYTES},   // DER length in the short form
        {"ec-pkcs8.der", 0, 8},   // in one byte of the long form
        {"rsa-pkcs1.der", 0, 12},
        {"rsa-pkcs8.der", 0, 0},
        {"long-key.der", 0, 0},
        {"ber-key.der", 0, 0},
        {"bundle.p12", 0, 10},
        {"ber.p12", 0, 10},
        // neither, or not for the client in this form
        {"encrypted.der", 0, 8},
        {"public.pem", 0, 0},
        {"public.der", 0, 8},
        {"request.pem", 0, 0},
        {"request.der", 0, 12},
        {"bundle.p7b", 0, 0},
        {"picture.png", 0, 0},
        {"notes.txt", 0, 0},
        {"cut.der", 0, BYTES},   // one byte short of its SEQUENCE
        {"indefinite.der", 0, 0},   // an INTEGER and the end
        {"indented.pem", 0, 2},   // BEGIN not at the start of its line
        {"openssh.pem", POLICY, 0},   // a key block of another label beside a certificate
        // PEM that does not decode to what its label names, and DER
        // beyond its outer element
        {"cut.pem", 0, BYTES},   // a BEGIN line and one line of body
        {"cut-key.pem", 0, 0},
        {"cut-second.pem", 0, 0},   // the second block cut
        {"bad-char.pem", 0, 0},
        {"unpadded.pem", 0, 0},   // a character short
        {"blank-line.pem", 0, 0},   // a blank line amid the body
        {"wrong-end.pem", 0, 0},   // another label's END line
        {"mislabelled.pem", 0, 0},   // a key under CERTIFICATE
        {"pkcs1-as-pkcs8.pem", 0, 0},   // PKCS#1 under PRIVATE KEY
        {"cut-body.pem", 0, 0},   // a certificate's DER cut, then encoded whole
        {"looks-der.der", 0, BYTES},   // elements past the outer length
        {"dsa-public.der", 0, 0},   // DSA's own public key: four INTEGERs
        {"key-then-cert.der", POLICY, 0},   // a DER key, then a PEM certificate
    };
    const auto answers = client_answers();
    if (content_check_built()) {
        // Every file the client judged is a row, and every row was judged.
        ASSERT_EQ(answers.size(), std::size(rows)) << "the client's answers (UPLOAD_CLIENT_ANSWERS)";
        for (auto &r : rows)
            ASSERT_TRUE(answers.count(r.file)) << r.file << " has no answer from the client";
    }
    // Each row in a certificate slot and a key slot, the slots taking turns,
    // so that every program meets keys and certificates; without the check
    // fewer rows show that every file is stored. Without the check the
    // programs never look at what a file is: each row is the same scanner
    // and copy on other bytes, a sweep, which UPLOAD_SWEEP may sample.
    size_t turn = 0;
    for (auto &r : rows) {
        if (!content_check_built() && !sweep_takes(turn)) {
            ++turn;
            continue;
        }
        std::optional<std::string> content = read_file(std::string(files) + "/" + r.file);
        ASSERT_TRUE(content) << r.file;
        auto [certificate_slot, key_slot] = answers.count(r.file) ? answers.at(r.file) : std::pair{0, 0};
        if (r.policy) {
            EXPECT_EQ(certificate_slot, 0) << r.file << ": a policy row the client refuses anyway";
            certificate_slot = NO;
        }
        const char *certificate_program = CERTIFICATE_SLOTS[turn % 4];
        expect(certificate_program, r.file, *content, {}, certificate_slot, "");
        if (content_check_built() || turn % 3 == 0)
            expect(KEY_SLOTS[turn % 2], r.file, *content, {}, key_slot, "");
        if (!content_check_built() || r.cut_span == 0) {
            ++turn;
            continue;
        }
        // How the web server cuts the body never decides; in the slot that
        // takes the file, where there is one.
        const bool in_key_slot = certificate_slot != 0 && key_slot == 0;
        const char *program = in_key_slot ? KEY_SLOTS[turn % 2] : certificate_program;
        const int want = in_key_slot ? key_slot : certificate_slot;
        ++turn;
        const size_t at = file_body(B, *content).find(*content);
        const size_t begin = content->find("-----BEGIN");
        const size_t from = at + (begin == std::string::npos ? 0 : begin);
        if (r.cut_span == BYTES) {
            std::vector<size_t> bytes;
            for (size_t cut = at; cut < at + content->size(); ++cut)
                bytes.push_back(cut);
            expect(program, r.file, *content, bytes, want, " in reads of one byte");
            continue;
        }
        for (size_t cut = from; cut <= from + r.cut_span; ++cut)
            if (sweep_takes(cut))
                expect(program, r.file, *content, {cut}, want, " cut at " + std::to_string(cut - at));
    }
}

// The private numbers of a key file as openssl reads it with the table's
// passphrase: every field of its text form but the public ones.
static std::vector<std::string> private_parts(const std::string &path, std::string &public_half)
{
    std::vector<std::string> parts;
    const std::string quoted = "'" + path + "'";
    for (const std::string &read : {"openssl pkey -inform PEM -in " + quoted, "openssl pkey -inform DER -in " + quoted,
                                     "openssl pkcs12 -nodes -nocerts -passin pass:secret -in " + quoted + " | openssl pkey"}) {
        FILE *text = popen((read + " -passin pass:secret -noout -text 2>/dev/null").c_str(), "r");
        char line[256];
        std::string field, bytes;
        auto keep = [&] {
            if (field == "modulus" || field == "pub")
                public_half = bytes;
            else if (!bytes.empty())
                parts.push_back(bytes);
            bytes.clear();
        };
        while (text && fgets(line, sizeof line, text)) {
            unsigned value;
            int used;
            if (line[0] != ' ') {
                keep();
                field = std::string(line, strcspn(line, ":"));
                continue;
            }
            for (const char *p = line; sscanf(p, " %2x%n", &value, &used) == 1; p += used + (p[used] == ':'))
                bytes += static_cast<char>(value);
        }
        keep();
        if (text)
            pclose(text);
        if (!parts.empty())
            return parts;
    }
    return parts;
}

static std::string hex(const std::string &bytes, const char *digits = "0123456789abcdef")
{
    std::string out;
    for (unsigned char c : bytes)
        out += {digits[c >> 4], digits[c & 15]};
    return out;
}

static const char BASE64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

static std::string unbase64(const std::string &text)
{
    std::string out;
    unsigned bits = 0, count = 0;
    for (char c : text)
        if (const char *at = strchr(BASE64, c); c && at) {
            bits = bits << 6 | static_cast<unsigned>(at - BASE64);
            if ((count += 6) >= 8)
                out += static_cast<char>(bits >> (count -= 8));
        }
    return out;
}

static std::string base64_lines(const std::string &bytes)
{
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        for (size_t k = 1; k < 3 && i + k < bytes.size(); ++k)
            v |= static_cast<unsigned char>(bytes[i + k]) << (16 - 8 * k);
        for (size_t k = 0; k < 4; ++k)
            out += k <= bytes.size() - i ? BASE64[v >> (18 - 6 * k) & 63] : '=';
        if ((i / 3 + 1) % 16 == 0 && i + 3 < bytes.size())
            out += '\n';
    }
    return out;
}

// The file with one private number changed, all but its first byte, where
// the file holds it in the clear (DER, or the body of a PEM key block);
// nothing when it does not.
static std::optional<std::string> with_part_changed(const std::string &file, const std::string &part)
{
    auto changed = [&](std::string der) -> std::optional<std::string> {
        size_t at = der.find(part);
        if (at == std::string::npos || part.size() < 2)
            return std::nullopt;
        for (size_t i = at + 1; i < at + part.size(); ++i)
            der[i] ^= 0x55;
        return der;
    };
    size_t label = file.find("PRIVATE KEY-----\n");
    if (label == std::string::npos)
        return changed(file);
    size_t body = label + 17, end = file.find("-----END", body);
    std::optional<std::string> der = changed(unbase64(file.substr(body, end - body)));
    if (!der)
        return std::nullopt;
    return file.substr(0, body) + base64_lines(*der) + "\n" + file.substr(end);
}

// The answer without what differs from one file to the next anyway.
static std::string status_of_slots(const std::string &key)
{
    write_file(target_path("8021x-priv"), key, 0600);
    write_file(target_path("8021x-priv2"), key, 0600);
    upload_run run;
    run.program = "upload-status";
    run.env = {{"REQUEST_METHOD", "GET"}};
    std::string out = run_upload_checked(run).out;
    for (const char *field : {"\"size\":", "\"mtime\":"})
        for (size_t at = 0; (at = out.find(field, at)) != std::string::npos;)
            out.erase(at, out.find(',', at) - at);
    return out;
}

// No 16 bytes of a key's private numbers in the status program's answer, raw
// or as hex, for every key of the table in both key slots, and the same
// answer when they all change; and the public half of every key
// that is readable without a passphrase.
TEST(ContentCheck, NoKeyByteLeavesInTheStatus)
{
    const char *files = getenv("UPLOAD_KEY_FILES");
    if (!files)
        GTEST_SKIP() << "no key files (UPLOAD_KEY_FILES)";
    int keys = 0;
    for (const char *name : {"client.key", "ca.key", "rsa-pkcs1.pem", "rsa-pkcs8.pem", "ec-sec1.pem", "ec-pkcs8.pem",
                             "encrypted.pem", "bag-key.pem", "bag.pem", "combined.pem", "bom-key.pem", "blanks-key.pem",
                             "ec-sec1.der", "ec-pkcs8.der", "rsa-pkcs1.der", "rsa-pkcs8.der", "long-key.der",
                             "ber-key.der", "bundle.p12", "ber.p12", "encrypted.der"}) {
        const std::string path = std::string(files) + "/" + name;
        std::string public_half;
        const std::vector<std::string> parts = private_parts(path, public_half);
        std::optional<std::string> key = read_file(path);
        ASSERT_TRUE(key && !parts.empty()) << name << ": openssl reads no private key in it";
        ++keys;
        clear_target_dir();
        write_file(target_path("8021x-priv"), *key, 0600);
        write_file(target_path("8021x-priv2"), *key, 0600);
        upload_run run;
        run.program = "upload-status";
        run.env = {{"REQUEST_METHOD", "GET"}};
        const std::string out = run_upload_checked(run).out;
        ASSERT_NE(out.find("\"slots\":["), std::string::npos) << name << ": " << out;
        for (const std::string &part : parts)
            for (size_t at = 0; at + 16 <= part.size(); ++at) {
                const std::string window = part.substr(at, 16);
                for (const std::string &form : {window, hex(window), hex(window, "0123456789ABCDEF")})
                    ASSERT_EQ(out.find(form), std::string::npos) << name << ": private bytes at " << at;
            }
        // Every private number changed at once: the answer would show a
        // change to any one of them, for one run of the program.
        int changed = 0;
        std::string other = *key;
        for (const std::string &part : parts)
            if (std::optional<std::string> with = with_part_changed(other, part)) {
                ++changed;
                other = *with;
            }
        if (changed) {
            ASSERT_EQ(status_of_slots(other), status_of_slots(*key)) << name << ": a private number changed";
        }
        // In the clear, each private number is in the file for the row above.
        const std::string n(name);
        const bool locked = n.find("encrypted") != n.npos || n.find("p12") != n.npos;
        EXPECT_TRUE(locked || changed == static_cast<int>(parts.size())) << name << ": " << changed << " changed";
        // Those that need a passphrase, or that the client reads as BER, are
        // said to be so or left undescribed; the rest show their public half.
        if (n.find("ber") != n.npos)
            continue;
        if (locked)
            EXPECT_NE(out.find("\"encrypted\":true"), std::string::npos) << name;
        else
            EXPECT_NE(out.find(hex(public_half)), std::string::npos) << name << ": its public half " << hex(public_half);
    }
    EXPECT_EQ(keys, 21);
}
