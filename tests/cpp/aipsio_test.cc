#include "aipsio.h"

#include <gtest/gtest.h>

#include <functional>

#include "internal_error.h"
#include "test_bytes.h"

namespace orvala {
namespace {

using test::hex;

std::string err(const AipsIoError& e) { return e.message(); }

TEST(AipsIoWriter, EmptyTopLevelObjectIs17Bytes) {
    Writer w(/*little_endian=*/true);
    w.put_magic();
    w.put_object_start("X", 1);
    w.put_object_end();
    EXPECT_EQ(w.take(), hex("BEBEBEBE 0D000000 01000000 58 01000000"));
}

TEST(AipsIoWriter, NestedObjectsBackPatchedInnermostFirst) {
    Writer w(false);
    w.put_magic();
    w.put_object_start("A", 2);
    w.put_u16(0x0102);
    w.put_object_start("IPosition", 1);
    w.put_u32(1);
    w.put_i32(-1);
    w.put_object_end();
    w.put_object_end();
    EXPECT_EQ(w.take(), hex("BEBEBEBE"
                            "0000002C"       // A: 4 + 5 + 4 + 2 + 29
                            "00000001 41 00000002"
                            "0102"
                            "0000001D"       // IPosition: 4 + 13 + 4 + 4 + 4
                            "00000009 4950 6F73 6974 696F 6E 00000001"
                            "00000001 FFFFFFFF"));
}

TEST(AipsIoWriter, ValueEncodingsInBothOrders) {
    for (bool le : {false, true}) {
        Writer w(le);
        w.put_bool(true);
        w.put_i16(-2);
        w.put_i64(1);
        w.put_f32(1.0f);
        w.put_dcomplex({1.0, -2.0});
        w.put_string("hé");
        w.put_iposition(std::vector<int64_t>{0x1'0000'0003});  // low 32 bits kept
        auto bytes = w.take();
        Reader r(bytes, le);
        EXPECT_EQ(*r.read_bool(), true);
        EXPECT_EQ(*r.read_i16(), -2);
        EXPECT_EQ(*r.read_i64(), 1);
        EXPECT_EQ(*r.read_f32(), 1.0f);
        EXPECT_EQ(*r.read_dcomplex(), std::complex<double>(1.0, -2.0));
        EXPECT_EQ(*r.read_string(), "hé");
        EXPECT_EQ(*r.read_iposition(), std::vector<int64_t>{3});
        EXPECT_EQ(r.remaining(), 0u);
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 3), hex(le ? "01 FEFF" : "01 FFFE"));
    }
}

TEST(AipsIoWriter, EndWithoutStartIsInternalError) {
    Writer w(false);
    EXPECT_THROW(w.put_object_end(), InternalError);
}

TEST(AipsIoReader, ObjectHeaderAndMagicInEitherOrder) {
    auto le = hex("BEBEBEBE 0D000000 01000000 58 07000000");
    Reader r(le, true);
    auto h = r.read_object(true, "X");
    ASSERT_TRUE(h) << err(h.error());
    EXPECT_EQ(h->version, 7u);
    EXPECT_EQ(h->length, 13u);
    EXPECT_EQ(h->start, 4u);
    EXPECT_EQ(h->body_start, 17u);
    EXPECT_EQ(h->end(), 17u);

    auto be = hex("BEBEBEBE 0000000D 00000001 58 00000007");
    Reader rb(be, false);
    EXPECT_TRUE(rb.read_object(true, "X"));
}

TEST(AipsIoReader, BoolTakesBitZero) {
    auto b = hex("03 02");
    Reader r(b, false);
    EXPECT_TRUE(*r.read_bool());
    EXPECT_FALSE(*r.read_bool());
}

TEST(AipsIoReader, IPositionVersions) {
    // Version 1 with 0xFFFFFFFF sign-extends; version 2 holds 64-bit values.
    auto v1 = hex("0000001D 00000009 49506F736974696F6E 00000001 00000001 FFFFFFFF");
    Reader r1(v1, false);
    EXPECT_EQ(*r1.read_iposition(), std::vector<int64_t>{-1});
    auto v2 = hex("00000021 00000009 49506F736974696F6E 00000002 00000001 0000000100000000");
    Reader r2(v2, false);
    EXPECT_EQ(*r2.read_iposition(), std::vector<int64_t>{int64_t{1} << 32});
    auto v3 = hex("00000019 00000009 49506F736974696F6E 00000003 00000000");
    Reader r3(v3, false);
    EXPECT_EQ(err(r3.read_iposition().error()), "unsupported object version 3");
}

