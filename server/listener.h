// Starting and running the server: the foreground that waits for the listener's word, the
// listener's detaching, listening socket and connection loop, and the small decisions of
// that loop (port, connection numbers, accept failures), declared here for their tests.
#pragma once

// Detaches and starts the server on the port text (checked only after detaching, like every
// later failure, so that it is logged). Returns the foreground's exit status once the
// listener is listening (0) or has ended before (3, its log entry printed); the listener
// itself never returns, nor does a container's init (server/init.h).
int start_server(const char* port_text);

// Ignores SIGCHLD (children are reaped by the system), SIGHUP, and SIGPIPE, so that a write
// to a vanished client fails instead of ending the process before it logs. The results are
// not examined: ignoring a signal cannot fail for these.
void set_service_signals();

// The port as strtol reads it, or 0 unless that value is from 1 to 60000.
int parse_port(const char* port_text);

// The next connection number: counts from 1 and wraps back to 1 without signed overflow.
int next_connection_number(int number);

// What the listener does after a failed accept.
enum class accept_failure { retry, pause, fatal };
accept_failure classify_accept_error(int error_number);
