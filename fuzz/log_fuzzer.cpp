// libFuzzer harness over log entry formatting: whatever texts a client sends, an entry fits
// the log line, ends with its line feed, carries no control byte but line feeds, and is never
// cut inside a \xHH escape.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "log/logger.h"

namespace {

void require(bool condition) {
    if (!condition) abort();
}

bool is_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

}  // namespace

// The first byte picks the kind, the next four the number; the rest, split at the first 0xff,
// are the two texts. Backslashes become slashes, so every \x in an entry is an escape.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static char texts[2][3 * LOG_LINE_SIZE];
    if (size < 5) return 0;
    constexpr log_kind kinds[] = {LOG_ERROR, LOG_INFO, LOG_FORBIDDEN, LOG_NOT_FOUND};
    const log_kind kind = kinds[data[0] % 4];
    int number;
    memcpy(&number, data + 1, sizeof number);
    data += 5;
    size -= 5;
    const uint8_t* split = static_cast<const uint8_t*>(memchr(data, 0xff, size));
    const size_t first = split != nullptr ? static_cast<size_t>(split - data) : size;
    const size_t second = split != nullptr ? size - first - 1 : 0;
    const size_t lengths[2] = {std::min(first, sizeof texts[0] - 1),
                               std::min(second, sizeof texts[1] - 1)};
    const uint8_t* starts[2] = {data, split != nullptr ? split + 1 : data};
    for (int t = 0; t < 2; ++t) {
        memcpy(texts[t], starts[t], lengths[t]);
        texts[t][lengths[t]] = '\0';
        std::replace(texts[t], texts[t] + lengths[t], '\\', '/');
    }

    static char line[LOG_LINE_SIZE];
    const size_t length = logger_format(line, kind, texts[0], texts[1], number);
    require(length >= 1 && length <= sizeof line);
    require(line[length - 1] == '\n');
    for (size_t i = 0; i + 1 < length; ++i) {
        const auto byte = static_cast<unsigned char>(line[i]);
        require(byte == '\n' || (byte >= 0x20 && byte != 0x7f));
        if (line[i] == '\\') {
            require(i + 4 < length && line[i + 1] == 'x' && is_hex(line[i + 2]) &&
                    is_hex(line[i + 3]));
        }
    }
    return 0;
}
