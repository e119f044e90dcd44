// SPDX-License-Identifier: MIT
// Real certificates and keys, and files that are neither, in every slot:
// with UPLOAD_CONTENT_CHECK each slot keeps only what the 802.1X client can
// read as its kind; without it every file is stored, as always.
#include <gtest/gtest.h>

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
    struct {
        const char *file;
        int certificate_slot, key_slot;
        size_t cut_span;   // with the check, also cut at every byte of this span from the
                           // first BEGIN line (the DER header) on, in the certificate slot
    } rows[] = {
        // certificates
        {"ca.pem", 0, NO, 0},   // self-signed
        {"client.pem", 0, NO, 0},   // signed by the CA
        {"ca.der", 0, 0, 0},    // DER: one SEQUENCE, whatever it holds
        {"client.der", 0, 0, 6},
        {"trusted.pem", 0, NO, 0},
        {"bundle.pem", 0, NO, 28},   // comment lines before and between
        {"crlf.pem", 0, NO, 0},
        {"bag-cert.pem", 0, NO, 0},   // "Bag Attributes" text before
        // keys, and keys with their certificate
        {"rsa-pkcs1.pem", NO, 0, 0},
        {"rsa-pkcs8.pem", NO, 0, 0},
        {"ec-sec1.pem", NO, 0, 0},   // its EC PARAMETERS block first
        {"ec-pkcs8.pem", NO, 0, 0},
        {"encrypted.pem", NO, 0, 38},
        {"bag-key.pem", NO, 0, 0},
        {"bag.pem", NO, 0, 0},
        {"combined.pem", NO, 0, 0},
        {"ec-sec1.der", 0, 0, 0},    // DER length in the short form
        {"ec-pkcs8.der", 0, 0, 0},   // in one byte of the long form
        {"rsa-pkcs1.der", 0, 0, 0},
        {"rsa-pkcs8.der", 0, 0, 0},
        {"bundle.p12", 0, 0, 0},
        // neither
        {"public.pem", NO, NO, 0},
        {"request.pem", NO, NO, 0},
        {"picture.png", NO, NO, 0},
        {"notes.txt", NO, NO, 0},
        {"cut.der", NO, NO, BYTES},   // one byte short of its SEQUENCE
        {"long.der", NO, NO, 0},   // one byte past it
        {"indefinite.der", NO, NO, 0},   // BER's indefinite length
        {"indented.pem", NO, NO, 2},   // BEGIN not at the start of its line
        {"openssh.pem", NO, NO, 0},   // a key block of another label beside a certificate
    };
    // Each row in a certificate slot and a key slot, the slots taking turns,
    // so that every program meets keys and certificates; without the check
    // fewer rows show that every file is stored.
    size_t turn = 0;
    for (auto &r : rows) {
        std::optional<std::string> content = read_file(std::string(files) + "/" + r.file);
        ASSERT_TRUE(content) << r.file;
        const char *certificate_program = CERTIFICATE_SLOTS[turn % 4];
        expect(certificate_program, r.file, *content, {}, r.certificate_slot, "");
        if (content_check_built() || turn % 3 == 0)
            expect(KEY_SLOTS[turn % 2], r.file, *content, {}, r.key_slot, "");
        ++turn;
        if (!content_check_built() || r.cut_span == 0)
            continue;
        // How the web server cuts the body never decides.
        const size_t at = file_body(B, *content).find(*content);
        const size_t begin = content->find("-----BEGIN");
        const size_t from = at + (begin == std::string::npos ? 0 : begin);
        if (r.cut_span == BYTES) {
            std::vector<size_t> bytes;
            for (size_t cut = at; cut < at + content->size(); ++cut)
                bytes.push_back(cut);
            expect(certificate_program, r.file, *content, bytes, r.certificate_slot, " in reads of one byte");
            continue;
        }
        for (size_t cut = from; cut <= from + r.cut_span; ++cut)
            expect(certificate_program, r.file, *content, {cut}, r.certificate_slot,
                   " cut at " + std::to_string(cut - at));
    }
}
