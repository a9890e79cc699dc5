#include "types.h"

#include <gtest/gtest.h>

namespace orvala {
namespace {

TEST(ValueType, CasaNamesAndAliasesInAnyCase) {
    struct Case { const char* name; const char* numpy; };
    const Case cases[] = {
        {"boolean", "bool"}, {"Bool", "bool"}, {"BOOL", "bool"}, {"uchar", "uint8"},
        {"byte", "uint8"}, {"smallint", "int16"}, {"USmallInt", "uint16"},
        {"Integer", "int32"}, {"uinteger", "uint32"}, {"int64", "int64"},
        {"float", "float32"}, {"double", "float64"}, {"fcomplex", "complex64"},
        {"dcomplex", "complex128"}, {"string", "object"}, {"record", "record"},
    };
    for (const auto& c : cases) {
        auto type = value_type_from_casa_name(c.name);
        ASSERT_TRUE(type.has_value()) << c.name;
        EXPECT_STREQ(numpy_name(*type), c.numpy) << c.name;
    }
}

TEST(ValueType, RejectsOtherNamesKeepingThemAsGiven) {
    for (const char* name : {"", " INT", "INT ", "char", "Table", "INT32"}) {
        auto type = value_type_from_casa_name(name);
        ASSERT_FALSE(type.has_value()) << name;
        EXPECT_EQ(type.error().name, name);
    }
    EXPECT_EQ(value_type_from_casa_name("").error().message(),
              "unknown CASA value type name: \"\"");
    EXPECT_EQ(value_type_from_casa_name("tAbLe").error().message(),
              "unknown CASA value type name: \"tAbLe\"");
}

TEST(ValueType, NumpyNamesAreExact) {
    EXPECT_STREQ(casa_name(*value_type_from_numpy_name("float64")), "DOUBLE");
    EXPECT_STREQ(casa_name(*value_type_from_numpy_name("uint8")), "BYTE");
    EXPECT_STREQ(casa_name(*value_type_from_numpy_name("object")), "STRING");
    EXPECT_FALSE(value_type_from_numpy_name("FLOAT64").has_value());
    EXPECT_EQ(value_type_from_numpy_name("int").error().message(), "unknown numpy dtype: \"int\"");
}

}  // namespace
}  // namespace orvala
