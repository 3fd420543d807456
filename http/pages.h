// The canned answers to a refused request. Sent whole, before the entry is logged, so a
// refused client gets its answer even when the log cannot be written. The header lines end in
// CR LF as HTTP asks; the bodies are plain.
#pragma once

#include <stddef.h>

#include <string_view>

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
