// SPDX-License-Identifier: MIT
// The programs as the web server runs them: environment in, body through a
// pipe, response bytes, target file and mode out.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <sstream>

#include "harness.h"

static const std::string B = "----WebKitFormBoundary7MA4YWxkTrZu0gW";
static const std::string OLD = "old target\n";

class Upload : public ::testing::Test {
protected:
    void SetUp() override { clear_target_dir(); }
};

static upload_outcome upload(const upload_run &run)
{
    return run_upload_checked(run);
}

struct profile_case {
    const char *program;
    const char *file;
    unsigned long limit;
};

static const profile_case PROFILES[] = {
    {"upload-client-cert", "8021x-client-cert", 8388608},
    {"upload-client-cert2", "8021x-client-cert2", 8388608},
    {"upload-ca-cert", "8021x-ca-cert", 67108864},
    {"upload-ca-cert2", "8021x-ca-cert2", 67108864},
    {"upload-priv", "8021x-priv", 8388608},
    {"upload-priv2", "8021x-priv2", 8388608},
};

TEST_F(Upload, EachProgramWritesItsOwnTargetAndKeepsItsLimit)
{
    for (const profile_case &p : PROFILES) {
        clear_target_dir();
        std::string content = std::string("certificate for ") + p.program;
        upload_run run = request(B, file_body(B, content), p.program);
        // the limit itself is accepted: the declared length is judged, not the body
        run.env[1].second = std::to_string(p.limit);
        upload_outcome o = upload(run);
        EXPECT_EQ(o.out, response_for(0)) << p.program;
        EXPECT_EQ(read_file(target_path(p.file)), content) << p.program;
        EXPECT_EQ(file_mode(target_path(p.file)), 0600u) << p.program;

        // one byte more is refused before the body is read
        write_file(target_path(p.file), OLD);
        run.env[1].second = std::to_string(p.limit + 1);
        run.hold_stdin_open = true;
        o = upload(run);
        EXPECT_EQ(o.out, response_for(-7001)) << p.program;
        EXPECT_EQ(o.unread, run.pieces[0].size()) << p.program << " read the body";
        EXPECT_EQ(read_file(target_path(p.file)), OLD);
    }
}

// The README's two set-ups for a CGI user other than root, for every slot:
// a target directory of its own, or the six files its own in root's
// directory. Root's directory without the files is what they mend.
TEST_F(Upload, ACgiUserOtherThanRootUploadsEverySlotWithTheReadmesSetUp)
{
    if (geteuid() != 0 || !nobody_can_reach(target_dir()))
        GTEST_SKIP() << "the target directory is out of reach for an unprivileged user here";
    struct stat dir;
    ASSERT_EQ(stat(target_dir().c_str(), &dir), 0);
    struct {
        const char *set_up;
        bool own_directory, own_files;
        int code;
    } cases[] = {
        {"a directory of its own", true, false, 0},
        {"the six files its own", false, true, 0},
        {"neither", false, false, -7004},
    };
    for (auto &c : cases) {
        clear_target_dir();
        chmod(target_dir().c_str(), 0755);
        ASSERT_EQ(chown(target_dir().c_str(), c.own_directory ? 65534 : 0, c.own_directory ? 65534 : 0), 0);
        for (const profile_case &p : PROFILES) {
            if (c.own_files) {
                write_file(target_path(p.file), OLD, 0600);
                ASSERT_EQ(chown(target_path(p.file).c_str(), 65534, 65534), 0);
            }
            upload_run run = request(B, file_body(B, p.file), p.program);
            run.run_as_nobody = true;
            EXPECT_EQ(upload(run).out, response_for(c.code)) << c.set_up << ", " << p.program;
            EXPECT_EQ(read_file(target_path(p.file)), c.code ? std::nullopt : std::optional<std::string>(p.file))
                << c.set_up << ", " << p.program;
        }
    }
    clear_target_dir();
    chown(target_dir().c_str(), dir.st_uid, dir.st_gid);
    chmod(target_dir().c_str(), dir.st_mode & 07777);
}

