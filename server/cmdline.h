// The foreground half of start-up: arguments, usage text, refused top directories.
#pragma once

// Prints the usage text, listing every served extension in table order.
void print_usage();

// True for the root and the system directories zolt refuses to serve, by exact comparison.
bool is_refused_top_directory(const char* dir);

// Checks the command line and changes into the top directory. Returns only when the server
// should start; otherwise it has printed its answer and ends the process.
void check_command_line_and_enter_top(int argc, char** argv);
