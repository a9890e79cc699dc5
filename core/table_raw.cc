// The raw column path: stored cell bytes straight from the mapped files into
// a sink, a contiguous run at a time, without a value per cell.
#include <algorithm>

#include "byteorder.h"
#include "table.h"
#include "table_internal.h"

namespace orvala {

namespace {

bool raw_element_type(DataType t) {
    switch (t) {
        case DataType::Bool:
        case DataType::UChar:
        case DataType::Short:
        case DataType::UShort:
        case DataType::Int:
        case DataType::UInt:
        case DataType::Float:
        case DataType::Double:
        case DataType::Complex:
        case DataType::DComplex:
        case DataType::Int64: return true;
        default: return false;
    }
}

bool is_tiled(const std::string& type) { return type == "TiledShapeStMan" || type == "TiledColumnStMan"; }

std::string shape_text(const std::vector<uint32_t>& shape) {
    std::string out = "[";
    for (size_t i = 0; i < shape.size(); ++i) {
        if (i) out += ", ";
        out += std::to_string(shape[i]);
    }
    return out + "]";
}

}  // namespace

uint32_t Table::raw_element_bytes(DataType element) {
    switch (element) {
        case DataType::Bool:
        case DataType::Char:
        case DataType::UChar: return 1;
        case DataType::Short:
        case DataType::UShort: return 2;
        case DataType::Int:
        case DataType::UInt:
        case DataType::Float: return 4;
        case DataType::Double:
        case DataType::Complex:
        case DataType::Int64: return 8;
        case DataType::DComplex: return 16;
        default: return 0;
    }
}

namespace {

// Why the raw path cannot serve a column of this description and manager
// type; none when it can.
std::optional<std::string> raw_refusal(const ColumnDesc& d, const std::string& manager) {
    if (d.kind == ColumnKind::Record || !raw_element_type(d.data_type))
        return std::string("element type ") + data_type_name(d.data_type) + " has no fixed-width raw form";
    if (d.kind == ColumnKind::Array) {
        auto n = fixed_shape_elements(d);
        if (!n) return std::string("array column without a usable fixed shape");
        if (*n > UINT64_MAX / 16) return std::string("cell shape too large");
    }
    if (manager == "StandardStMan") {
        if (d.data_type == DataType::Bool) return std::string("bit-packed StandardStMan Bool");
        return std::nullopt;
    }
    if (is_tiled(manager)) {
        if (d.kind != ColumnKind::Array) return std::string("tiled scalar column");
        return std::nullopt;
    }
    if (manager == "IncrementalStMan") {
        if (d.kind != ColumnKind::Scalar) return std::string("IncrementalStMan array column");
        return std::nullopt;
    }
    return "data manager " + manager;
}

TableReadError raw_unsupported(const std::string& column, std::string reason) {
    return TableReadError{TableReadError::RawUnsupported{column, std::move(reason)}};
}

// Sinks may leave the column of their RawUnsupported empty.
TableReadError with_column(TableReadError e, const std::string& column) {
    if (auto* r = std::get_if<TableReadError::RawUnsupported>(&e.v))
        if (r->column.empty()) r->column = column;
    return e;
}

// Releases the table's mapped pages as a raw read advances: after every
// kRawDropRows rows, once kRawDropBytes of cells have passed since the last
// release. Releasing a whole mapping costs a walk over its page tables (and
// the next touch maps the current region again), so a release per few
// kilobytes of a narrow column would cost more than the copy itself.
class DropCadence {
public:
    DropCadence(const Table& t, uint64_t cell_bytes) : table_(t), cell_bytes_(cell_bytes) {}
    void rows(uint64_t n) {
        rows_ += n;
        bytes_ += n * cell_bytes_;
        if (rows_ >= kRawDropRows && bytes_ >= kRawDropBytes) {
            table_.drop_pages();
            rows_ = 0;
            bytes_ = 0;
        }
    }

private:
    const Table& table_;
    uint64_t cell_bytes_;
    uint64_t rows_ = 0;
    uint64_t bytes_ = 0;
};

}  // namespace

bool Table::raw_column_supported(size_t column) const {
    return !raw_refusal(desc().columns.at(column), data_manager_type(column));
}

std::vector<uint64_t> Table::raw_cell_shape(size_t column) const {
    const ColumnDesc& d = desc().columns.at(column);
    if (d.kind != ColumnKind::Array || !d.shape) return {};
    return std::vector<uint64_t>(d.shape->rbegin(), d.shape->rend());
}

size_t Table::raw_swap_unit(size_t column) const {
    return orvala::raw_swap_unit(desc().columns.at(column).data_type, big_endian());
}

TableReadResult<std::vector<uint8_t>> Table::tsm_default_bytes(const ColumnDesc& d) const {
    auto bits = tsm_element_bits(d.data_type);
    if (!bits) return std::unexpected(TableReadError(TsmError{TsmError::UnsupportedType{d.data_type}}));
    int64_t product = 0;
    if (d.has_fixed_shape()) {
        product = 1;
        for (int64_t e : *d.shape)
            if (__builtin_mul_overflow(product, e, &product))
                return std::unexpected(TableReadError(TsmError{TsmError::Message{
                    "column " + d.name + ": a never-stored cell of its shape is too large to build"}}));
    }
    const uint64_t count = product < 0 ? 0 : static_cast<uint64_t>(product);
    const uint64_t bytes = *bits == 1 ? count / 8 + (count % 8 != 0) : count;
    const uint64_t width = *bits == 1 ? 1 : *bits / 8;
    if (bytes > kMaxSynthesizedCellBytes / width)
        return std::unexpected(TableReadError(TsmError{TsmError::Message{
            "column " + d.name + ": a never-stored cell of its shape is too large to build"}}));
    return std::vector<uint8_t>(bytes * width, 0);
}

TableReadResult<void> Table::getcol_raw(size_t column, uint64_t first, uint64_t count, RawSink& sink) const {
    const ColumnDesc& d = desc().columns.at(column);
    auto src = column_source(column);
    if (!src) {
        if (const auto* nr = src.error().get<TableReadError::NotReadable>())
            return std::unexpected(raw_unsupported(nr->column, nr->text));
        return std::unexpected(std::move(src.error()));
    }
    if (std::holds_alternative<ColumnSource::Tiled>(src->v) && d.data_type == DataType::Bool)
        return std::unexpected(raw_unsupported(d.name, "bit-packed tiled Bool (use getcol_raw_bits)"));
    if (auto why = raw_refusal(d, data_manager_type(column))) return std::unexpected(raw_unsupported(d.name, *why));
    if (auto ok = check_rows(column, first, count); !ok) return std::unexpected(std::move(ok.error()));

    TableReadResult<void> ok;
    if (const auto* s = std::get_if<ColumnSource::Standard>(&src->v)) ok = raw_standard(column, *s, first, count, sink);
    else if (const auto* s = std::get_if<ColumnSource::Incremental>(&src->v))
        ok = raw_incremental(column, *s, first, count, sink);
    else ok = raw_tiled(column, std::get<ColumnSource::Tiled>(src->v), first, count, sink);
    drop_pages();
    if (!ok) return std::unexpected(with_column(std::move(ok.error()), d.name));
    return {};
}

TableReadResult<void> Table::raw_standard(size_t column, const ColumnSource::Standard& s, uint64_t first,
                                          uint64_t count, RawSink& sink) const {
    const ColumnDesc& d = desc().columns[column];
    auto plan = ssm_plan(*s.file, *s.settings, s.index, d);
    if (!plan) return std::unexpected(TableReadError(std::move(plan.error())));
    auto cursor = s.file->runs(plan->layout, first, count);
    if (!cursor) return std::unexpected(TableReadError(std::move(cursor.error())));
    const uint64_t cell_bytes = d.kind == ColumnKind::Scalar ? raw_element_bytes(d.data_type)
                                : *fixed_shape_elements(d) * raw_element_bytes(d.data_type);
    DropCadence cadence(*this, cell_bytes);
    SsmRun run;
    if (d.kind == ColumnKind::Scalar || plan->direct) {
        // A bucket's region holds the cells of its rows back to back.
        for (;;) {
            auto more = cursor->next(run);
            if (!more) return std::unexpected(TableReadError(std::move(more.error())));
            if (!*more) return {};
            if (auto ok = sink.put_run(run.bytes, run.rows); !ok) return ok;
            cadence.rows(run.rows);
        }
    }
    // Array cells: the bucket holds each row's position in the array file,
    // where every array is its own run behind its shape. A row without an
    // array reads as zeros, as on the value path.
    const std::vector<uint32_t> shape = c_order_shape(*d.shape);
    const bool be = s.file->big_endian();
    SsmArrayRegion region;
    std::vector<uint8_t> zero;
    for (;;) {
        auto more = cursor->next(run);
        if (!more) return std::unexpected(TableReadError(std::move(more.error())));
        if (!*more) return {};
        for (uint64_t i = 0; i < run.rows; ++i) {
            const uint64_t row = run.first_row + i;
            const int64_t ref = load_i64(run.bytes.data() + i * 8, !be);
            if (ref == 0) {
                if (zero.empty()) {
                    const uint64_t bytes = *fixed_shape_elements(d) * raw_element_bytes(d.data_type);
                    if (bytes > kMaxSynthesizedCellBytes)
                        return std::unexpected(TableReadError(SsmError{SsmError::EmptyArrayRef{row, d.name}}));
                    zero.assign(bytes, 0);
                }
                if (auto ok = sink.put_repeated(zero, 1); !ok) return ok;
                continue;
            }
            if (auto ok = s.file->array_region_at(ref, d.data_type, d.name, region); !ok)
                return std::unexpected(TableReadError(std::move(ok.error())));
            if (region.shape != shape)
                return std::unexpected(raw_unsupported(d.name, "row " + std::to_string(row) + " holds a cell of shape " +
                                                                   shape_text(region.shape) + ", expected " +
                                                                   shape_text(shape)));
            if (auto ok = sink.put_run(region.bytes, 1); !ok) return ok;
        }
        cadence.rows(run.rows);
    }
}

TableReadResult<void> Table::raw_incremental(size_t column, const ColumnSource::Incremental& s, uint64_t first,
                                             uint64_t count, RawSink& sink) const {
    const ColumnDesc& d = desc().columns[column];
    auto reader = s.file->runs(ism_column(d, s.index), first, count);
    if (!reader) return std::unexpected(TableReadError(std::move(reader.error())));
    const uint32_t expected = raw_element_bytes(d.data_type);
    DropCadence cadence(*this, expected);
    for (;;) {
        auto run = reader->next();
        if (!run) return std::unexpected(TableReadError(std::move(run.error())));
        if (!*run) return {};
        std::span<const uint8_t> value = (*run)->value;
        if (value.size() != expected)
            return std::unexpected(raw_unsupported(d.name, "stored cell has " + std::to_string(value.size()) +
                                                               " bytes, expected " + std::to_string(expected)));
        // A stored Bool is true when its bit 0 is set; the raw form is 0 or 1.
        uint8_t flag;
        if (d.data_type == DataType::Bool) {
            flag = value[0] & 1;
            value = {&flag, 1};
        }
        if (auto ok = sink.put_repeated(value, (*run)->rows); !ok) return ok;
        cadence.rows((*run)->rows);
    }
}

TableReadResult<void> Table::raw_tiled(size_t column, const ColumnSource::Tiled& t, uint64_t first, uint64_t count,
                                       RawSink& sink) const {
    const ColumnDesc& d = desc().columns[column];
    const uint64_t elements = *fixed_shape_elements(d);  // checked by raw_refusal
    const uint64_t cell_bytes = elements * tsm_element_bytes(d.data_type);
    // Cells are assembled from the tiles (a run of one tile is one copy),
    // straight into the sink's window when it offers one, else through a
    // scratch buffer of about 1 MiB.
    const uint64_t chunk_rows =
        std::max<uint64_t>(1, std::min<uint64_t>(kRawDropRows, cell_bytes ? (uint64_t{1} << 20) / cell_bytes : kRawDropRows));
    std::vector<uint8_t> scratch;
    DropCadence cadence(*this, cell_bytes);
    for (uint64_t row = first; row - first < count;) {
        const uint64_t n = std::min(chunk_rows, count - (row - first));
        std::span<uint8_t> window = sink.window(n);
        const bool direct = !window.empty();
        if (direct && window.size() / n != cell_bytes)
            return std::unexpected(raw_unsupported(d.name, "stored cell has " + std::to_string(cell_bytes) +
                                                               " bytes, expected " + std::to_string(window.size() / n)));
        if (!direct) {
            if (cell_bytes > kMaxSynthesizedCellBytes)
                return std::unexpected(raw_unsupported(d.name, "cell of " + std::to_string(cell_bytes) +
                                                                   " bytes is too large to stage"));
            scratch.resize(n * cell_bytes);
            window = scratch;
        }
        if (auto ok = t.file->read_cells_raw(d.data_type, row, n, elements, window, static_cast<uint32_t>(t.index));
            !ok)
            return std::unexpected(TableReadError(std::move(ok.error())));
        auto ok = direct ? sink.commit(n) : sink.put_run(window, n);
        if (!ok) return ok;
        row += n;
        cadence.rows(n);
    }
    return {};
}

TableReadResult<void> Table::getcol_raw_bits(size_t column, uint64_t first, uint64_t count, uint8_t* out,
                                             size_t capacity) const {
    const ColumnDesc& d = desc().columns.at(column);
    auto src = column_source(column);
    if (!src) {
        if (const auto* nr = src.error().get<TableReadError::NotReadable>())
            return std::unexpected(raw_unsupported(nr->column, nr->text));
        return std::unexpected(std::move(src.error()));
    }
    const auto* t = std::get_if<ColumnSource::Tiled>(&src->v);
    auto elements = fixed_shape_elements(d);
    if (!t || d.data_type != DataType::Bool || d.kind != ColumnKind::Array || !elements)
        return std::unexpected(raw_unsupported(d.name, "not a tiled Bool array column with a fixed shape"));
    if (auto ok = check_rows(column, first, count); !ok) return std::unexpected(std::move(ok.error()));
    uint64_t need;
    if (__builtin_mul_overflow(count, *elements, &need) || need > capacity)
        return std::unexpected(raw_unsupported(d.name, std::to_string(count) + " cells of " +
                                                           std::to_string(*elements) + " bytes do not fit the " +
                                                           std::to_string(capacity) + " bytes of the buffer"));
    for (uint64_t done = 0; done < count;) {
        const uint64_t n = std::min(kRawDropRows, count - done);
        auto ok = t->file->read_cells_raw(DataType::Bool, first + done, n, *elements,
                                          {out + done * *elements, static_cast<size_t>(n * *elements)},
                                          static_cast<uint32_t>(t->index));
        if (!ok) {
            drop_pages();
            return std::unexpected(TableReadError(std::move(ok.error())));
        }
        done += n;
        drop_pages();
    }
    return {};
}

}  // namespace orvala