TEST_F(Upload, ContentLengthIsReadAsTheDeviceReadsIt)
{
    const std::string body = file_body(B, "x");
    struct {
        const char *length;
        int code;
    } cases[] = {
        {"abc", 0},                  // no digits: 0
        {"", 0},                     // empty: 0
        {"  \t 8388608", 0},         // leading white space
        {"+8388608", 0},             // a plus sign
        {"0008388608", 0},           // leading zeros
        {"-4294967295", 0},          // negated modulo 2^32: 1
        {"-0", 0},
        {"8388608xyz", 0},           // stops at the first non-digit
        {"-1", -7001},               // 4294967295
        {"8388609", -7001},
        {"4294967296", -7001},       // saturates
        {"99999999999999999999999999999999999999999999999999", -7001},
        {"-4294967296", -7001},      // beyond 32 bits, whatever the sign
        {" -8388609", -7001},
    };
    for (auto &c : cases) {
        clear_target_dir();
        upload_run run = request(B, body);
        run.env[1].second = c.length;
        EXPECT_EQ(upload(run).out, response_for(c.code)) << "CONTENT_LENGTH=\"" << c.length << "\"";
    }
    // no CONTENT_LENGTH at all: no limit
    upload_run run = request(B, body);
    run.env.pop_back();
    EXPECT_EQ(upload(run).out, response_for(0));
}

TEST_F(Upload, ContentTypeMustBeMultipartFormDataWithABoundary)
{
    const std::string body = file_body(B, "x");
    struct {
        std::optional<std::string> type;
        std::string answer;
    } cases[] = {
        {std::nullopt, response_for(-7002)},
        {"Multipart/form-data; boundary=" + B, response_for(-7002)},
        {"multipart/form-data ;boundary=" + B, response_for(-7002)},
        {"multipart/form-data", response_for(-7002)},
        {"multipart/form-data; boundary", response_for(-7002)},
        {"application/x-www-form-urlencoded", response_for(-7002)},
        {"multipart/form-data;boundary=" + B, response_for(0)},
        {"multipart/form-data; xyz=" + B, response_for(0)},   // the parameter's name is not looked at
        // the boundary runs to the end of the value: this body does not match
        {"multipart/form-data; charset=utf-8; boundary=" + B, ""},
        {"multipart/form-data; boundary=" + B + "; charset=utf-8", ""},
        {"multipart/form-data; boundary=\"" + B + "\"", ""},
    };
    for (auto &c : cases) {
        clear_target_dir();
        upload_run run = request(B, body);
        if (c.type)
            run.env[0].second = *c.type;
        else
            run.env.erase(run.env.begin());
        run.hold_stdin_open = !c.answer.empty() && c.answer != response_for(0);
        upload_outcome o = upload(run);
        EXPECT_EQ(o.out, c.answer) << (c.type ? *c.type : "(absent)");
        if (run.hold_stdin_open) {
            EXPECT_EQ(o.unread, body.size()) << "a refused request read its body";
        }
    }
}

TEST_F(Upload, LengthIsJudgedBeforeType)
{
    upload_run run;
    run.env = {{"CONTENT_TYPE", "text/plain"}, {"CONTENT_LENGTH", "99999999"}};
    EXPECT_EQ(upload(run).out, response_for(-7001));
}

TEST_F(Upload, BoundaryIsTakenVerbatim)
{
    // quotes stay part of the delimiter
    const std::string quoted = "\"abc\"";
    upload_run run = request(quoted, file_body(quoted, "quoted"));
    EXPECT_EQ(upload(run).out, response_for(0));
    EXPECT_EQ(read_file(target_path()), "quoted");

    // an empty boundary makes the delimiter "--"
    run = request("", file_body("", "empty boundary"));
    run.env[0].second = "multipart/form-data;boundary=";
    EXPECT_EQ(upload(run).out, response_for(0));
    EXPECT_EQ(read_file(target_path()), "empty boundary");
}

TEST_F(Upload, ContentComesThroughByteForByte)
{
    const std::string near = "\r\n--" + B.substr(0, B.size() - 1) + "x";
    const std::string contents[] = {
        "1",
        std::string(1, '\0'),
        "line\r\nline\r\n",
        "\r\n\r\n\r\r\n\n",
        near + near + "\r\n-",
        std::string(100000, '\r'),
    };
    for (const std::string &content : contents) {
        clear_target_dir();
        write_file(target_path(), OLD, 0644);
        upload_outcome o = upload(request(B, file_body(B, content)));
        EXPECT_EQ(o.out, response_for(0));
        EXPECT_EQ(read_file(target_path()), content);
        EXPECT_EQ(file_mode(target_path()), 0600u) << "a target with wider permissions ends 0600";
    }
}

