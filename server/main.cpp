// zolt Port-Number Top-Directory: command line -> listener -> one child per connection.
#include "server/cmdline.h"
#include "server/listener.h"
#include "server/probe.h"

int main(int argc, char** argv) {
    if (argc > 0 && started_as_probe(argv[0])) return probe_health(argc, argv);
    check_command_line_and_enter_top(argc, argv);
    return start_server(argv[1]);
}
