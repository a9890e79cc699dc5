// The error of the IncrementalStMan and tiled writers.
#pragma once

#include <string>

namespace orvala {

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
