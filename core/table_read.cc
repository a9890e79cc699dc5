// Reading stored cells as values: one cell, a run of rows, a slice of a cell.
#include "byteorder.h"
#include "internal_error.h"
#include "table.h"
#include "table_internal.h"
#include "table_ism_values.h"

namespace orvala {

namespace {

// The value of an IncrementalStMan column that is not a fixed-width scalar.
TableReadResult<RecordValue> decode_ism_value(const ColumnSource::Incremental& src, const ColumnDesc& d,
                                              std::span<const uint8_t> value, uint64_t row) {
    const bool be = src.file->big_endian();
    if (d.kind == ColumnKind::Scalar && d.data_type == DataType::String) {
        auto text = ism_string_value(value, be);
        if (!text) return std::unexpected(TableReadError(std::move(text.error())));
        return RecordValue(std::move(*text));
    }
    if (d.kind != ColumnKind::Array || d.data_type == DataType::String)
        return std::unexpected(TableReadError(IsmError{IsmError::NotScalar{d.name}}));
    auto ref = ism_array_ref(value, be);
    if (!ref) return std::unexpected(TableReadError(std::move(ref.error())));
    if (*ref == 0) {
        if (auto v = undefined_array_cell(d)) return std::move(*v);
        return std::unexpected(TableReadError(SsmError{SsmError::EmptyArrayRef{row, d.name}}));
    }
    if (!src.array_file)
        return std::unexpected(TableReadError(IsmError{IsmError::Corrupt{
            "array column " + d.name + " of the IncrementalStMan has no array file"}}));
    auto region = array_file_region(src.array_file->bytes(), be, *ref, d.data_type);
    if (!region) return std::unexpected(TableReadError(std::move(region.error())));
    auto a = decode_array_region(*region, d.data_type, be);
    if (!a) return std::unexpected(TableReadError(std::move(a.error())));
    return RecordValue(std::move(*a));
}

bool ism_fixed_width(const ColumnDesc& d) { return d.kind == ColumnKind::Scalar && d.data_type != DataType::String; }

// A never-stored tiled cell.
TableReadResult<RecordValue> zero_tiled_cell(const ColumnDesc& d) {
    if (!tsm_element_bits(d.data_type))
        return std::unexpected(TableReadError(TsmError{TsmError::UnsupportedType{d.data_type}}));
    if (auto v = undefined_array_cell(d)) return std::move(*v);
    return std::unexpected(TableReadError(TsmError{TsmError::Message{
        "column " + d.name + ": a never-stored cell of its shape is too large to build"}}));
}

// A reader's "row not covered" as RowOutOfRange of the column.
TableReadError row_error(TableReadError e, const std::string& column) {
    if (const auto* s = e.get<TableReadError::Ssm>())
        if (const auto* r = s->error.get<SsmError::RowNotCovered>())
            return TableReadError::RowOutOfRange{r->row, column};
    if (const auto* i = e.get<TableReadError::Ism>())
        if (const auto* r = std::get_if<IsmError::RowNotCovered>(&i->error.v))
            return TableReadError::RowOutOfRange{r->row, column};
    return e;
}

}  // namespace

TableReadResult<void> Table::check_rows(size_t column, uint64_t first, uint64_t count) const {
    if (first > nrow_ || count > nrow_ - first)
        return std::unexpected(
            TableReadError{TableReadError::RowOutOfRange{std::max(first, nrow_), desc().columns[column].name}});
    return {};
}

TableReadResult<RecordValue> Table::read_cell_from(const ColumnSource& source, const ColumnDesc& d,
                                                   uint64_t row) const {
    if (row >= nrow_) return std::unexpected(TableReadError{TableReadError::RowOutOfRange{row, d.name}});
    if (const auto* s = std::get_if<ColumnSource::Standard>(&source.v)) {
        auto plan = ssm_plan(*s->file, *s->settings, s->index, d);
        if (!plan) return std::unexpected(TableReadError(std::move(plan.error())));
        auto cell = s->file->cell(plan->layout, row);
        if (!cell) return std::unexpected(TableReadError(std::move(cell.error())));
        return ssm_cell_value(*s->file, *plan, d, cell->bytes, cell->bit, row);
    }
    if (const auto* s = std::get_if<ColumnSource::Incremental>(&source.v)) {
        if (ism_fixed_width(d)) {
            auto v = s->file->read_cell(ism_column(d, s->index), row);
            if (!v) return std::unexpected(TableReadError(std::move(v.error())));
            return std::move(*v);
        }
        IsmValueWalker walker(*s->file, static_cast<uint32_t>(s->index), d.name, row, 1);
        auto run = walker.next();
        if (!run) return std::unexpected(TableReadError(std::move(run.error())));
        if (!*run) throw InternalError("IsmValueWalker gave no run for a row in range");
        return decode_ism_value(*s, d, (*run)->value, row);
    }
    const auto& t = std::get<ColumnSource::Tiled>(source.v);
    if (d.kind != ColumnKind::Array)
        return std::unexpected(TableReadError(TsmError{TsmError::Message{
            "column " + d.name + " is not an array column; tiled storage holds array columns only"}}));
    auto cell = t.file->read_cell(row, d.data_type, static_cast<uint32_t>(t.index));
    if (!cell) return std::unexpected(TableReadError(std::move(cell.error())));
    if (!*cell) return zero_tiled_cell(d);
    return RecordValue(std::move(**cell));
}

TableReadResult<RecordValue> Table::read_cell(size_t column, uint64_t row) const {
    auto src = column_source(column);
    if (!src) return std::unexpected(std::move(src.error()));
    return read_cell_from(*src, desc().columns[column], row);
}

TableReadResult<std::vector<RecordValue>> Table::getcol(size_t column, uint64_t first, uint64_t count) const {
    auto src = column_source(column);
    if (!src) return std::unexpected(std::move(src.error()));
    if (auto ok = check_rows(column, first, count); !ok) return std::unexpected(std::move(ok.error()));
    const ColumnDesc& d = desc().columns[column];
    std::vector<RecordValue> out;
    // Grown as cells arrive: the row count comes from files, so a run that
    // the data does not hold fails before it is allocated.
    auto read = [&]() -> TableReadResult<void> {
        if (const auto* s = std::get_if<ColumnSource::Standard>(&src->v)) {
            auto plan = ssm_plan(*s->file, *s->settings, s->index, d);
            if (!plan) return std::unexpected(TableReadError(std::move(plan.error())));
            auto cursor = s->file->runs(plan->layout, first, count);
            if (!cursor) return std::unexpected(TableReadError(std::move(cursor.error())));
            SsmRun run;
            for (;;) {
                auto more = cursor->next(run);
                if (!more) return std::unexpected(TableReadError(std::move(more.error())));
                if (!*more) return {};
                for (uint64_t i = 0; i < run.rows; ++i) {
                    auto [cell, bit] = ssm_run_cell(run, plan->layout, i);
                    auto v = ssm_cell_value(*s->file, *plan, d, cell, bit, run.first_row + i);
                    if (!v) return std::unexpected(std::move(v.error()));
                    out.push_back(std::move(*v));
                }
            }
        }
        if (const auto* s = std::get_if<ColumnSource::Incremental>(&src->v)) {
            if (ism_fixed_width(d)) {
                auto cells = s->file->read_column(ism_column(d, s->index), first, count);
                if (!cells) return std::unexpected(TableReadError(std::move(cells.error())));
                out = std::move(*cells);
                return {};
            }
            IsmValueWalker walker(*s->file, static_cast<uint32_t>(s->index), d.name, first, count);
            for (;;) {
                auto run = walker.next();
                if (!run) return std::unexpected(TableReadError(std::move(run.error())));
                if (!*run) return {};
                auto v = decode_ism_value(*s, d, (*run)->value, (*run)->first_row);
                if (!v) return std::unexpected(std::move(v.error()));
                out.insert(out.end(), (*run)->rows, *v);
            }
        }
        const auto& t = std::get<ColumnSource::Tiled>(src->v);
        if (d.kind != ColumnKind::Array) {
            if (count == 0) return {};
            auto v = read_cell_from(*src, d, first);  // gives the error
            return std::unexpected(std::move(v.error()));
        }
        auto cells = t.file->read_column(d.data_type, first, count, static_cast<uint32_t>(t.index));
        if (!cells) return std::unexpected(TableReadError(std::move(cells.error())));
        out.reserve(cells->size());
        std::optional<RecordValue> zero;
        for (auto& c : *cells) {
            if (c) {
                out.emplace_back(std::move(*c));
                continue;
            }
            if (!zero) {
                auto z = zero_tiled_cell(d);
                if (!z) return std::unexpected(std::move(z.error()));
                zero = std::move(*z);
            }
            out.push_back(*zero);
        }
        return {};
    };
    auto ok = read();
    if (!ok) return std::unexpected(row_error(std::move(ok.error()), d.name));
    if (out.size() != count)
        throw InternalError("Table::getcol: " + std::to_string(out.size()) + " cells for " + std::to_string(count) +
                            " rows");
    if (count >= kGetcolDropRows) drop_pages();
    return out;
}

TableReadResult<RecordValue> Table::getcellslice(size_t column, uint64_t row, std::span<const int64_t> start,
                                                 std::span<const int64_t> end) const {
    auto cell = read_cell(column, row);
    if (!cell) return std::unexpected(std::move(cell.error()));
    auto* a = std::get_if<ArrayValue>(&*cell);
    if (!a) return cell;
    auto s = slice_array_value(*a, start, end);
    if (!s) return std::unexpected(std::move(s.error()));
    return RecordValue(std::move(*s));
}

}  // namespace orvala
