// What the IncrementalStMan and tiled writers take and give besides the cell
// values: the few facts of a column description they use, and their error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "record.h"

namespace orvala {

// One column as a writer of a data manager sees it. The table engine fills it
// from the column's description.
struct StoredColumn {
    std::string name;
    DataType data_type = DataType::Bool;  // the cell type; the element type for arrays
    bool is_array = false;                // an array column (else scalar or record)
    // The fixed cell shape in storage order (first axis varying fastest);
    // none when the column has no fixed shape.
    std::optional<std::vector<int64_t>> shape = std::nullopt;
};

// A writer refused the values. `NotScalar` names a column that the writer
// cannot store because it holds arrays; every other failure is a complete text.
struct StorageWriteError {
    enum class Kind { Message, NotScalar };
    Kind kind = Kind::Message;
    std::string text;  // Message: the message; NotScalar: the column name

    static StorageWriteError msg(std::string text) { return {Kind::Message, std::move(text)}; }
    static StorageWriteError not_scalar(std::string column) { return {Kind::NotScalar, std::move(column)}; }

    // NotScalar: "column C is not a scalar column (array columns are not
    // writable yet)"; Message: the text.
    std::string message() const {
        if (kind == Kind::NotScalar)
            return "column " + text + " is not a scalar column (array columns are not writable yet)";
        return text;
    }
};

}  // namespace orvala
