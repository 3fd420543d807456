// Hostile input and hostile conditions against the real server: nothing is served from
// outside the top directory, every client is answered, and every entry is logged whole.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <regex>

#include "harness.h"
#include "http/pages.h"

namespace {

using namespace harness;

size_t scaled(size_t native, size_t slow) {
    return slow_machine() ? slow : native;
}

bool is_well_formed(const std::string& answer, std::string* why) {
    if (answer == forbidden_page || answer == not_found_page) return true;
    static const std::regex served("HTTP/1\\.1 200 OK\r\nServer: zolt/" +
                                   std::to_string(SERVER_VERSION) +
                                   "\\.0\r\nContent-Length: ([0-9]+)\r\n"
                                   "Connection: close\r\nContent-Type: [a-z/]+\r\n\r\n");
    std::smatch header;
    if (std::regex_search(answer, header, served, std::regex_constants::match_continuous) &&
        answer.size() == header.length(0) + std::stoull(header[1])) {
        return true;
    }
    *why = answer.substr(0, 120);
    return false;
}

std::string percent_encode(const std::string& text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        out += '%';
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

TEST(Hostile, NoTraversalPayloadReachesAFileOutsideTheTop) {
    // Secrets with a served extension at every level above the top, and in a sibling.
    temp_dir root;
    std::string dir = root.path();
    const std::string secret = "zolt-secret.html";
    for (int depth = 0; depth < 9; ++depth) {
        write_file(dir + "/" + secret, "SECRET-LEVEL-" + std::to_string(depth));
        dir += "/d" + std::to_string(depth);
        mkdir(dir.c_str(), 0755);
    }
    mkdir((dir + "/sibling").c_str(), 0755);
    write_file(dir + "/sibling/" + secret, "SECRET-SIBLING");
    const std::string top = dir + "/www";
    mkdir(top.c_str(), 0755);
    write_file(top + "/index.html", "public");

    server zolt([&](const std::string& own_top) {
        // The server's own top is replaced by the one deep inside the tree of secrets.
        rmdir(own_top.c_str());
        ASSERT_EQ(symlink(top.c_str(), own_top.c_str()), 0);
    });
    std::vector<std::string> payloads;
    for (const std::string& line :
         read_lines(std::string(ZOLT_TEST_DATA) + "/traversal-payloads.txt")) {
        for (const std::string& target : {secret, "sibling/" + secret}) {
            std::string url = line;
            url.replace(url.find("{FILE}"), 6, target);
            payloads.push_back("GET " + url + " HTTP/1.1\r\nHost: x\r\n\r\n");
            payloads.push_back("GET /" + percent_encode(url.substr(1)) + " HTTP/1.1\r\n\r\n");
            payloads.push_back("get " + url + "\r\n\r\n");
        }
    }
    const std::vector<std::string> answers = flood(zolt.port(), payloads, 32, 600s);
    std::map<std::string, int> kinds;
    for (size_t i = 0; i < answers.size(); ++i) {
        std::string why;
        EXPECT_TRUE(is_well_formed(answers[i], &why)) << payloads[i] << " -> " << why;
        EXPECT_EQ(answers[i].find("SECRET"), std::string::npos) << payloads[i];
        ++kinds[answers[i].substr(0, 12)];
    }
    printf("sent %zu traversal requests: %d forbidden, %d not found, %d served\n", answers.size(),
           kinds["HTTP/1.1 403"], kinds["HTTP/1.1 404"], kinds["HTTP/1.1 200"]);
    EXPECT_EQ(kinds["HTTP/1.1 200"], 0);
}

TEST(Hostile, AThousandClientsAtOnceAreAllAnsweredAndLoggedWhole) {
    server zolt([](const std::string& top) { write_file(top + "/a.png", "PNG"); });
    const size_t clients = scaled(1000, 120);
    std::vector<std::string> requests;
    for (size_t i = 0; i < clients; ++i) {
        requests.push_back("GET /a.png HTTP/1.1\r\nX-Client: " + std::to_string(i) + "\r\n\r\n");
    }
    const std::vector<std::string> answers = flood(zolt.port(), requests, 48, 300s);
    size_t served = 0;
    for (const std::string& answer : answers)
        served += answer.size() > 3 && answer.ends_with("\r\n\r\nPNG");
    EXPECT_EQ(served, clients);
    // Three entries per request, all whole: the request, SEND and the nine-line Header entry.
    ASSERT_TRUE(zolt.wait_for_log_lines(9 * clients, 30s));
    std::map<int, std::string> steps;
    const std::regex request(
        " INFO: request:GET /a\\.png HTTP/1\\.1\\*\\*X-Client: [0-9]+\\*\\*\\*\\*:([0-9]+)");
    const std::regex send(" INFO: SEND:a\\.png:([0-9]+)");
    const std::regex header_end(":([0-9]+)");
    std::smatch match;
    for (const std::string& line : zolt.log_lines()) {
        if (std::regex_match(line, match, request))
            steps[std::stoi(match[1])] += "R";
        else if (std::regex_match(line, match, send))
            steps[std::stoi(match[1])] += "S";
        else if (std::regex_match(line, match, header_end))
            steps[std::stoi(match[1])] += "H";
    }
    EXPECT_EQ(steps.size(), clients);
    for (const auto& [number, seen] : steps)
        EXPECT_EQ(seen, "RSH") << number;
    EXPECT_EQ(processes_in_group(zolt.pid()) >= 1, true) << "the listener died";
    EXPECT_TRUE(zolt.wait_for_children_gone(30s));
    EXPECT_EQ(zolt.get("GET /a.png HTTP/1.1\r\n\r\n").substr(0, 15), "HTTP/1.1 200 OK");
}

TEST(Hostile, SilentClientsAreRefusedAfterTheReadBoundAndTheirChildrenEnd) {
    server zolt;
    const size_t clients = scaled(300, 60);
    std::vector<int> fds;
    // The backlog is 64: open batches the listener has taken before the next.
    while (fds.size() < clients) {
        for (int i = 0; i < 40 && fds.size() < clients; ++i)
            fds.push_back(connect_to(zolt.port()));
        const int expected = static_cast<int>(fds.size()) + 1;
        ASSERT_TRUE(wait_until([&] { return processes_in_group(zolt.pid()) >= expected; }, 20s));
    }
    const auto start = std::chrono::steady_clock::now();
    size_t refused = 0;
    for (int fd : fds) {
        refused += read_until_closed(fd, 30s) == forbidden_page;
        close(fd);
    }
    EXPECT_EQ(refused, clients);
    EXPECT_TRUE(zolt.wait_for_children_gone(10s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 25s);
    size_t entries = 0;
    for (const std::string& line : zolt.log_lines()) {
        entries += line == "FORBIDDEN: failed to read browser request:";
    }
    EXPECT_EQ(entries, clients);
}

TEST(Hostile, AClientThatNeverReadsIsGivenUpAfterTheWriteBound) {
    server zolt([](const std::string& top) {
        write_file(top + "/huge.tar", "");
        ASSERT_EQ(truncate((top + "/huge.tar").c_str(), 256LL << 20), 0);
    });
    const int reader = connect_to(zolt.port(), 4096);  // a small window fills at once
    const std::string request = "GET /huge.tar HTTP/1.1\r\n\r\n";
    send(reader, request.data(), request.size(), 0);
    ASSERT_TRUE(zolt.wait_for_log_lines(2));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(zolt.wait_for_children_gone(100s));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 55s);
    EXPECT_LE(waited, 75s);
    close(reader);
}

TEST(Hostile, ClientsThatResetMidTransferCostOnlyTheirChildren) {
    const std::string big(20 << 20, 'b');
    server zolt([&](const std::string& top) { write_file(top + "/big.gz", big); });
    const int clients = 10;
    for (int i = 0; i < clients; ++i) {
        const int fd = connect_to(zolt.port());
        const std::string request = "GET /big.gz HTTP/1.1\r\n\r\n";
        send(fd, request.data(), request.size(), 0);
        char chunk[4096];
        ASSERT_GT(recv(fd, chunk, sizeof chunk, MSG_WAITALL), 0);
        const linger reset{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        close(fd);
    }
    EXPECT_TRUE(zolt.wait_for_children_gone(20s));
    size_t sends = 0;
    for (const std::string& line : zolt.log_lines())
        sends += line.rfind(" INFO: SEND:big.gz:", 0) == 0;
    EXPECT_EQ(sends, static_cast<size_t>(clients));
    // A whole transfer still arrives intact afterwards.
    const std::string answer = zolt.get("GET /big.gz HTTP/1.1\r\n\r\n");
    ASSERT_GT(answer.size(), big.size());
    EXPECT_TRUE(answer.substr(answer.size() - big.size()) == big);
}

TEST(Hostile, RequestsAreAnsweredWhenTheLogCannotBeWritten) {
    // The log is a directory: every entry is lost, no answer is.
    server zolt([](const std::string& top) {
        mkdir((top + "/zolt.log").c_str(), 0755);
        write_file(top + "/a.jpg", "JPG");
    });
    EXPECT_TRUE(zolt.get("GET /a.jpg HTTP/1.1\r\n\r\n").ends_with("\r\n\r\nJPG"));
    EXPECT_EQ(zolt.get("GET /b.jpg HTTP/1.1\r\n\r\n"), not_found_page);
    EXPECT_EQ(zolt.get("PUT /a.jpg HTTP/1.1\r\n\r\n"), forbidden_page);
}

TEST(Hostile, ARenamedLogIsCreatedAgainAndAFifoInItsPlaceHangsNothing) {
    server zolt([](const std::string& top) { write_file(top + "/a.png", "PNG"); });
    const std::string log = zolt.top() / "zolt.log";
    const std::string served_end = "\r\n\r\nPNG";
    EXPECT_TRUE(zolt.get("GET /a.png HTTP/1.1\r\n\r\n").ends_with(served_end));
    ASSERT_TRUE(zolt.wait_for_log_lines(9));
    // Rotation by rename, without a signal: the next entry makes a fresh log.
    ASSERT_EQ(rename(log.c_str(), (log + ".1").c_str()), 0);
    EXPECT_TRUE(zolt.get("GET /a.png HTTP/1.1\r\n\r\n").ends_with(served_end));
    ASSERT_TRUE(wait_until([&] { return read_lines(log).size() >= 9; }));
    EXPECT_EQ(read_lines(log)[1], " INFO: SEND:a.png:2");
    EXPECT_EQ(read_file(log + ".1").find(":2\n"), std::string::npos);
    // A FIFO nobody reads in the log's place loses the entries and holds up no answer.
    ASSERT_EQ(rename(log.c_str(), (log + ".2").c_str()), 0);
    ASSERT_EQ(mkfifo(log.c_str(), 0644), 0);
    EXPECT_TRUE(zolt.get("GET /a.png HTTP/1.1\r\n\r\n").ends_with(served_end));
    EXPECT_EQ(zolt.get("GET /b.png HTTP/1.1\r\n\r\n"), not_found_page);
}

TEST(Hostile, RequestsAreAnsweredWhenTheTopIsReadOnlyToTheServer) {
    if (!may_switch_users())
        GTEST_SKIP()
            << "only root in the initial user namespace can run the server as another user";
    const reachable_binary binary;
    server zolt(
        [](const std::string& top) {
            write_file(top + "/a.jpg", "JPG");
            chmod(top.c_str(), 0755);  // enterable, but not writable, by the server's user
        },
        [user = unused_user_id()] { become_user(user); });
    EXPECT_TRUE(zolt.get("GET /a.jpg HTTP/1.1\r\n\r\n").ends_with("\r\n\r\nJPG"));
    EXPECT_EQ(zolt.get("GET /b.jpg HTTP/1.1\r\n\r\n"), not_found_page);
    struct stat log;
    EXPECT_NE(stat((zolt.top() / "zolt.log").c_str(), &log), 0);
}

}  // namespace
