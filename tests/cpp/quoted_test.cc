#include "quoted.h"

#include <gtest/gtest.h>

namespace orvala {
namespace {

TEST(Quoted, EscapesAsMessagesShowThem) {
    struct Case { std::string in, out; };
    const Case cases[] = {
        {"", "\"\""},
        {"INT", "\"INT\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {std::string("t\tr\rn\nz\0.", 9), "\"t\\tr\\rn\\nz\\0.\""},
        {"\x1b\x7f", "\"\\u{1b}\\u{7f}\""},
        {"h\xc3\xa9llo", "\"h\xc3\xa9llo\""},  // printable UTF-8 unchanged
        {"\xff", "\"\\u{ff}\""},                 // a byte that is not UTF-8
    };
    for (const auto& c : cases) EXPECT_EQ(quoted_form(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace orvala
