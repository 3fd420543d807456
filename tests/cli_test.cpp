// The command line of the real binary: what it prints, and its exit status.
#include <gtest/gtest.h>
#include <unistd.h>

#include "harness.h"

namespace {

using namespace harness;

constexpr const char* usage_after_version =
    "\n"
    "\n"
    "\tzolt is a small and very safe mini web server\n"
    "\tzolt only servers out file/web pages with extensions named below\n"
    "\t and only from the named directory or its sub-directories.\n"
    "\tThere is no fancy features = safe and secure.\n"
    "\n"
    "\tExample: zolt 8181 /home/zoltdir &\n"
    "\n"
    "\tOnly Supports: gif jpg jpeg png ico zip gz tar htm html\n"
    "\tNot Supported: URLs including \"..\", Java, Javascript, CGI\n"
    "\tNot Supported: directories / /etc /bin /lib /tmp /usr /dev /sbin \n"
    "\tNo warranty given or implied\n";
const std::string usage = "hint: zolt Port-Number Top-Directory\t\tversion " +
                          std::to_string(SERVER_VERSION) + usage_after_version;

TEST(CommandLine, UsageTextForWrongArgumentCountsAndTheHelpRequest) {
    const std::vector<std::vector<std::string>> calls = {
        {}, {"8181"}, {"8181", "/srv", "extra"}, {"-?", "/nonexistent"}, {"-?"}};
    for (const auto& args : calls) {
        const run_result result = run_zolt(args);
        EXPECT_EQ(result.out, usage) << args.size();
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 0);
    }
}

TEST(CommandLine, RefusedTopDirectoriesAreExactMatchesOnly) {
    for (const char* dir : {"/", "/etc", "/bin", "/lib", "/tmp", "/usr", "/dev", "/sbin"}) {
        const run_result result = run_zolt({"8181", dir});
        EXPECT_EQ(result.out, std::string("ERROR: Bad top directory ") + dir + ", see zolt -?\n");
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 3) << dir;
    }
    // A look-alike is entered, and then the bad port is reported from the listener.
    temp_dir top;
    const run_result result = run_zolt({"-?x", top.path() + "/"});
    EXPECT_EQ(result.out.rfind("ERROR: Invalid port number (try 1->60000):-?x Errno=", 0), 0u)
        << result.out;
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(read_file(top / "zolt.log").find(" INFO: zolt starting:-?x:"), 0u);
}

TEST(CommandLine, ADirectoryThatCannotBeEnteredEndsWithStatusFour) {
    for (const char* dir : {"/nonexistent/zolt", ""}) {
        const run_result result = run_zolt({"8181", dir});
        EXPECT_EQ(result.out, std::string("ERROR: Can't Change to directory ") + dir + "\n");
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 4);
    }
}

TEST(CommandLine, TheExecutableNeedsNoSharedLibraryButLibc) {
    if (!have("readelf")) GTEST_SKIP() << "no readelf here";
    const std::string output = run("readelf -d '" + zolt_command().back() + "'").out;
    std::string needed;
    for (size_t at = output.find("(NEEDED)"); at != std::string::npos;
         at = output.find("(NEEDED)", at + 1)) {
        const size_t open = output.find('[', at), close = output.find(']', at);
        needed += output.substr(open + 1, close - open - 1) + " ";
    }
    if (needed.find("asan") != std::string::npos) GTEST_SKIP() << "sanitizer build";
    EXPECT_TRUE(needed == "libc.so.6 " || needed.empty()) << needed;
}

// Started as zolt-probe, the executable asks a running zolt for its front page: 0 for a 200,
// 1 with the reason otherwise. The name alone selects it; zolt's own arguments are untouched.
TEST(CommandLine, StartedAsZoltProbeItPassesOnlyWhereZoltAnswersTheFrontPageWith200) {
    temp_dir names;
    const std::string probe = names / "zolt-probe";
    ASSERT_EQ(symlink(zolt_command().back().c_str(), probe.c_str()), 0);
    server zolt([](const std::string& top) { write_file(top + "/index.html", "<p>up</p>"); });
    const std::string port = std::to_string(zolt.port());
    const char* binary = getenv("ZOLT_BINARY");
    const std::string saved = binary != nullptr ? binary : "";
    setenv("ZOLT_BINARY", probe.c_str(), 1);
    const run_result healthy = run_zolt({port});
    ASSERT_EQ(unlink((zolt.top() / "index.html").c_str()), 0);
    const run_result missing = run_zolt({port});
    const run_result nothing = run_zolt({std::to_string(free_port())});
    if (saved.empty()) {
        unsetenv("ZOLT_BINARY");
    } else {
        setenv("ZOLT_BINARY", saved.c_str(), 1);
    }
    EXPECT_EQ(healthy.status, 0);
    EXPECT_EQ(healthy.out, "");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "zolt-probe: 127.0.0.1:" + port + " does not answer 200\n");
    EXPECT_EQ(nothing.status, 1);
    EXPECT_NE(nothing.out.find(" takes no connection\n"), std::string::npos) << nothing.out;
    EXPECT_EQ(zolt.log_lines()[zolt.start_entries()], " INFO: request:GET / HTTP/1.0****:1");
}

}  // namespace
