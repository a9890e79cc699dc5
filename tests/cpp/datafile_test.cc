#include "datafile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "aipsio.h"

namespace orvala {
namespace {

std::string temp_path(const char* name) {
    return std::string(::testing::TempDir()) + "/orvala_datafile_" + name;
}

TEST(Buffer, MapsWholeFile) {
    auto path = temp_path("data");
    std::ofstream(path, std::ios::binary) << "\xBE\xBE\xBE\xBEhello";
    auto b = Buffer::open(path);
    ASSERT_TRUE(b) << b.error().message();
    EXPECT_TRUE(b->is_mapped());
    ASSERT_EQ(b->size(), 9u);
    EXPECT_EQ(b->bytes()[4], 'h');
    Buffer moved = std::move(*b);
    EXPECT_EQ(moved.bytes()[8], 'o');
    moved.drop_pages();
    EXPECT_EQ(moved.bytes()[8], 'o');  // pages come back from the file
    std::remove(path.c_str());
}

TEST(Buffer, EmptyFileIsOwnedEmptyBuffer) {
    auto path = temp_path("empty");
    std::ofstream(path, std::ios::binary).close();
    auto b = Buffer::open(path);
    ASSERT_TRUE(b);
    EXPECT_FALSE(b->is_mapped());
    EXPECT_EQ(b->size(), 0u);
    EXPECT_FALSE(b->drop_pages());
    Reader r(b->bytes(), false);
    EXPECT_EQ(r.read_u8().error().message(), "buffer too short: need 1 bytes at offset 0, have 0");
    std::remove(path.c_str());
}

TEST(Buffer, MissingFileNamesThePath) {
    auto b = Buffer::open("/nonexistent/orvala/table.f0");
    ASSERT_FALSE(b);
    EXPECT_EQ(b.error().message(), "/nonexistent/orvala/table.f0: No such file or directory (os error 2)");
}

}  // namespace
}  // namespace orvala
