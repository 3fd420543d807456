// The decisions about one request. They work on the request buffer alone and touch no
// descriptor, so tests and the fuzzer drive them directly; web() does the I/O around them.
//
// Precondition for all of them: every byte of the buffer after the ones read is zero (the
// buffer is zero-filled before the read). The space and ".." scans look at raw bytes up to
// the buffer's end, and file_name() relies on the text ending inside the buffer.
#pragma once

#include <stddef.h>

#include <string_view>

#include "zolt.h"

// The request buffer is one byte larger than a read so the text can always be terminated.
using request_buffer = char[REQUEST_BUFFER_SIZE + 1];

inline constexpr const char* REFUSED_NOT_GET = "Only simple GET operation supported";
inline constexpr const char* REFUSED_PARENT = "Parent directory (..) path names not supported";
inline constexpr const char* REFUSED_ABSOLUTE = "Absolute path names not supported";
inline constexpr const char* REFUSED_EXTENSION = "file extension type not supported";

// Turns the `got` bytes read (1 to REQUEST_BUFFER_SIZE) into the request text: terminated
// after them, or made empty when they filled the buffer (such a request is never a simple
// GET), with every carriage return and line feed shown as '*' so it logs on one line.
void prepare_request(request_buffer& buffer, long got);

struct verdict {
    const char* refusal;   // the reason to log, or nullptr when the file may be opened
    const char* filetype;  // the Content-Type when it may
};

// Applies the refusal rules in order: the method, the cut after the URL, "..", absolute
// names, the index rewrite and the extension. The buffer then holds the text to log with the
// refusal: the whole request for a method refusal, the cut text for the others.
verdict judge_request(request_buffer& buffer);

// The name to open relative to the top directory: the text after "GET /", empty when the
// text is no longer than that.
const char* file_name(const request_buffer& buffer);

// HTTP line ends on the wire; the log shows the same header with plain line feeds.
inline constexpr std::string_view WIRE_LINE_END = "\r\n";
inline constexpr std::string_view LOG_LINE_END = "\n";

// Writes the 200 response header for a file of `size` bytes into the buffer, each line ended
// by `line_end`, and returns its length. The size is 64-bit on every target, so files of
// 2 GiB and more get their exact length.
size_t format_header(request_buffer& buffer, long long size, const char* filetype,
                     std::string_view line_end);
