// zolt among the programs around it: a real browser, a load balancer, the service manager
// and the manual. Each is skipped, saying why, only where its program cannot be had.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "harness.h"
#include "http/pages.h"

namespace {

using namespace harness;
namespace fs = std::filesystem;

const std::string source_dir = ZOLT_SOURCE_DIR;

void copy_sample_site(const std::string& top) {
    for (const auto& entry : fs::directory_iterator(source_dir + "/www")) {
        if (entry.path().filename() != "zolt.log") fs::copy(entry.path(), top);
    }
}

TEST(System, AHeadlessBrowserRendersTheSampleSiteWithItsPicture) {
    std::string browser;
    for (const char* name : {"chromium", "chromium-browser", "google-chrome"}) {
        if (have(name)) browser = name;
    }
    if (browser.empty()) GTEST_SKIP() << "no Chromium here (.ci/run installs Debian's chromium)";
    server zolt(copy_sample_site);
    temp_dir profile;
    const command_result page =
        run("timeout 60 " + browser +
            " --headless --no-sandbox --disable-gpu --no-first-run --disable-background-networking"
            " --disable-component-update --disable-sync --user-data-dir=" +
            profile.path() + " --virtual-time-budget=5000 --dump-dom http://127.0.0.1:" +
            std::to_string(zolt.port()) + "/");
    EXPECT_NE(page.out.find("picture loaded, natural width 128"), std::string::npos) << page.out;
    ASSERT_TRUE(zolt.wait_for_log_lines(2 * 9));
    const std::string log = zolt.log();
    EXPECT_NE(log.find(" INFO: SEND:index.html:"), std::string::npos) << log;
    EXPECT_NE(log.find(" INFO: SEND:zolt.png:"), std::string::npos) << log;
    EXPECT_NE(log.find("User-Agent: Mozilla/5.0"), std::string::npos) << log;
}

TEST(System, TheBrowserAsksForTheFavicon) {
    if (!have("chromium")) GTEST_SKIP() << "no Chromium here (.ci/run installs Debian's chromium)";
    server zolt(copy_sample_site);
    temp_dir profile;
    // A screenshot lets the page settle as a tab would, favicon included. The browser asks
    // for the favicon after the page has loaded, and on a busy machine it may exit first:
    // give it three tries.
    const auto favicon_sent = [&] {
        return zolt.log().find(" INFO: SEND:favicon.ico:") != std::string::npos;
    };
    for (int attempt = 0; attempt < 3 && !favicon_sent(); ++attempt) {
        run("timeout 60 chromium --headless --no-sandbox --disable-gpu --no-first-run"
            " --disable-background-networking --disable-component-update --disable-sync"
            " --user-data-dir=" +
            profile.path() + " --virtual-time-budget=5000 --screenshot=" + profile.path() +
            "/page.png http://127.0.0.1:" + std::to_string(zolt.port()) + "/");
        wait_until(favicon_sent, 5s);
    }
    EXPECT_TRUE(favicon_sent()) << zolt.log();
}

// Each client fetches URL into OUT and prints the status code it saw, or its error.
TEST(System, RealHttpClientsGetEveryAnswerDirectly) {
    const struct {
        const char* program;
        bool reads_to_end;  // waits for the end of the connection, not for Content-Length
        const char* command;
    } clients[] = {
        {"curl", false, "curl -s -o OUT -w '%{http_code}' URL"},
        {"python3", false,
         "python3 -c 'import http.client as h,sys,urllib.parse as p; u=p.urlsplit(sys.argv[1]);"
         " c=h.HTTPConnection(u.hostname,u.port); c.request(\"GET\",u.path); r=c.getresponse();"
         " open(sys.argv[2],\"wb\").write(r.read()); print(r.status)' URL OUT"},
        {"node", false,
         "NODE_NO_WARNINGS=1 node -e 'const [u,o]=process.argv.slice(1); require(\"http\").get(u,"
         " r=>{const c=[]; r.on(\"data\",d=>c.push(d)); r.on(\"end\",()=>{"
         "require(\"fs\").writeFileSync(o,Buffer.concat(c)); console.log(r.statusCode)})})"
         ".on(\"error\",e=>console.log(e.code))' URL OUT"},
        {"node", false,
         "NODE_NO_WARNINGS=1 node -e 'const [u,o]=process.argv.slice(1); fetch(u).then(async r=>{"
         "require(\"fs\").writeFileSync(o,Buffer.from(await r.arrayBuffer())); "
         "console.log(r.status)"
         "}).catch(e=>console.log(e.cause?e.cause.code:e))' URL OUT"},
        {"w3m", true,
         "HOME=OUT.home w3m -dump_both URL | { read -r _ code _; sed '1,/^\\r*$/d' >OUT;"
         " echo $code; }"},
    };
    const std::string page = "<html><body>\n<p>real clients</p>\n</body></html>\n";
    server zolt([&](const std::string& top) { write_file(top + "/page.html", page); });
    const std::string refused(forbidden_page.substr(forbidden_page.find("\r\n\r\n") + 4));
    const std::string missing(not_found_page.substr(not_found_page.find("\r\n\r\n") + 4));
    const struct {
        std::string path, status, body;
    } answers[] = {{"/page.html", "200", page},
                   {"/notes.txt", "403", refused},
                   {"/missing.html", "404", missing}};
    temp_dir work;
    std::string skipped;
    for (const auto& client : clients) {
        if (!have(client.program)) {
            skipped += std::string(" ") + client.program;
            continue;
        }
        std::vector<std::chrono::steady_clock::duration> took;
        for (const auto& answer : answers) {
            std::string command = client.command;
            const std::string url = "http://127.0.0.1:" + std::to_string(zolt.port()) + answer.path;
            command.replace(command.find("URL"), 3, url);
            for (size_t at; (at = command.find("OUT")) != std::string::npos;)
                command.replace(at, 3, work / "body");
            const auto start = std::chrono::steady_clock::now();
            const command_result got = run(command);
            took.push_back(std::chrono::steady_clock::now() - start);
            EXPECT_EQ(got.out.substr(0, 3), answer.status) << command << "\n" << got.out;
            EXPECT_EQ(read_file(work / "body"), answer.body) << command;
            remove((work / "body").c_str());
        }
        // The end of a file is sent at once, not after the one-second pause: a served file
        // takes such a client about as long as a refusal, which closes at once.
        if (client.reads_to_end) {
            EXPECT_LT(took[0], std::min(took[1], took[2]) + 500ms) << client.command;
        }
    }
    if (!skipped.empty()) GTEST_SKIP() << "not installed:" << skipped;
}

TEST(System, TwoInstancesServeBehindHAProxy) {
    if (!have("haproxy")) GTEST_SKIP() << "no HAProxy here (.ci/run installs Debian's haproxy)";
    server first([](const std::string& top) { write_file(top + "/index.html", "first"); });
    server second([](const std::string& top) { write_file(top + "/index.html", "second"); });
    const int front = free_port();
    const std::string env = "ZOLT_FRONT=127.0.0.1:" + std::to_string(front) +
                            " ZOLT1=127.0.0.1:" + std::to_string(first.port()) +
                            " ZOLT2=127.0.0.1:" + std::to_string(second.port());
    temp_dir work;
    const std::string pidfile = work / "haproxy.pid";
    const command_result started =
        run(env + " haproxy -D -p " + pidfile + " -f " + source_dir + "/contrib/haproxy.cfg");
    ASSERT_EQ(started.status, 0) << started.out;
    ASSERT_TRUE(wait_until([&] { return read_file(pidfile).size() > 0; }));
    const pid_t haproxy = std::stoi(read_file(pidfile));
    std::string seen;
    for (int i = 0; i < 4; ++i) {
        const std::string answer = exchange(front, "GET / HTTP/1.1\r\nHost: x\r\n\r\n");
        seen += answer.substr(answer.rfind('\n') + 1) + " ";
    }
    kill(haproxy, SIGTERM);
    EXPECT_NE(seen.find("first"), std::string::npos) << seen;
    EXPECT_NE(seen.find("second"), std::string::npos) << seen;
}

TEST(System, TheServiceUnitVerifies) {
    if (!have("systemd-analyze")) GTEST_SKIP() << "no systemd-analyze here";
    temp_dir work;
    // The unit names the installed binary; verify it against the one just built.
    const std::string unit = work / "zolt.service";
    const command_result made = run("sed 's|/usr/local/bin/zolt|" + zolt_command().back() + "|' " +
                                    source_dir + "/contrib/zolt.service > " + unit);
    ASSERT_EQ(made.status, 0) << made.out;
    const command_result verified = run("systemd-analyze verify --man=no " + unit);
    EXPECT_EQ(verified.status, 0) << verified.out;
    EXPECT_EQ(verified.out, "");
}

TEST(System, ThePackageVersionIsTheServers) {
    const std::string changelog = read_file(source_dir + "/debian/changelog");
    if (changelog.empty()) GTEST_SKIP() << "no source tree here";
    EXPECT_EQ(changelog.substr(0, changelog.find(')') + 1),
              "zolt (" + std::to_string(SERVER_VERSION) + ".0)");
}

TEST(System, TheManualLintsClean) {
    if (!have("mandoc")) GTEST_SKIP() << "no mandoc here (.ci/run installs Debian's mandoc)";
    const command_result lint = run("mandoc -T lint " + source_dir + "/docs/zolt.1");
    EXPECT_EQ(lint.status, 0);
    EXPECT_EQ(lint.out, "");
}

// What make run and make stop do, on a directory of the test's: a second start fails on the
// busy port, and the stop still ends the server that serves.
TEST(System, TheSampleServerStopsAlsoAfterAFailedSecondStart) {
    if (!have("sh") || user_mode_emulator()) GTEST_SKIP() << "no shell here, or under qemu-user";
    temp_dir top;
    write_file(top / "index.html", "<p>sample</p>");
    const std::string start = source_dir + "/tools/run-sample " + zolt_command().back() + " " +
                              std::to_string(free_port()) + " " + top.path();
    EXPECT_EQ(run(start).status, 0);
    EXPECT_NE(run(start).status, 0);
    const pid_t serving = listener_in(top.path());
    ASSERT_GT(serving, 0);
    const command_result stopped = run(source_dir + "/tools/stop-sample " + top.path());
    EXPECT_EQ(stopped.out, "stopped zolt (pid " + std::to_string(serving) + ") and its children\n");
    EXPECT_TRUE(wait_until([&] { return processes_in_group(serving) == 0; }));
}

// The README and docs/ name only make targets and paths that exist, and the sizes they quote
// are the executables' as built.
TEST(System, TheDocumentsNameWhatExistsAndQuoteTheBuiltSizes) {
    if (!have("make") || !fs::exists(source_dir + "/tools/check-docs"))
        GTEST_SKIP() << "no make or no source tree here";
    const command_result checked = run("cd " + source_dir + " && tools/check-docs");
    EXPECT_EQ(checked.status, 0) << checked.out;
}

TEST(System, InstallAndUninstallFollowPrefixAndDestdir) {
    if (!have("make")) GTEST_SKIP() << "no make here";
    temp_dir stage;
    const std::string make = "make -s -C " + source_dir + " DESTDIR=" + stage.path() +
                             " PREFIX=/opt/zolt INSTALL_BINARY=" + zolt_command().back() + " ";
    const command_result installed = run(make + "install-files");
    ASSERT_EQ(installed.status, 0) << installed.out;
    struct stat binary;
    ASSERT_EQ(stat((stage / "opt/zolt/bin/zolt").c_str(), &binary), 0);
    EXPECT_TRUE(binary.st_mode & S_IXOTH);
    EXPECT_TRUE(fs::exists(stage / "opt/zolt/share/man/man1/zolt.1"));
    const command_result removed = run(make + "uninstall");
    ASSERT_EQ(removed.status, 0) << removed.out;
    EXPECT_FALSE(fs::exists(stage / "opt/zolt/bin/zolt"));
    EXPECT_FALSE(fs::exists(stage / "opt/zolt/share/man/man1/zolt.1"));
}

}  // namespace
