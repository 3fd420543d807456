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

// The texts are put together from pieces rather than with printf, whose floating-point
// conversions would be linked in: a soft-float MIPS build would take those from the cross
// compiler's hard-float libgcc, and these texts need none of them.
void print(const char* first, const char* second = "", const char* third = "") {
    fputs(first, stdout);
    fputs(second, stdout);
    fputs(third, stdout);
}

[[noreturn]] void flush_and_exit(int status) {
    fflush(stdout);
    _exit(status);
}

}  // namespace

void print_usage() {
    char version[24];
    text_builder number(version, sizeof version - 1);
    number.add_number(SERVER_VERSION);
    version[number.size()] = '\0';
    print("hint: zolt Port-Number Top-Directory\t\tversion ", version,
          "\n\n"
          "\tzolt is a small and very safe mini web server\n"
          "\tzolt only servers out file/web pages with extensions named below\n"
          "\t and only from the named directory or its sub-directories.\n"
          "\tThere is no fancy features = safe and secure.\n\n"
          "\tExample: zolt 8181 /home/zoltdir &\n\n"
          "\tOnly Supports:");
    for (const extension* row = extensions; row->ext != nullptr; ++row)
        print(" ", row->ext);
    print(
        "\n\tNot Supported: URLs including \"..\", Java, Javascript, CGI\n"
        "\tNot Supported: directories");
    for (const char* refused : refused_top_directories)
        print(" ", refused);
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
        print("ERROR: Bad top directory ", argv[2], ", see zolt -?\n");
        flush_and_exit(EXIT_FAILED);
    }
    if (chdir(argv[2]) == -1) {
        print("ERROR: Can't Change to directory ", argv[2], "\n");
        flush_and_exit(EXIT_NO_CHDIR);
    }
}
