#include "table_read_error.h"

namespace orvala {

namespace {

template <class... F>
struct Overload : F... {
    using F::operator()...;
};

template <class T>
std::string bracketed(const std::vector<T>& values) {
    std::string out = "[";
    for (size_t i = 0; i < values.size(); ++i) {
        if (i) out += ", ";
        out += std::to_string(values[i]);
    }
    return out + "]";
}

}  // namespace

std::string TableReadError::message() const {
    return std::visit(
        Overload{
            [](const NoSuchColumn& e) { return "column " + e.column + " does not exist"; },
            [](const NotReadable& e) {
                return "column " + e.column + " is not backed by a readable data manager (" + e.text + ")";
            },
            [](const RowOutOfRange& e) {
                return "row " + std::to_string(e.row) + " is out of range for column " + e.column;
            },
            [](const SliceOutOfShape& e) {
                return "slice " + bracketed(e.start) + ".." + bracketed(e.end) + " does not fit the cell shape " +
                       bracketed(e.shape);
            },
            [](const RawUnsupported& e) {
                return "column " + e.column + ": cannot be served by the raw (borrowed-buffer) read path: " + e.reason;
            },
            [](const Ssm& e) { return e.error.message(); },
            [](const Ism& e) { return e.error.message(); },
            [](const Tsm& e) { return e.error.message(); },
            [](const Record& e) { return e.error.message(); },
        },
        v);
}

}  // namespace orvala
