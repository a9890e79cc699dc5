// The errors of editing and writing tables: TableCreateError for building
// and writing a table's files, WriteTableError for every edit and flush of a
// WritableTable (it carries a TableCreateError out of a full rewrite).
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <system_error>
#include <variant>

namespace orvala {

struct TableCreateError {
    // An operating-system failure or a writer's message: the text as it is.
    struct Io {
        std::string text;
    };
    // Also carries "N columns, M value lists" when the lists do not match
    // the columns.
    struct MissingValues {
        std::string column;
    };
    struct NotScalar {
        std::string column;
    };
    struct LongString {
        std::string column;
    };
    struct NotStandardStMan {
        std::string column;
    };
    struct RowCountMismatch {
        std::string column;
        uint64_t got = 0;
        uint64_t want = 0;
    };

    std::variant<Io, MissingValues, NotScalar, LongString, NotStandardStMan, RowCountMismatch> v;

    template <class T>
    TableCreateError(T e) : v(std::move(e)) {}
    static TableCreateError io(std::string text) { return TableCreateError(Io{std::move(text)}); }
    static TableCreateError os(const std::error_code& error);

    // Io: the text; "no rows supplied for column C";
    // "column C is not a scalar column (array columns are not writable yet)";
    // "string column C: strings longer than 8 chars need unsupported string buckets";
    // "column C is not backed by StandardStMan";
    // "value count G does not match row count W for column C"
    std::string message() const;
};

struct WriteTableError {
    struct RowOutOfRange {
        uint64_t row = 0;
        uint64_t nrow = 0;
    };
    struct NoSuchColumn {
        std::string name;
    };
    struct NoDefault {
        std::string name;
    };
    struct Create {
        TableCreateError error;
    };
    struct Storage {
        std::string text;
    };

    std::variant<RowOutOfRange, NoSuchColumn, NoDefault, Create, Storage> v;

    template <class T>
    WriteTableError(T e) : v(std::move(e)) {}
    WriteTableError(TableCreateError e) : v(Create{std::move(e)}) {}
    static WriteTableError storage(std::string text) { return WriteTableError(Storage{std::move(text)}); }

    template <class T>
    const T* get() const { return std::get_if<T>(&v); }

    // "row R is out of range (table has N rows)"; "column C does not exist";
    // "column C has no default value (fill every cell of array columns)";
    // Create: the inner message; "storage error: TEXT"
    std::string message() const;
};

template <class T>
using WriteResult = std::expected<T, WriteTableError>;
template <class T>
using CreateResult = std::expected<T, TableCreateError>;

// Storage with "PATH: OS ERROR TEXT".
WriteTableError storage_error(std::string_view path, const std::error_code& error);

}  // namespace orvala
