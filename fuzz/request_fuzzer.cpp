// libFuzzer harness over the request decisions: whatever bytes a client sends, a name that
// would be opened stays inside the top directory and has a served extension, and the text
// never runs past the request buffer.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "http/extensions.h"
#include "http/request.h"

namespace {

void require(bool condition) {
    if (!condition) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static request_buffer buffer;
    memset(buffer, 0, sizeof buffer);
    // An empty read is refused before any decision; a longer request is cut by the read.
    const size_t got = std::min(size, static_cast<size_t>(REQUEST_BUFFER_SIZE));
    if (got == 0) return 0;
    memcpy(buffer, data, got);
    // The decisions' precondition: every byte after the ones read is zero.
    static const request_buffer zeros{};
    require(memcmp(buffer + got, zeros, sizeof buffer - got) == 0);

    prepare_request(buffer, static_cast<long>(got));
    require(strnlen(buffer, sizeof buffer) < sizeof buffer);
    require(memchr(buffer, '\r', strlen(buffer)) == nullptr);
    require(memchr(buffer, '\n', strlen(buffer)) == nullptr);

    const verdict answer = judge_request(buffer);
    require(strnlen(buffer, sizeof buffer) < sizeof buffer);
    if (answer.refusal != nullptr) return 0;

    const char* name = file_name(buffer);
    require(name >= buffer && name < buffer + sizeof buffer);
    require(name[0] != '/');
    require(strstr(name, "..") == nullptr);
    require(answer.filetype != nullptr);
    require(find_filetype(name) == answer.filetype);
    require(strncmp(buffer, "GET ", 4) == 0 || strncmp(buffer, "get ", 4) == 0);
    return 0;
}
