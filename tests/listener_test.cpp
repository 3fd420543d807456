#include <errno.h>
#include <gtest/gtest.h>

#include "server/listener.h"

namespace {

TEST(Listener, PortsOutsideOneTo60000AreRefusedOnEveryTarget) {
    const struct {
        const char* text;
        int port;
    } cases[] = {
        {"8181", 8181},     {"1", 1}, {"60000", 60000},  {"8181abc", 8181},
        {" +80", 80},       {"0", 0}, {"-1", 0},         {"60001", 0},
        {"abc", 0},         {"", 0},  {"4294975477", 0}, {"99999999999999999999", 0},
        {"-4294959115", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parse_port(c.text), c.port) << c.text;
}

TEST(Listener, ConnectionNumbersWrapToOne) {
    EXPECT_EQ(next_connection_number(1), 2);
    EXPECT_EQ(next_connection_number(2147483647), 1);
}

TEST(Listener, AcceptFailuresAreSortedIntoRetryPauseAndFatal) {
    for (int error : {ECONNABORTED, EINTR, EPROTO, ENETDOWN, EHOSTUNREACH, ENETUNREACH}) {
        EXPECT_EQ(classify_accept_error(error), accept_failure::retry) << error;
    }
    for (int error : {EMFILE, ENFILE, ENOBUFS, ENOMEM}) {
        EXPECT_EQ(classify_accept_error(error), accept_failure::pause) << error;
    }
    for (int error : {EBADF, EINVAL, ENOTSOCK, EFAULT}) {
        EXPECT_EQ(classify_accept_error(error), accept_failure::fatal) << error;
    }
}

}  // namespace