TEST(AipsIoReader, Errors) {
    struct Case {
        const char* name;
        std::string bytes;
        std::function<std::string(Reader&)> read;
        std::string message;
    };
    auto msg = [](auto res) { return res ? std::string("ok") : res.error().message(); };
    const Case cases[] = {
        {"empty", "", [&](Reader& r) { return msg(r.read_u32()); }, "buffer too short: need 4 bytes at offset 0, have 0"},
        {"bad magic", "BEBEBEBF 0000000D", [&](Reader& r) { return msg(r.read_object_start(true)); },
         "bad AipsIO magic at offset 0: expected 0xbebebebe, found 0xbebebebf"},
        {"string past end", "00000005 6162", [&](Reader& r) { return msg(r.read_string()); },
         "buffer too short: need 5 bytes at offset 4, have 6"},
        {"string not utf8", "00000002 C328", [&](Reader& r) { return msg(r.read_string()); },
         "invalid string at offset 0: not valid UTF-8"},
        {"wrong type", "0000000D 00000001 59 00000001", [&](Reader& r) { return msg(r.read_object(false, "X")); },
         "unexpected object type at offset 13: expected \"X\", found \"Y\""},
        // The stored length must cover the header and fit in the slice.
        {"length past slice", "0000000E 00000001 58 00000001", [&](Reader& r) { return msg(r.read_object_start(false)); },
         "buffer too short: need 14 bytes at offset 0, have 13"},
        {"length below header", "00000004 00000001 58 00000001",
         [&](Reader& r) { return msg(r.read_object_start(false)); }, "bad object length 4 at offset 0"},
        {"skip past end", "0102", [&](Reader& r) { return msg(r.skip(3)); }, "buffer too short: need 3 bytes at offset 0, have 2"},
        {"bytes past end", "0102", [&](Reader& r) { return msg(r.read_bytes(3)); },
         "buffer too short: need 3 bytes at offset 0, have 2"},
        // A huge IPosition count fails before any allocation, at the first element that is missing.
        {"iposition count", "00000019 00000009 49506F736974696F6E 00000001 7FFFFFFF 00000001",
         [&](Reader& r) { return msg(r.read_iposition()); }, "buffer too short: need 4 bytes at offset 29, have 29"},
        {"count bound", "FFFFFFFF 00", [&](Reader& r) { return msg(r.read_count(1)); },
         "buffer too short: need 4294967295 bytes at offset 4, have 5"},
    };
    for (const auto& c : cases) {
        auto bytes = hex(c.bytes);
        Reader r(bytes, false);
        EXPECT_EQ(c.read(r), c.message) << c.name;
        EXPECT_EQ(r.position(), 0u) << c.name << ": a failed read must not move";
    }
}

TEST(AipsIoReader, SubSpanReaderAndSeek) {
    auto bytes = hex("AAAA 00000007 BB");
    Reader r(std::span<const uint8_t>(bytes).subspan(2, 4), false);
    EXPECT_EQ(*r.read_u32(), 7u);
    EXPECT_FALSE(r.read_u8());
    EXPECT_TRUE(r.seek(0));
    EXPECT_FALSE(r.seek(5));
    EXPECT_EQ(r.position(), 0u);
}

TEST(AipsIoReader, BlockCountBoundedByBytesLeft) {
    Writer w(false);
    w.put_object_start("Block", 1);
    w.put_u32(3);
    for (int i = 0; i < 3; ++i) w.put_u64(i);
    w.put_object_end();
    auto bytes = w.take();
    Reader ok(bytes, false);
    EXPECT_EQ(*ok.read_block_start(8), 3u);
    Reader too_many(bytes, false);
    EXPECT_FALSE(too_many.read_block_start(9));
}

}  // namespace
}  // namespace orvala