TEST_F(Upload, ABinaryFileLargerThanTheBuffersSurvivesAnyReadSchedule)
{
    std::string content;
    unsigned x = 12345;
    for (int i = 0; i < 300000; ++i) {
        x = x * 1103515245 + 12345;
        content += static_cast<char>(x >> 24);
    }
    const std::string body = file_body(B, content);
    for (size_t piece : {size_t(1) << 12, size_t(997), size_t(4095)}) {
        clear_target_dir();
        upload_run run = request(B, body);
        run.pieces.clear();
        for (size_t at = 0; at < body.size(); at += piece)
            run.pieces.push_back(body.substr(at, piece));
        upload_outcome o = upload(run);
        EXPECT_EQ(o.out, response_for(0));
        EXPECT_TRUE(read_file(target_path()) == content) << "piece size " << piece;
    }
}

TEST_F(Upload, TheFilePartEndsTheRequest)
{
    // later parts are never looked at, not even when they are garbage
    std::string body = form_part(B, "filedata", "first") + "--" + B + "\r\nbad header\r\n\r\n";
    EXPECT_EQ(upload(request(B, body)).out, response_for(0));
    EXPECT_EQ(read_file(target_path()), "first");

    // the delimiter after the content is enough, without the closing hyphens
    clear_target_dir();
    body = form_part(B, "filedata", "no closing") + "--" + B;
    EXPECT_EQ(upload(request(B, body)).out, response_for(0));
    EXPECT_EQ(read_file(target_path()), "no closing");
}

TEST_F(Upload, EmptyFileIsRefusedAndTheTargetKept)
{
    write_file(target_path(), OLD, 0644);
    EXPECT_EQ(upload(request(B, file_body(B, ""))).out, response_for(-7003));
    EXPECT_EQ(read_file(target_path()), OLD);
    EXPECT_EQ(file_mode(target_path()), 0644u);
}

TEST_F(Upload, BodiesWithoutACompleteFilePartGetNoAnswer)
{
    const std::string complete = file_body(B, "content");
    const std::string bodies[] = {
        "",
        "preamble\r\n" + complete,
        form_part(B, "sessionid", "abc") + "--" + B + "--\r\n",
        form_part(B, "other", "abc") + "--" + B + "--\r\n",
        complete.substr(0, complete.find("content") + 4),   // breaks off inside the file
        complete.substr(0, complete.size() - B.size() - 5),   // breaks off inside the delimiter
        form_part(B, "filedata", "x", "Bad_Header: y\r\n"),
    };
    for (const std::string &body : bodies) {
        clear_target_dir();
        write_file(target_path(), OLD);
        upload_outcome o = upload(request(B, body));
        EXPECT_EQ(o.out, "") << body;
        EXPECT_EQ(read_file(target_path()), OLD);
    }
}

TEST_F(Upload, OnlyTheExactFieldNameIsTheFile)
{
    // A prefix of the name, the empty name, another case or a longer name
    // must never replace the target.
    for (const char *name : {"file", "f", "", "FileData", "filedata2", "filedat", "sessionid"}) {
        clear_target_dir();
        write_file(target_path(), OLD);
        std::string body = form_part(B, name, "stray field, long enough") + "--" + B + "--\r\n";
        EXPECT_EQ(upload(request(B, body)).out, "") << "name=\"" << name << "\"";
        EXPECT_EQ(read_file(target_path()), OLD) << "name=\"" << name << "\"";
    }
    // a stray field before the real one does not take its place
    clear_target_dir();
    std::string body = form_part(B, "file", "stray") + form_part(B, "", "empty name, long enough") +
                       form_part(B, "filedata", "real") + "--" + B + "--\r\n";
    EXPECT_EQ(upload(request(B, body)).out, response_for(0));
    EXPECT_EQ(read_file(target_path()), "real");
}

