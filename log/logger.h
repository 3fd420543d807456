// The single reporting path after start-up: the entries of zolt.log. Each call formats one
// line and appends it to the log in the working directory (the top directory).
#pragma once

#include <limits.h>
#include <stddef.h>

#include "zolt.h"

// Builds one entry of the given kind into line, ending with its line feed, and returns its
// length. An entry too long for the line is cut and still ends with its line feed. Control
// bytes in the texts are written as \xHH, line feeds too unless kept, so neither a client nor
// the command line can put terminal escapes or lines of their own into the log. LOG_ERROR
// entries carry the current errno and process id.
enum class line_feeds { escaped, kept };
size_t logger_format(char (&line)[LOG_LINE_SIZE], log_kind kind, const char* text1,
                     const char* text2, int number, line_feeds feeds = line_feeds::escaped);

// As a container's first process, zolt's log is also the container's output: from this call
// on, the process and every process it forks copy each entry to `stream` right after appending
// it to zolt.log. The stream must not block (server/init.h opens it so); an entry it cannot
// take at once is lost from it, and kept in the file.
void logger_also_to(int stream);

// What the stream gets of an entry: the entry itself where a pipe takes it in one piece
// (PIPE_BUF bytes), else its beginning with a mark that says it was cut and how long it is,
// PIPE_BUF bytes in all. Returns the length put in `piece`.
size_t logger_stream_piece(char (&piece)[PIPE_BUF], const char* line, size_t size);

// " INFO: event:text:number": the number is the connection's, or in the start entry the
// listener's process id.
void logger_info(const char* event, const char* text, int number);

// " INFO: Header:header:number", the response header one line each, as the client gets it.
void logger_header(const char* header, int number);

// "ERROR: event:text Errno=%d exiting pid=%d", then the end of the process with status 3.
[[noreturn]] void logger_error_and_exit(const char* event, const char* text);

// "ERROR: event:text Errno=%d continuing pid=%d", for a failure the listener survives.
void logger_continuing(const char* event, const char* text);

// The same entry written to `fd` instead of the log: for a failure before there is a log
// stream to tell (server/init.cpp).
void logger_continuing_to(int fd, const char* event, const char* text);

// A refused request's entry (LOG_FORBIDDEN or LOG_NOT_FOUND), then the end of the child with
// status 3. The client has had its page already (http/pages.h).
[[noreturn]] void logger_refusal_and_exit(log_kind kind, const char* reason, const char* text);
