#include "log/logger.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

namespace {

// The last byte of a line is kept for the line feed, so every entry ends with one however
// long its texts are.
class line_builder : public text_builder {
  public:
    explicit line_builder(char (&line)[LOG_LINE_SIZE])
        : text_builder(line, LOG_LINE_SIZE - 1), line_(line) {}

    size_t finish() {
        line_[size()] = '\n';
        return size() + 1;
    }

  private:
    char (&line_)[LOG_LINE_SIZE];
};

size_t format_error(char (&line)[LOG_LINE_SIZE], const char* text1, const char* text2,
                    std::string_view outcome) {
    const int error_number = errno;
    line_builder entry(line);
    entry.add("ERROR: ");
    entry.add_escaped(text1);
    entry.add(":");
    entry.add_escaped(text2);
    entry.add(" Errno=");
    entry.add_number(error_number);
    entry.add(outcome);
    entry.add_number(getpid());
    return entry.finish();
}

int stream = -1;  // none but in a container's processes

// One write of at most PIPE_BUF bytes: a pipe takes it whole and never mixes it with another
// writer's, or, without blocking, refuses it whole while it is full.
void copy_to_stream(const char* line, size_t size) {
    char piece[PIPE_BUF];
    const char* out = line;
    if (size > PIPE_BUF) {
        size = logger_stream_piece(piece, line, size);
        out = piece;
    }
    (void)!write(stream, out, size);
}

// The log is opened for every entry, so a rotation by rename needs no signal, and written
// with one append, so entries of concurrent processes never interleave. O_NONBLOCK keeps a
// FIFO put in its place from hanging the process. A log or a stream that cannot be opened or
// written loses the entry and nothing else: the results of the writes and the close are
// ignored on purpose.
void append_to_log(const char* line, size_t size) {
    const int saved_errno = errno;
    const int log = open("zolt.log", O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0644);
    if (log >= 0) {
        (void)!write(log, line, size);
        close(log);
    }
    if (stream >= 0) copy_to_stream(line, size);
    errno = saved_errno;
}

}  // namespace

size_t logger_format(char (&line)[LOG_LINE_SIZE], log_kind kind, const char* text1,
                     const char* text2, int number, line_feeds feeds) {
    if (kind == LOG_ERROR) return format_error(line, text1, text2, " exiting pid=");
    line_builder entry(line);
    entry.add(kind == LOG_INFO ? " INFO: " : kind == LOG_FORBIDDEN ? "FORBIDDEN: " : "NOT FOUND: ");
    entry.add_escaped(text1);
    entry.add(":");
    entry.add_escaped(text2, feeds == line_feeds::kept);
    if (kind == LOG_INFO) {
        entry.add(":");
        entry.add_number(number);
    }
    return entry.finish();
}

void logger_also_to(int output) {
    stream = output;
}

size_t logger_stream_piece(char (&piece)[PIPE_BUF], const char* line, size_t size) {
    if (size <= PIPE_BUF) {
        std::copy_n(line, size, piece);
        return size;
    }
    char mark[64];
    text_builder cut(mark, sizeof mark);
    cut.add(" [cut: ");
    cut.add_number(static_cast<long long>(size));
    cut.add(" bytes]\n");
    const size_t kept = PIPE_BUF - cut.size();
    std::copy_n(line, kept, piece);
    std::copy_n(mark, cut.size(), piece + kept);
    return PIPE_BUF;
}

void logger_info(const char* event, const char* text, int number) {
    char line[LOG_LINE_SIZE];
    append_to_log(line, logger_format(line, LOG_INFO, event, text, number));
}

void logger_header(const char* header, int number) {
    char line[LOG_LINE_SIZE];
    append_to_log(line, logger_format(line, LOG_INFO, "Header", header, number, line_feeds::kept));
}

void logger_error_and_exit(const char* event, const char* text) {
    char line[LOG_LINE_SIZE];
    append_to_log(line, logger_format(line, LOG_ERROR, event, text, 0));
    _exit(EXIT_FAILED);
}

void logger_continuing(const char* event, const char* text) {
    char line[LOG_LINE_SIZE];
    append_to_log(line, format_error(line, event, text, " continuing pid="));
}

void logger_continuing_to(int fd, const char* event, const char* text) {
    char line[LOG_LINE_SIZE];
    write_all(fd, line, format_error(line, event, text, " continuing pid="));
}

void logger_refusal_and_exit(log_kind kind, const char* reason, const char* text) {
    char line[LOG_LINE_SIZE];
    append_to_log(line, logger_format(line, kind, reason, text, 0));
    _exit(EXIT_FAILED);
}
