// The error of reading a table.dat file (and of opening a table directory,
// which adds the Io and Storage cases).
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <variant>

#include "aipsio.h"
#include "tabledesc.h"

namespace orvala {

struct TableDatError {
    struct AipsIo {
        AipsIoError error;
    };
    // The table description or a column description failed.
    struct Desc {
        TableDescError error;
    };
    struct BadRootType {
        std::string found;
    };
    struct UnsupportedTableVersion {
        uint32_t version;
    };
    struct BadEndianness {
        uint32_t value;
    };
    // Another object where a known one must stand ("Block" in an SSM blob).
    struct UnexpectedType {
        std::string found;
        std::string expected;
    };
    // The version taken from the column set's first word (negated in 64
    // bits, so even INT32_MIN gives its true magnitude).
    struct UnsupportedColumnSetVersion {
        int64_t version;
    };
    struct NegativeRowCount {
        int64_t count;
    };
    struct UnsupportedPlainColumnVersion {
        uint32_t version;
    };
    // A "StandardStMan" whose settings blob is another object than "SSM".
    struct BadSsmBlobType {
        std::string found;
    };
    // table.dat could not be read: the operating system's message.
    struct Io {
        std::string text;
    };
    // A storage failure reported by the table layer.
    struct Storage {
        std::string text;
    };

    std::variant<AipsIo, Desc, BadRootType, UnsupportedTableVersion, BadEndianness, UnexpectedType,
                 UnsupportedColumnSetVersion, NegativeRowCount, UnsupportedPlainColumnVersion, BadSsmBlobType, Io,
                 Storage>
        v;

    template <class T>
    TableDatError(T e) : v(std::move(e)) {}
    TableDatError(AipsIoError e) : v(AipsIo{std::move(e)}) {}
    TableDatError(TableDescError e) : v(Desc{std::move(e)}) {}

    // AipsIo, Desc, Io: the inner message unchanged;
    // table.dat root object has type "X", expected "Table"
    // unsupported table.dat version V (the format supports up to 3)
    // invalid endianness flag F in table.dat (expected 0 or 1)
    // unexpected object type "X", expected "Block"
    // unsupported column set version V in table.dat (expected 1 to 3)
    // negative row count N in the table.dat column set
    // unsupported PlainColumn class version V
    // data-manager blob has type "X", expected "SSM" for "StandardStMan"
    // storage error: TEXT
    std::string message() const;
};

template <class T>
using TableDatResult = std::expected<T, TableDatError>;

}  // namespace orvala
