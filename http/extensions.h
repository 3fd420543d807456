// The one list of file kinds zolt sends, and their Content-Type values.
#pragma once

#include <string_view>

struct extension {
    const char* ext;       // must stand at the very end of the requested name, no dot needed
    const char* filetype;  // sent as the Content-Type
};

// Walked in order; the first row that matches wins, so "jpeg" and "html" are found by their
// own rows and not by a shorter one. The null row ends every walk.
inline constexpr extension extensions[] = {
    {"gif", "image/gif"}, {"jpg", "image/jpg"},  {"jpeg", "image/jpeg"}, {"png", "image/png"},
    {"ico", "image/ico"}, {"zip", "image/zip"},  {"gz", "image/gz"},     {"tar", "image/tar"},
    {"htm", "text/html"}, {"html", "text/html"}, {nullptr, nullptr},
};

// The Content-Type for a name by its ending (byte-exact, case-sensitive), or nullptr when
// zolt does not serve that kind.
constexpr const char* find_filetype(std::string_view name) {
    for (const extension* row = extensions; row->ext != nullptr; ++row) {
        if (name.ends_with(row->ext)) return row->filetype;
    }
    return nullptr;
}