TEST_F(Upload, DispositionIsMatchedLooselyButTheFieldNameExactly)
{
    struct {
        const char *header;
        bool is_file;
    } cases[] = {
        {"content-disposition: FORM-DATA;name=\"filedata\"", true},
        {"CONTENT-DISPOSITION: form-data;   ; ;name=\"filedata\"", true},
        {"Content-Disposition: form-dataname=\"filedata\"", true},
        {"Content-Disposition: form-data; NAME=\"filedata\"; filename=\"a.pem\"", true},
        {"Content-Disposition: form-data; filename=\"a.pem\"; name=\"filedata\"", false},
        {"Content-Disposition: form-data;\tname=\"filedata\"", false},
        {"Content-Disposition: attachment; name=\"filedata\"", false},
        {"Content-Dispositio: form-data; name=\"filedata\"", true},   // a prefix of the header name counts
        {"Content-Dispositionx: form-data; name=\"filedata\"", false},
        {"X-Content-Disposition: form-data; name=\"filedata\"", false},
    };
    for (auto &c : cases) {
        clear_target_dir();
        std::string body = "--" + B + "\r\n" + c.header + "\r\n\r\ndata\r\n--" + B + "--\r\n";
        EXPECT_EQ(upload(request(B, body)).out, c.is_file ? response_for(0) : "") << c.header;
    }
    // a later disposition header overrides an earlier one; other headers do not
    clear_target_dir();
    std::string body = "--" + B +
                       "\r\nContent-Disposition: form-data; name=\"filedata\"\r\n"
                       "Content-Disposition: form-data; name=\"sessionid\"\r\n\r\ndata\r\n--" +
                       B + "--\r\n";
    EXPECT_EQ(upload(request(B, body)).out, "");
    body = "--" + B +
           "\r\nContent-Disposition: form-data; name=\"filedata\"\r\n"
           "Content-Type: form-data; name=\"sessionid\"\r\n\r\ndata\r\n--" +
           B + "--\r\n";
    EXPECT_EQ(upload(request(B, body)).out, response_for(0));
}

TEST_F(Upload, ReadBoundariesNeverDecide)
{
    // the same body cut into two reads at every byte of the file part's headers
    const std::string body = file_body(B, "split headers");
    const size_t from = body.find("Content-Disposition", body.find("filedata") - 60);
    const size_t to = body.find("\r\n\r\n", from) + 5;
    for (size_t cut = from; cut <= to; ++cut) {
        if (!sweep_takes(cut))
            continue;
        clear_target_dir();
        upload_run run = request(B, body);
        run.pieces = {body.substr(0, cut), body.substr(cut)};
        upload_outcome o = upload(run);
        ASSERT_EQ(o.out, response_for(0)) << "cut at " << cut << ": " << body.substr(cut, 20);
        ASSERT_EQ(read_file(target_path()), "split headers");
    }
    // and in reads of one to a few bytes each
    for (size_t piece : {1, 3, 7}) {
        clear_target_dir();
        upload_run run = request(B, body);
        run.pieces.clear();
        for (size_t at = 0; at < body.size(); at += piece)
            run.pieces.push_back(body.substr(at, piece));
        EXPECT_EQ(upload(run).out, response_for(0)) << "pieces of " << piece;
        EXPECT_EQ(read_file(target_path()), "split headers");
    }
}

TEST_F(Upload, NothingIsReadPastContentLength)
{
    // the host keeps the pipe open after the body: the answer must still come
    const std::string body = file_body(B, "held open");
    upload_run run = request(B, body);
    run.hold_stdin_open = true;
    upload_outcome o = upload(run);
    EXPECT_EQ(o.out, response_for(0));
    EXPECT_EQ(read_file(target_path()), "held open");

    // bytes beyond the declared length stay unread, also when no answer comes
    clear_target_dir();
    run.pieces = {body + "trailing bytes of another request"};
    o = upload(run);
    EXPECT_EQ(o.out, response_for(0));
    EXPECT_EQ(o.unread, 33u);

    const std::string broken = form_part(B, "sessionid", "x");
    run = request(B, broken);
    run.hold_stdin_open = true;
    run.pieces = {broken + "more"};
    o = upload(run);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.unread, 4u);
}

TEST_F(Upload, SessionPiecesAreNotLeaked)
{
    // a session field in many reads; the sanitizer build reports any leak
    std::string body = form_part(B, "sessionid", std::string(5000, 's') + "\r" + std::string(5000, 't')) +
                       form_part(B, "filedata", "with session") + "--" + B + "--";
    upload_run run = request(B, body);
    run.pieces.clear();
    for (size_t at = 0; at < body.size(); at += 1000)
        run.pieces.push_back(body.substr(at, 1000));
    EXPECT_EQ(upload(run).out, response_for(0));
}

