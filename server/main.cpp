// zolt Port-Number Top-Directory: command line -> listener -> one child per connection.
#include "server/cmdline.h"
#include "server/listener.h"

int main(int argc, char** argv) {
    check_command_line_and_enter_top(argc, argv);
    return start_server(argv[1]);
}
