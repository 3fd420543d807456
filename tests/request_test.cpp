// The request decisions on the buffer alone, as the child sees them after its read.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "http/request.h"

namespace {

struct judged {
    const char* refusal;
    const char* filetype;
    std::string text;  // the buffer's text after judging: what the refusal entry logs
    std::string name;
};

judged judge(const std::string& bytes) {
    static request_buffer buffer;
    memset(buffer, 0, sizeof buffer);
    const size_t got = std::min(bytes.size(), static_cast<size_t>(REQUEST_BUFFER_SIZE));
    memcpy(buffer, bytes.data(), got);
    prepare_request(buffer, static_cast<long>(got));
    const verdict answer = judge_request(buffer);
    return {answer.refusal, answer.filetype, buffer, file_name(buffer)};
}

TEST(RequestText, LineEndsShowAsStarsAndAFullBufferLeavesNoText) {
    request_buffer buffer{};
    const char request[] = "GET /a.html HTTP/1.1\r\nHost: x\r\n\r\n";
    memcpy(buffer, request, sizeof request - 1);
    prepare_request(buffer, sizeof request - 1);
    EXPECT_STREQ(buffer, "GET /a.html HTTP/1.1**Host: x****");

    request_buffer full;
    memset(full, 'A', sizeof full);
    prepare_request(full, REQUEST_BUFFER_SIZE);
    EXPECT_STREQ(full, "");
    EXPECT_STREQ(judge(std::string(9000, 'G')).refusal, REFUSED_NOT_GET);

    // One byte less than a full read is a request like any other.
    const std::string long_get = "GET /" + std::string(REQUEST_BUFFER_SIZE - 11, 'a') + ".html";
    ASSERT_EQ(long_get.size(), static_cast<size_t>(REQUEST_BUFFER_SIZE - 1));
    EXPECT_EQ(judge(long_get).refusal, nullptr);
}

TEST(RequestRules, ServedRequestsGiveTheNameAndType) {
    const struct {
        const char* request;
        const char* name;
        const char* type;
    } cases[] = {
        {"GET / HTTP/1.1\r\n\r\n", "index.html", "text/html"},
        {"get / HTTP/1.0\r\n\r\n", "index.html", "text/html"},
        {"GET /index.html", "index.html", "text/html"},
        {"GET /sub/pic.jpeg HTTP/1.1\r\n", "sub/pic.jpeg", "image/jpeg"},
        {"GET /a.gif?x=.gif HTTP/1.1", "a.gif?x=.gif", "image/gif"},
        {"GET /%2e%2e%2fx.png HTTP/1.1", "%2e%2e%2fx.png", "image/png"},
        {"GET xhtml HTTP/1.1", "html", "text/html"},             // the fifth byte is not examined
        {"GET /a.html\tHTTP/1.1", "a.html\tHTTP/1.1", nullptr},  // a tab does not cut
    };
    for (const auto& c : cases) {
        const judged result = judge(c.request);
        if (c.type == nullptr) {
            EXPECT_STREQ(result.refusal, REFUSED_EXTENSION) << c.request;
            continue;
        }
        EXPECT_EQ(result.refusal, nullptr) << c.request;
        EXPECT_EQ(result.name, c.name) << c.request;
        EXPECT_STREQ(result.filetype, c.type) << c.request;
    }
}

TEST(RequestRules, RefusalsComeInOrderWithTheTextTheyLog) {
    const struct {
        const char* request;
        const char* refusal;
        const char* logged;
    } cases[] = {
        {"POST /a.html HTTP/1.1\r\n", REFUSED_NOT_GET, "POST /a.html HTTP/1.1**"},
        {"Get /a.html HTTP/1.1", REFUSED_NOT_GET, "Get /a.html HTTP/1.1"},
        {"GET\t/a.html HTTP/1.1", REFUSED_NOT_GET, "GET\t/a.html HTTP/1.1"},
        {"GET", REFUSED_NOT_GET, "GET"},
        {"GET /../x.html HTTP/1.1", REFUSED_PARENT, "GET /../x.html"},
        {"GET /a..b.html HTTP/1.1", REFUSED_PARENT, "GET /a..b.html"},
        {"GET /..", REFUSED_PARENT, "GET /.."},
        // ".." after the first space is cut off with the version and does not count.
        {"GET /x.txt HTTP/1.1\r\nRef: ../..", REFUSED_EXTENSION, "GET /x.txt"},
        // Absolute names are refused before the index rewrite and the extension test.
        {"GET //etc/x.html HTTP/1.1", REFUSED_ABSOLUTE, "GET //etc/x.html"},
        {"GET // HTTP/1.1", REFUSED_ABSOLUTE, "GET //"},
        {"GET ///a.gif", REFUSED_ABSOLUTE, "GET ///a.gif"},
        {"GET /sub/ HTTP/1.1", REFUSED_EXTENSION, "GET /sub/"},
        {"GET /pic.GIF HTTP/1.1", REFUSED_EXTENSION, "GET /pic.GIF"},
        {"GET /zolt.log HTTP/1.1", REFUSED_EXTENSION, "GET /zolt.log"},
        {"GET /a.gif?x=1 HTTP/1.1", REFUSED_EXTENSION, "GET /a.gif?x=1"},
        // Without a version the text runs into the headers and is cut at their first space.
        {"GET /index.html\r\nHost: x\r\n\r\n", REFUSED_EXTENSION, "GET /index.html**Host:"},
        {"GET /\r\nHost: x", REFUSED_EXTENSION, "GET /**Host:"},
        {"GET  /a.html", REFUSED_EXTENSION, "GET "},
        // The name opened must itself carry the extension: here it would be "if" and "z".
        {"GET gif", REFUSED_EXTENSION, "GET gif"},
        {"GET gz HTTP/1.1", REFUSED_EXTENSION, "GET gz"},
    };
    for (const auto& c : cases) {
        const judged result = judge(c.request);
        EXPECT_STREQ(result.refusal, c.refusal) << c.request;
        EXPECT_EQ(result.text, c.logged) << c.request;
    }
}

TEST(RequestRules, ANulEndsTheTextButNotTheScans) {
    using namespace std::string_literals;
    // The ".." after the NUL is still before the cut.
    EXPECT_STREQ(judge("GET /a.html\0/../x HTTP/1.1"s).refusal, REFUSED_PARENT);
    const judged served = judge("GET /a.html\0xx HTTP/1.1"s);
    EXPECT_EQ(served.refusal, nullptr);
    EXPECT_EQ(served.name, "a.html");
    // A short text has an empty name, never the bytes after its end.
    EXPECT_EQ(judge("GET x\0/etc/passwd.html"s).name, "");
}

}  // namespace
