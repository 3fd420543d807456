// What the server, the request handler and the logger share: the constants and logger kinds,
// and the two helpers all three use to build and send text.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <sys/types.h>
#include <unistd.h>

#include <string_view>

// One read from a client or from a file. The request buffer is one byte larger so the text
// can always be terminated, and a log line holds two of them.
inline constexpr int REQUEST_BUFFER_SIZE = 8096;
inline constexpr int LOG_LINE_SIZE = 2 * REQUEST_BUFFER_SIZE;

// Shown in the usage text and in the Server line of every 200 response.
inline constexpr int SERVER_VERSION = 23;

// The four kinds of log entry (log/logger.h), numbered as they always have been.
enum log_kind : int { LOG_ERROR = 42, LOG_INFO = 44, LOG_FORBIDDEN = 403, LOG_NOT_FOUND = 404 };

// Exit statuses.
inline constexpr int EXIT_USAGE = 0;
inline constexpr int EXIT_SERVED = 1;
inline constexpr int EXIT_FAILED = 3;
inline constexpr int EXIT_NO_CHDIR = 4;

// File sizes and offsets are 64-bit on every target, so files of 2 GiB and more are served
// with their exact length.
static_assert(sizeof(off_t) == 8, "build with -D_FILE_OFFSET_BITS=64");

// The listener closes the lowest descriptors at start, so that the log, the socket and the
// connections get the same numbers whatever zolt inherited; a descriptor it keeps (the report
// to the foreground, a container's log stream) is moved above them. Where the descriptor
// limit is lower, it stays where it is.
inline constexpr int LOW_DESCRIPTORS = 32;
inline int keep_above_low_descriptors(int descriptor) {
    const int high = fcntl(descriptor, F_DUPFD_CLOEXEC, LOW_DESCRIPTORS);
    if (high < 0) return descriptor;
    close(descriptor);
    return high;
}

// Writes all bytes, continuing after short writes; false when a write fails or times out.
inline bool write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t sent = write(fd, data, size);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

// Builds text into a fixed buffer from left to right, stopping silently at its end, without
// stdio: used for log entries and the response header, both on the request path.
class text_builder {
  public:
    text_builder(char* out, size_t capacity) : out_(out), capacity_(capacity) {}

    void add(std::string_view text) {
        for (char c : text) {
            if (!room_for(1)) return;
            out_[size_++] = c;
        }
    }

    // Control bytes are written as \xHH, so text from a client or the command line can carry
    // neither terminal escapes nor a line of its own into the log; line feeds are kept only
    // where asked. An escape is never cut in half.
    void add_escaped(const char* text, bool keep_line_feeds = false) {
        static constexpr char hex[] = "0123456789abcdef";
        for (; *text != '\0'; ++text) {
            const auto byte = static_cast<unsigned char>(*text);
            if ((byte >= 0x20 && byte != 0x7f) || (byte == '\n' && keep_line_feeds)) {
                if (!room_for(1)) return;
                out_[size_++] = *text;
            } else {
                if (!room_for(4)) return;
                out_[size_++] = '\\';
                out_[size_++] = 'x';
                out_[size_++] = hex[byte >> 4];
                out_[size_++] = hex[byte & 0xf];
            }
        }
    }

    void add_number(long long value) {
        char digits[24];
        size_t count = 0;
        unsigned long long magnitude =
            value < 0 ? 0ULL - static_cast<unsigned long long>(value) : value;
        do {
            digits[count++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        if (value < 0) digits[count++] = '-';
        if (!room_for(count)) return;
        while (count > 0)
            out_[size_++] = digits[--count];
    }

    size_t size() const { return size_; }

  private:
    bool room_for(size_t bytes) const { return size_ + bytes <= capacity_; }

    char* out_;
    size_t capacity_;
    size_t size_ = 0;
};
