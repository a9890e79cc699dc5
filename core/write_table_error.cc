#include "write_table_error.h"

#include "datafile.h"

namespace orvala {

namespace {

template <class... F>
struct Overload : F... {
    using F::operator()...;
};

}  // namespace

TableCreateError TableCreateError::os(const std::error_code& error) { return io(os_error_text(error)); }

std::string TableCreateError::message() const {
    return std::visit(
        Overload{
            [](const Io& e) { return e.text; },
            [](const MissingValues& e) { return "no rows supplied for column " + e.column; },
            [](const NotScalar& e) {
                return "column " + e.column + " is not a scalar column (array columns are not writable yet)";
            },
            [](const LongString& e) {
                return "string column " + e.column + ": strings longer than 8 chars need unsupported string buckets";
            },
            [](const NotStandardStMan& e) { return "column " + e.column + " is not backed by StandardStMan"; },
            [](const RowCountMismatch& e) {
                return "value count " + std::to_string(e.got) + " does not match row count " +
                       std::to_string(e.want) + " for column " + e.column;
            },
        },
        v);
}

std::string WriteTableError::message() const {
    return std::visit(Overload{
                          [](const RowOutOfRange& e) {
                              return "row " + std::to_string(e.row) + " is out of range (table has " +
                                     std::to_string(e.nrow) + " rows)";
                          },
                          [](const NoSuchColumn& e) { return "column " + e.name + " does not exist"; },
                          [](const NoDefault& e) {
                              return "column " + e.name + " has no default value (fill every cell of array columns)";
                          },
                          [](const Create& e) { return e.error.message(); },
                          [](const Storage& e) { return "storage error: " + e.text; },
                      },
                      v);
}

WriteTableError storage_error(std::string_view path, const std::error_code& error) {
    return WriteTableError::storage(std::string(path) + ": " + os_error_text(error));
}

}  // namespace orvala
