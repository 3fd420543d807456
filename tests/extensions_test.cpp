#include <gtest/gtest.h>

#include "http/extensions.h"

namespace {

TEST(ContentTypes, LongerEndingsFindTheirOwnRowAndMatchingIsByteExact) {
    const struct {
        const char* name;
        const char* type;
    } cases[] = {
        {"a.jpeg", "image/jpeg"},
        {"a.jpg", "image/jpg"},
        {"a.html", "text/html"},
        {"a.htm", "text/html"},
        {"xgif", "image/gif"},
        {"a.tar.gz", "image/gz"},
        {"gz", "image/gz"},
        {"a.ico", "image/ico"},
        {"a.GIF", nullptr},
        {"a.gif?x=1", nullptr},
        {"a.txt", nullptr},
        {"a.gif ", nullptr},
        {"", nullptr},
        {"zolt.log", nullptr},
        {"sub/", nullptr},
    };
    for (const auto& c : cases) {
        const char* found = find_filetype(c.name);
        if (c.type == nullptr) {
            EXPECT_EQ(found, nullptr) << c.name;
        } else {
            ASSERT_NE(found, nullptr) << c.name;
            EXPECT_STREQ(found, c.type) << c.name;
        }
    }
}

TEST(ContentTypes, TableHoldsTenRowsInListingOrderThenTheNullRow) {
    std::string listing;
    size_t rows = 0;
    for (const extension* row = extensions; row->ext != nullptr; ++row, ++rows) {
        listing += std::string(" ") + row->ext;
    }
    EXPECT_EQ(rows, 10u);
    EXPECT_EQ(listing, " gif jpg jpeg png ico zip gz tar htm html");
    EXPECT_EQ(extensions[10].filetype, nullptr);
}

}  // namespace
