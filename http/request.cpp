#include "http/request.h"

#include <string.h>

#include "http/extensions.h"

namespace {

constexpr int NAME_START = 5;

bool is_simple_get(const request_buffer& buffer) {
    return strncmp(buffer, "GET ", 4) == 0 || strncmp(buffer, "get ", 4) == 0;
}

// Ends the text at the first space after the method, so the version and the header lines
// go. Returns that position, or REQUEST_BUFFER_SIZE when there is none. Like the ".." scan,
// it looks at raw bytes past any NUL the client sent.
int cut_after_url(request_buffer& buffer) {
    for (int i = 4; i < REQUEST_BUFFER_SIZE; ++i) {
        if (buffer[i] == ' ') {
            buffer[i] = '\0';
            return i;
        }
    }
    return REQUEST_BUFFER_SIZE;
}

// Any two dots in a row before the cut, not only a ".." segment: simpler to trust.
bool has_two_dots(const request_buffer& buffer, int cut) {
    for (int j = 0; j + 1 < cut; ++j) {
        if (buffer[j] == '.' && buffer[j + 1] == '.') return true;
    }
    return false;
}

void rewrite_bare_slash(request_buffer& buffer) {
    if (strcmp(buffer, "GET /") == 0 || strcmp(buffer, "get /") == 0) {
        memcpy(buffer, "GET /index.html", sizeof "GET /index.html");
    }
}

}  // namespace

void prepare_request(request_buffer& buffer, long got) {
    buffer[got < REQUEST_BUFFER_SIZE ? got : 0] = '\0';
    for (long i = 0; i < got; ++i) {
        if (buffer[i] == '\r' || buffer[i] == '\n') buffer[i] = '*';
    }
}

verdict judge_request(request_buffer& buffer) {
    if (!is_simple_get(buffer)) return {REFUSED_NOT_GET, nullptr};
    const int cut = cut_after_url(buffer);
    if (has_two_dots(buffer, cut)) return {REFUSED_PARENT, nullptr};
    if (file_name(buffer)[0] == '/') return {REFUSED_ABSOLUTE, nullptr};
    rewrite_bare_slash(buffer);
    // The type comes from the name that will be opened, not from the whole text: in "GET gif"
    // the text ends in gif but the name is "if".
    const char* filetype = find_filetype(file_name(buffer));
    if (filetype == nullptr) return {REFUSED_EXTENSION, nullptr};
    return {nullptr, filetype};
}

const char* file_name(const request_buffer& buffer) {
    return strnlen(buffer, NAME_START + 1) > NAME_START ? buffer + NAME_START : "";
}

size_t format_header(request_buffer& buffer, long long size, const char* filetype,
                     std::string_view line_end) {
    text_builder header(buffer, REQUEST_BUFFER_SIZE);
    header.add("HTTP/1.1 200 OK");
    header.add(line_end);
    header.add("Server: zolt/");
    header.add_number(SERVER_VERSION);
    header.add(".0");
    header.add(line_end);
    header.add("Content-Length: ");
    header.add_number(size);
    header.add(line_end);
    header.add("Connection: close");
    header.add(line_end);
    header.add("Content-Type: ");
    header.add(filetype);
    header.add(line_end);
    header.add(line_end);
    buffer[header.size()] = '\0';
    return header.size();
}