TEST_F(Upload, ConcurrentUploadsToOneTargetNeverMix)
{
    // Enough of them that, on a disk where each holds the lock through its
    // fsync, some lose the file beside the target to others many times.
    const int N = 32;
    std::vector<std::string> contents;
    for (int i = 0; i < N; ++i)
        contents.push_back(std::string(40000 + i * 4096, static_cast<char>('A' + i)));
    std::vector<pid_t> children;
    for (int i = 0; i < N; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            upload_outcome o = run_upload(request(B, file_body(B, contents[i])));
            _exit(o.exit_status == 0 && o.out == response_for(0) ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "an upload failed";
    }
    std::optional<std::string> target = read_file(target_path());
    ASSERT_TRUE(target);
    bool one_of_them = false;
    for (const std::string &c : contents)
        one_of_them = one_of_them || *target == c;
    EXPECT_TRUE(one_of_them) << "the target mixes uploads (" << target->size() << " bytes)";
    EXPECT_EQ(file_mode(target_path()), 0600u);
}

// What the build lets through: the check may be built out, and origins named
// at build time pass (the test command names one in one of its builds).
static bool origin_check_built()
{
    const char *v = getenv("UPLOAD_CROSS_ORIGIN_CHECK");
    return !v || std::string(v) != "0";
}

static bool trusted_origin(const std::string &origin)
{
    std::istringstream list(getenv("UPLOAD_TRUSTED_ORIGINS") ? getenv("UPLOAD_TRUSTED_ORIGINS") : "");
    for (std::string word; list >> word;)
        if (word == origin)
            return true;
    return false;
}

TEST_F(Upload, PostsFromAnotherSiteAreRefusedBeforeTheBody)
{
    const char *const PORTAL = "https://portal.example.com";
    struct {
        const char *site, *origin, *host;
        bool goes_on;
        const char *referer = nullptr;   // what a server that drops both headers passes
    } cases[] = {
        {nullptr, nullptr, nullptr, true},   // curl, scripts: no browser headers
        {"same-origin", nullptr, nullptr, true},
        {"none", nullptr, nullptr, true},    // typed into the address bar
        {"same-origin", "http://evil.example", "192.168.1.1", true},   // Sec-Fetch-Site decides
        {"cross-site", nullptr, nullptr, false},
        {"same-site", nullptr, nullptr, false},   // another port or subdomain
        {"cross-site", "http://192.168.1.1", "192.168.1.1", false},
        {"Same-Origin", nullptr, nullptr, false},
        {"", "http://evil.example", "192.168.1.1", false},   // empty is absent: Origin decides
        {nullptr, "http://192.168.1.1", "192.168.1.1", true},
        {nullptr, "https://Device.LAN:8443", "device.lan:8443", true},
        {nullptr, "", "192.168.1.1", true},
        {nullptr, "http://192.168.1.1:8080", "192.168.1.1", false},
        {nullptr, "http://192.168.1.1", "192.168.1.1:80", false},
        {nullptr, "http://evil.example", "192.168.1.1", false},
        {nullptr, "http://192.168.1.1.evil.example", "192.168.1.1", false},
        {nullptr, "null", "192.168.1.1", false},
        {nullptr, "192.168.1.1", "192.168.1.1", false},
        {nullptr, "http://192.168.1.1", nullptr, false},
        {"cross-site", PORTAL, "192.168.1.1", trusted_origin(PORTAL)},
        {nullptr, PORTAL, "192.168.1.1", trusted_origin(PORTAL)},
        {"cross-site", "https://portal.example.com.evil.example", "192.168.1.1", false},
        {nullptr, nullptr, "192.168.1.1", true, "http://192.168.1.1/index.html"},
        {nullptr, nullptr, "device.lan:8443", true, "https://Device.LAN:8443/cgi-bin/x?y=/z"},
        {nullptr, nullptr, "192.168.1.1", true, "http://192.168.1.1"},
        {nullptr, nullptr, "192.168.1.1", true, ""},
        {nullptr, nullptr, "192.168.1.1", false, "http://evil.example/http://192.168.1.1/"},
        {nullptr, nullptr, "192.168.1.1", false, "http://192.168.1.1.evil.example/"},
        {nullptr, nullptr, "192.168.1.1", false, "http://192.168.1.1:8080/"},
        {nullptr, nullptr, "192.168.1.1", false, "http://192.168.1.1@evil.example/"},
        {nullptr, nullptr, nullptr, false, "http://192.168.1.1/"},
        {nullptr, "http://192.168.1.1", "192.168.1.1", true, "http://evil.example/"},   // Origin decides
        {"same-origin", nullptr, "192.168.1.1", true, "http://evil.example/"},
        {nullptr, nullptr, "192.168.1.1", trusted_origin(PORTAL), "https://portal.example.com/admin"},
    };
    const std::string body = file_body(B, "key from the device's own page");
    for (auto &c : cases) {
        clear_target_dir();
        write_file(target_path(), OLD_TARGET);
        upload_run run = request(B, body);
        for (auto [name, value] : {std::pair{"HTTP_SEC_FETCH_SITE", c.site}, {"HTTP_ORIGIN", c.origin},
                                   {"HTTP_HOST", c.host}, {"HTTP_REFERER", c.referer}})
            if (value)
                run.env.push_back({name, value});
        run.hold_stdin_open = true;
        upload_outcome o = upload(run);
        const std::string row = std::string(c.site ? c.site : "(none)") + " | " + (c.origin ? c.origin : "(none)") +
                                " | " + (c.host ? c.host : "(none)") + " | " + (c.referer ? c.referer : "(none)");
        if (c.goes_on || !origin_check_built()) {
            EXPECT_EQ(o.out, response_for(0)) << row;
            EXPECT_EQ(read_file(target_path()), "key from the device's own page") << row;
        } else {
            EXPECT_EQ(o.out, response_for(-7005)) << row;
            EXPECT_EQ(o.unread, body.size()) << row << ": a refused request read its body";
            expect_target_untouched();
        }
    }
    if (!origin_check_built())
        return;
    // judged before anything else, CONTENT_LENGTH included
    upload_run run;
    run.env = {{"CONTENT_LENGTH", "99999999"}, {"HTTP_SEC_FETCH_SITE", "cross-site"}};
    EXPECT_EQ(upload(run).out, response_for(-7005));
}

// The system log as busybox syslogd or journald would receive it.
class SystemLog : public Upload {
protected:
    int log = -1;
    void SetUp() override
    {
        Upload::SetUp();
        log = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un at = {};
        at.sun_family = AF_UNIX;
        strcpy(at.sun_path, "/dev/log");
        unlink(at.sun_path);
        ASSERT_EQ(bind(log, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
    }
    void TearDown() override
    {
        close(log);
        unlink("/dev/log");
    }
    std::vector<std::string> received()
    {
        std::vector<std::string> lines;
        char buffer[4096];
        ssize_t n;
        while ((n = recv(log, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0)
            lines.emplace_back(buffer, static_cast<size_t>(n));
        return lines;
    }
};

// The clock the programs read: time() may answer from a coarser one that
// lags it by a tick, and so name the second before the program's stamp.
static time_t clock_seconds()
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec;
}

static std::string utc_stamp(time_t t)
{
    char text[32];
    tm parts;
    strftime(text, sizeof text, "%b %e %H:%M:%S", gmtime_r(&t, &parts));
    return text;
}

// The first "[digits]: " as "[PID]: ": the program's pid differs each run.
// By hand: <regex> took a third of this file's compile.
static std::string mask_pid(std::string line)
{
    for (size_t open = line.find('['); open != std::string::npos; open = line.find('[', open + 1)) {
        size_t end = open + 1;
        while (end < line.size() && line[end] >= '0' && line[end] <= '9')
            ++end;
        if (end > open + 1 && line.compare(end, 3, "]: ") == 0)
            return line.replace(open + 1, end - open - 1, "PID");
    }
    return line;
}

TEST_F(SystemLog, EachAnswerLeavesOneLine)
{
    const std::string content = "0123456789";
    const std::string T = target_path();
    struct {
        std::vector<std::pair<std::string, std::string>> env;
        std::string body;
        int code;   // 1: no answer, no line
        std::string line;   // after the stamp, with the pid as PID
    } cases[] = {
        {{{"REMOTE_USER", "admin"}, {"REMOTE_ADDR", "192.0.2.7"}}, file_body(B, content), 0,
         "<85>STAMP upload-priv[PID]: target=" + T + " errcode=0 bytes=10 user=admin addr=192.0.2.7\n"},
        {{{"CONTENT_LENGTH", "99999999"}}, "", -7001,
         "<84>STAMP upload-priv[PID]: target=" + T + " errcode=-7001 bytes=0 user=- addr=-\n"},
        {{{"HTTP_SEC_FETCH_SITE", "cross-site"}, {"REMOTE_USER", "admin"}}, file_body(B, content), -7005,
         "<84>STAMP upload-priv[PID]: target=" + T + " errcode=-7005 bytes=0 user=admin addr=-\n"},
        // a value can neither start a line of its own nor pass for a field
        {{{"REMOTE_USER", "eve\n<85>Jan  1 00:00:00 upload-priv[1]: errcode=0"}, {"REMOTE_ADDR", "a b\r\x7f\t"}},
         file_body(B, content), 0,
         "<85>STAMP upload-priv[PID]: target=" + T +
             " errcode=0 bytes=10 user=eve?<85>Jan??1?00:00:00?upload-priv[1]:?errcode=0 addr=a?b???\n"},
        {{{"REMOTE_USER", std::string(1000, 'u')}}, file_body(B, content), 0,
         "<85>STAMP upload-priv[PID]: target=" + T + " errcode=0 bytes=10 user=" + std::string(64, 'u') +
             " addr=-\n"},
        {{}, form_part(B, "sessionid", "no file part"), 1, ""},
    };
    for (auto &c : cases) {
        if (c.code == -7005 && !origin_check_built())
            continue;
        clear_target_dir();
        upload_run run = request(B, c.body);
        for (auto &e : c.env)
            if (e.first == "CONTENT_LENGTH")
                run.env[1].second = e.second;
            else
                run.env.push_back(e);
        const time_t before = clock_seconds();
        upload_outcome o = upload(run);
        const time_t after = clock_seconds();
        if (c.code == 1) {
            EXPECT_EQ(o.out, "");
            EXPECT_EQ(received().size(), 0u) << "a line without an answer";
            continue;
        }
        EXPECT_EQ(o.out, response_for(c.code));
        std::vector<std::string> lines = received();
        ASSERT_EQ(lines.size(), 1u) << c.line;
        std::string line = mask_pid(lines[0]);
        for (time_t t = before; t <= after; ++t)
            if (line.compare(4, 15, utc_stamp(t)) == 0)
                line.replace(4, 15, "STAMP");
        EXPECT_EQ(line, c.line);
    }
}

TEST_F(SystemLog, TheStampIsTheDateInUtc)
{
    if (under_emulator())
        GTEST_SKIP() << "the clock is set through LD_PRELOAD, which a static program ignores";
    struct {
        const char *time;
        const char *stamp;
    } cases[] = {
        {"0", "Jan  1 00:00:00"},
        {"951782400", "Feb 29 00:00:00"},     // 2000: a leap year though a century
        {"1704067199", "Dec 31 23:59:59"},
        {"1709251199", "Feb 29 23:59:59"},
        {"1709251200", "Mar  1 00:00:00"},
        {"4107542399", "Feb 28 23:59:59"},    // 2100 is no leap year
        {"4107542400", "Mar  1 00:00:00"},
        {"4294967295", "Feb  7 06:28:15"},    // the last second of unsigned 32 bits
        {"fail", "Jan  1 00:00:00"},          // a clock refused: no time left unset is read
    };
    for (auto &c : cases) {
        clear_target_dir();
        upload_run run = request(B, file_body(B, "x"));
        run.extra_env_raw = {std::string("LD_PRELOAD=") + UPLOAD_FAULT_SHIM, "UPLOAD_FAULT=clock",
                             std::string("UPLOAD_FAULT_TIME=") + c.time, "ASAN_OPTIONS=verify_asan_link_order=0"};
        EXPECT_EQ(upload(run).out, response_for(0));
        std::vector<std::string> lines = received();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].substr(4, 16), std::string(c.stamp) + " ") << c.time;
    }
}
