#include <errno.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "harness.h"
#include "log/logger.h"

namespace {

std::string entry(log_kind kind, const char* text1, const char* text2, int number,
                  line_feeds feeds = line_feeds::escaped) {
    static char line[LOG_LINE_SIZE];
    return std::string(line, logger_format(line, kind, text1, text2, number, feeds));
}

TEST(LogEntries, EachKindHasItsFormat) {
    EXPECT_EQ(entry(LOG_INFO, "zolt starting", "8181", 731), " INFO: zolt starting:8181:731\n");
    EXPECT_EQ(entry(LOG_FORBIDDEN, "failed to read browser request", "", 4),
              "FORBIDDEN: failed to read browser request:\n");
    EXPECT_EQ(entry(LOG_NOT_FOUND, "failed to open file", "missing.html", 4),
              "NOT FOUND: failed to open file:missing.html\n");
    errno = 98;
    EXPECT_EQ(entry(LOG_ERROR, "system call", "bind", 0),
              "ERROR: system call:bind Errno=98 exiting pid=" + std::to_string(getpid()) + "\n");
    const std::string header = "HTTP/1.1 200 OK\nServer: " + harness::server_token + "\n\n";
    EXPECT_EQ(entry(LOG_INFO, "Header", header.c_str(), 5, line_feeds::kept),
              " INFO: Header:" + header + ":5\n");
    EXPECT_EQ(entry(LOG_INFO, "n", "", -2147483647 - 1), " INFO: n::-2147483648\n");
}

TEST(LogEntries, ControlBytesFromClientsAndTheCommandLineAreShownAsHex) {
    EXPECT_EQ(entry(LOG_INFO, "request", "GET /\x1b[31mred\x7f\t.html", 1),
              " INFO: request:GET /\\x1b[31mred\\x7f\\x09.html:1\n");
    EXPECT_EQ(entry(LOG_FORBIDDEN, "r", "\x01\x1f\x20\x80\xff", 1),
              "FORBIDDEN: r:\\x01\\x1f \x80\xff\n");
    // A port argument cannot forge an entry of its own.
    EXPECT_EQ(entry(LOG_INFO, "zolt starting", "8181\nFORBIDDEN: x", 7),
              " INFO: zolt starting:8181\\x0aFORBIDDEN: x:7\n");
    errno = 22;
    EXPECT_EQ(entry(LOG_ERROR, "Invalid port number (try 1->60000)", "1\nERROR: x", 0),
              "ERROR: Invalid port number (try 1->60000):1\\x0aERROR: x Errno=22 exiting pid=" +
                  std::to_string(getpid()) + "\n");
}

TEST(LogEntries, ALongEntryIsCutToTheLineAndStillEndsWithALineFeed) {
    const std::string port(3 * LOG_LINE_SIZE, '7');
    const std::string line = entry(LOG_INFO, "zolt starting", port.c_str(), 1);
    EXPECT_EQ(line.size(), static_cast<size_t>(LOG_LINE_SIZE));
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find(":1\n"), std::string::npos);

    // An escape is never cut in half.
    const std::string controls(LOG_LINE_SIZE, '\x01');
    const std::string escaped = entry(LOG_INFO, "request", controls.c_str(), 1);
    EXPECT_EQ(escaped.back(), '\n');
    EXPECT_EQ((escaped.size() - 1 - std::string(" INFO: request:").size()) % 4, 0u);
}

}  // namespace
