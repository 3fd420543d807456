#include "server/cmdline.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "http/extensions.h"
#include "zolt.h"

namespace {

// Listed in the usage text in this order.
constexpr const char* refused_top_directories[] = {"/",    "/etc", "/bin", "/lib",
                                                   "/tmp", "/usr", "/dev", "/sbin"};

[[noreturn]] void flush_and_exit(int status) {
    fflush(stdout);
    _exit(status);
}

}  // namespace

void print_usage() {
    printf(
        "hint: zolt Port-Number Top-Directory\t\tversion %d\n\n"
        "\tzolt is a small and very safe mini web server\n"
        "\tzolt only servers out file/web pages with extensions named below\n"
        "\t and only from the named directory or its sub-directories.\n"
        "\tThere is no fancy features = safe and secure.\n\n"
        "\tExample: zolt 8181 /home/zoltdir &\n\n"
        "\tOnly Supports:",
        SERVER_VERSION);
    for (const extension* row = extensions; row->ext != nullptr; ++row)
        printf(" %s", row->ext);
    fputs(
        "\n\tNot Supported: URLs including \"..\", Java, Javascript, CGI\n"
        "\tNot Supported: directories",
        stdout);
    for (const char* refused : refused_top_directories)
        printf(" %s", refused);
    puts(" \n\tNo warranty given or implied");
}

bool is_refused_top_directory(const char* dir) {
    for (const char* refused : refused_top_directories) {
        if (strcmp(dir, refused) == 0) return true;
    }
    return false;
}

void check_command_line_and_enter_top(int argc, char** argv) {
    if (argc != 3 || strcmp(argv[1], "-?") == 0) {
        print_usage();
        flush_and_exit(EXIT_USAGE);
    }
    if (is_refused_top_directory(argv[2])) {
        printf("ERROR: Bad top directory %s, see zolt -?\n", argv[2]);
        flush_and_exit(EXIT_FAILED);
    }
    if (chdir(argv[2]) == -1) {
        printf("ERROR: Can't Change to directory %s\n", argv[2]);
        flush_and_exit(EXIT_NO_CHDIR);
    }
}
