// Real certificates and keys, and files that are neither, in every slot:
// with UPLOAD_CONTENT_CHECK each slot keeps only what the 802.1X client can
// read as its kind; without it every file is stored, as always.
#include <gtest/gtest.h>

#include "harness.h"

static const std::string B = "----WebKitFormBoundaryKeyFiles0Q3x";
static const std::string OLD = "previous key\n";
static const int WRONG_KIND = -7006;

static bool content_check_built()
{
    const char *v = getenv("UPLOAD_CONTENT_CHECK");
    return v && std::string(v) == "1";
}

class ContentCheck : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!getenv("UPLOAD_KEY_FILES"))
            GTEST_SKIP() << "no key files (UPLOAD_KEY_FILES)";
    }
    static std::string file(const char *name)
    {
        std::optional<std::string> content = read_file(std::string(getenv("UPLOAD_KEY_FILES")) + "/" + name);
        EXPECT_TRUE(content) << name;
        return content ? *content : "";
    }
    // Uploads `content` to the program in the given reads of the body and
    // checks the answer and the target against the expected code.
    static void expect(const char *program, const char *file_name, const std::string &content,
                       const std::vector<size_t> &cuts, int code, const std::string &row)
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
        EXPECT_EQ(run_upload_checked(run).out, response_for(want)) << file_name << " in " << program << row;
        EXPECT_EQ(read_file(target_path(target)), want == 0 ? content : OLD) << file_name << " in " << program << row;
    }
};

static const char *const CERTIFICATE_SLOTS[] = {"upload-client-cert", "upload-ca-cert", "upload-client-cert2",
                                                "upload-ca-cert2"};
static const char *const KEY_SLOTS[] = {"upload-priv", "upload-priv2"};

TEST_F(ContentCheck, EachFileInEachSlot)
{
    const int NO = WRONG_KIND;
    struct {
        const char *file;
        int certificate_slot, key_slot;
    } rows[] = {
        // certificates
        {"ca.pem", 0, NO},   // self-signed
        {"client.pem", 0, NO},   // signed by the CA
        {"ca.der", 0, 0},    // DER: one SEQUENCE, whatever it holds
        {"client.der", 0, 0},
        {"trusted.pem", 0, NO},
        {"bundle.pem", 0, NO},   // comment lines before and between
        {"crlf.pem", 0, NO},
        {"bag-cert.pem", 0, NO},   // "Bag Attributes" text before
        // keys, and keys with their certificate
        {"rsa-pkcs1.pem", NO, 0},
        {"rsa-pkcs8.pem", NO, 0},
        {"ec-sec1.pem", NO, 0},   // its EC PARAMETERS block first
        {"ec-pkcs8.pem", NO, 0},
        {"encrypted.pem", NO, 0},
        {"bag-key.pem", NO, 0},
        {"bag.pem", NO, 0},
        {"combined.pem", NO, 0},
        {"ec-sec1.der", 0, 0},    // DER length in the short form
        {"ec-pkcs8.der", 0, 0},   // in one byte of the long form
        {"rsa-pkcs1.der", 0, 0},
        {"rsa-pkcs8.der", 0, 0},
        {"bundle.p12", 0, 0},
        // neither
        {"public.pem", NO, NO},
        {"request.pem", NO, NO},
        {"picture.png", NO, NO},
        {"notes.txt", NO, NO},
        {"cut.der", NO, NO},   // one byte short of its SEQUENCE
        {"long.der", NO, NO},   // one byte past it
        {"indefinite.der", NO, NO},   // BER's indefinite length
        {"indented.pem", NO, NO},   // BEGIN not at the start of its line
        {"openssh.pem", NO, NO},   // a key block of another label beside a certificate
    };
    // Each row in a certificate slot and a key slot, the slots taking turns,
    // so that every program meets keys and certificates; without the check
    // one slot per row shows that every file is stored.
    size_t turn = 0;
    for (auto &r : rows) {
        const std::string content = file(r.file);
        expect(CERTIFICATE_SLOTS[turn % 4], r.file, content, {}, r.certificate_slot, "");
        if (content_check_built() || turn % 3 == 0)
            expect(KEY_SLOTS[turn % 2], r.file, content, {}, r.key_slot, "");
        ++turn;
    }
}

TEST_F(ContentCheck, HowTheBodyIsCutNeverDecides)
{
    if (!content_check_built())
        GTEST_SKIP() << "nothing is judged";
    // Two reads, cut at every byte of the first BEGIN line or of the DER
    // header, and reads of one byte each.
    struct {
        const char *file;
        const char *program;
        int code;
        size_t span;
    } rows[] = {
        {"bundle.pem", "upload-ca-cert", 0, 28},
        {"encrypted.pem", "upload-client-cert2", WRONG_KIND, 38},
        {"client.der", "upload-priv2", 0, 6},
        {"indented.pem", "upload-ca-cert", WRONG_KIND, 2},   // a read that starts inside a line
    };
    for (auto &r : rows) {
        const std::string content = file(r.file);
        const std::string body = file_body(B, content);
        const size_t at = body.find(content);
        const size_t begin = content.find("-----BEGIN");
        const size_t from = at + (begin == std::string::npos ? 0 : begin);
        for (size_t cut = from; cut <= from + r.span; ++cut)
            expect(r.program, r.file, content, {cut}, r.code, " cut at " + std::to_string(cut - at));
    }
    const std::string content = file("cut.der");
    const std::string body = file_body(B, content);
    std::vector<size_t> bytes;
    for (size_t cut = body.find(content); cut < body.find(content) + content.size(); ++cut)
        bytes.push_back(cut);
    expect("upload-ca-cert2", "cut.der", content, bytes, WRONG_KIND, " in reads of one byte");
}
