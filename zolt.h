// Constants and logger kinds shared by the server, the request handler and the logger.
#pragma once

// One read from a client or from a file. The request buffer is one byte larger so the text
// can always be terminated, and a log line holds two of them.
inline constexpr int REQUEST_BUFFER_SIZE = 8096;
inline constexpr int LOG_LINE_SIZE = 2 * REQUEST_BUFFER_SIZE;

// Shown in the usage text and in the Server line of every 200 response.
inline constexpr int SERVER_VERSION = 23;

// The four kinds of log entry: logger() returns for LOG_INFO and ends the process with status 3
// for the others.
inline constexpr int LOG_ERROR = 42;
inline constexpr int LOG_INFO = 44;
inline constexpr int LOG_FORBIDDEN = 403;
inline constexpr int LOG_NOT_FOUND = 404;

// Exit statuses.
inline constexpr int EXIT_USAGE = 0;
inline constexpr int EXIT_SERVED = 1;
inline constexpr int EXIT_FAILED = 3;
inline constexpr int EXIT_NO_CHDIR = 4;
