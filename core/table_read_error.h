// The error of every read from an opened table: cells, runs of rows, slices
// and the raw column path.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <variant>
#include <vector>

#include "ism.h"
#include "record.h"
#include "ssm_error.h"
#include "tsm.h"

namespace orvala {

struct TableReadError {
    struct NoSuchColumn {
        std::string column;
    };
    // The column's data manager has no open reader here (or no settings).
    struct NotReadable {
        std::string column;
        std::string text;
    };
    struct RowOutOfRange {
        uint64_t row;
        std::string column;
    };
    // Corners in C order, as the caller gave them; the cell's C-order shape.
    struct SliceOutOfShape {
        std::vector<int64_t> start;
        std::vector<int64_t> end;
        std::vector<uint32_t> shape;
    };
    // The raw path cannot serve the column (or a cell of it); callers may
    // fall back to the value path. Sinks may leave `column` empty: the table
    // fills it in.
    struct RawUnsupported {
        std::string column;
        std::string reason;
    };
    struct Ssm {
        SsmError error;
    };
    struct Ism {
        IsmError error;
    };
    struct Tsm {
        TsmError error;
    };
    // A record cell whose stored text is not a record.
    struct Record {
        RecordError error;
    };

    std::variant<NoSuchColumn, NotReadable, RowOutOfRange, SliceOutOfShape, RawUnsupported, Ssm, Ism, Tsm, Record> v;

    TableReadError(NoSuchColumn e) : v(std::move(e)) {}
    TableReadError(NotReadable e) : v(std::move(e)) {}
    TableReadError(RowOutOfRange e) : v(std::move(e)) {}
    TableReadError(SliceOutOfShape e) : v(std::move(e)) {}
    TableReadError(RawUnsupported e) : v(std::move(e)) {}
    TableReadError(Ssm e) : v(std::move(e)) {}
    TableReadError(Ism e) : v(std::move(e)) {}
    TableReadError(Tsm e) : v(std::move(e)) {}
    TableReadError(Record e) : v(std::move(e)) {}
    TableReadError(SsmError e) : v(Ssm{std::move(e)}) {}
    TableReadError(IsmError e) : v(Ism{std::move(e)}) {}
    TableReadError(TsmError e) : v(Tsm{std::move(e)}) {}
    TableReadError(RecordError e) : v(Record{std::move(e)}) {}

    template <class T>
    bool is() const { return std::holds_alternative<T>(v); }
    template <class T>
    const T* get() const { return std::get_if<T>(&v); }

    // column NAME does not exist
    // column NAME is not backed by a readable data manager (TEXT)
    // row R is out of range for column NAME
    // slice [0, 1]..[1, 2] does not fit the cell shape [3, 4]
    // column NAME: cannot be served by the raw (borrowed-buffer) read path: REASON
    // Ssm, Ism, Tsm, Record: the inner message unchanged
    std::string message() const;
};

template <class T>
using TableReadResult = std::expected<T, TableReadError>;

}  // namespace orvala
