// Builds text into a fixed buffer from left to right, stopping silently at its end, without
// stdio: used for log entries and the response header, both on the request path.
#pragma once

#include <stddef.h>

#include <string_view>

class text_builder {
  public:
    text_builder(char* out, size_t capacity) : out_(out), capacity_(capacity) {}

    void add(std::string_view text) {
        for (char c : text) {
            if (!room_for(1)) return;
            out_[size_++] = c;
        }
    }

    // Control bytes other than line feeds are written as \xHH, so text from a client cannot
    // carry terminal escapes into the log. An escape is never cut in half.
    void add_escaped(const char* text) {
        static constexpr char hex[] = "0123456789abcdef";
        for (; *text != '\0'; ++text) {
            const auto byte = static_cast<unsigned char>(*text);
            if ((byte >= 0x20 && byte != 0x7f) || byte == '\n') {
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
