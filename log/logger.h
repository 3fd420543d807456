// The single reporting path after start-up: log entries in zolt.log and the canned pages.
#pragma once

#include <stddef.h>

#include <string_view>

#include "zolt.h"

// Sent whole, before the entry is logged, so a refused client gets its answer even when the
// log cannot be written. The header lines end in CR LF as HTTP asks; the bodies are plain.
inline constexpr std::string_view forbidden_page =
    "HTTP/1.1 403 Forbidden\r\nContent-Length: 185\r\nConnection: close\r\n"
    "Content-Type: text/html\r\n\r\n"
    "<html><head>\n<title>403 Forbidden</title>\n</head><body>\n<h1>Forbidden</h1>\n"
    "The requested URL, file type or operation is not allowed on this simple static file "
    "webserver.\n</body></html>\n";
inline constexpr std::string_view not_found_page =
    "HTTP/1.1 404 Not Found\r\nContent-Length: 138\r\nConnection: close\r\n"
    "Content-Type: text/html\r\n\r\n"
    "<html><head>\n<title>404 Not Found</title>\n</head><body>\n<h1>Not Found</h1>\n"
    "The requested URL was not found on this server.\n</body></html>\n";

// The announced Content-Length is the body's length.
constexpr size_t page_body_size(std::string_view page) {
    return page.size() - page.find("\r\n\r\n") - 4;
}
static_assert(page_body_size(forbidden_page) == 185 && page_body_size(not_found_page) == 138);
static_assert(forbidden_page.size() == 276 && not_found_page.size() == 229);

// Builds one entry of the given kind into line, ending with its line feed, and returns its
// length. An entry too long for the line is cut and still ends with its line feed. Control
// bytes in the texts other than line feeds are written as \xHH, so a client cannot put
// terminal escapes into the log. LOG_ERROR entries carry the current errno and process id.
size_t logger_format(char (&line)[LOG_LINE_SIZE], int kind, const char* text1, const char* text2,
                     int number);

// Appends an entry: LOG_INFO returns; the other kinds send their page to the client socket
// `number` where they have one, log, and end the process with status 3.
void logger(int kind, const char* text1, const char* text2, int number);
[[noreturn]] void logger_and_exit(int kind, const char* text1, const char* text2, int number);

// Logs "ERROR: text1:text2 Errno=%d continuing pid=%d" for a failure the listener survives.
void logger_continuing(const char* text1, const char* text2);
