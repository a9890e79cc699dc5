// StandardStMan cells as the table reads them: the column's layout (with
// direct array columns), and a cell's bytes turned into a value.
#include "byteorder.h"
#include "json.h"
#include "table.h"
#include "table_internal.h"

namespace orvala {

namespace {

// A record cell holds the record's JSON text; an empty text is an empty
// record (a cell that was never given one).
TableReadResult<RecordValue> record_from_text(const std::string& text) {
    if (text.empty()) return RecordValue(TableRecord{});
    auto r = parse_json_record(text);
    if (!r) return std::unexpected(TableReadError(std::move(r.error())));
    restore_json_arrays(*r);
    return RecordValue(std::move(*r));
}

// Element types a direct array column can hold (fixed width, whole bytes).
uint32_t direct_element_bytes(DataType t) {
    return t == DataType::Bool || t == DataType::String ? 0 : Table::raw_element_bytes(t);
}

}  // namespace

std::optional<RecordValue> undefined_array_cell(const ColumnDesc& d) {
    ArrayValue a;
    uint64_t n = 0;
    if (d.has_fixed_shape()) {
        auto count = fixed_shape_elements(d);
        // Strings and bits count as one byte each: only the count matters here.
        const uint64_t width = std::max<uint32_t>(1, Table::raw_element_bytes(d.data_type));
        if (!count || *count > kMaxSynthesizedCellBytes / width) return std::nullopt;
        a.shape = c_order_shape(*d.shape);
        n = *count;
    } else {
        a.shape.assign(d.ndim > 0 ? static_cast<size_t>(d.ndim) : 1, 0);
    }
    auto data = ArrayData::empty_of(d.data_type);
    if (!data) return std::nullopt;
    std::visit([&](auto& v) { v.resize(n); }, static_cast<ArrayDataVariant&>(*data));
    a.data = std::move(*data);
    return RecordValue(std::move(a));
}

SsmResult<SsmPlan> ssm_plan(const StandardStManFile& f, const StandardStMan& settings, size_t position,
                            const ColumnDesc& d) {
    SsmPlan p;
    p.col = cell_column(d);
    const uint32_t width = direct_element_bytes(d.data_type);
    auto elements = fixed_shape_elements(d);
    if (d.kind == ColumnKind::Array && (d.option & 1) && width && elements && *elements <= UINT32_MAX / width &&
        position < settings.column_offsets.size() && position < settings.column_index_map.size()) {
        const uint32_t index = settings.column_index_map[position];
        const uint32_t offset = settings.column_offsets[position];
        const uint64_t cell = *elements * width;
        if (index < f.indices().size()) {
            // The region runs to the next region of the same index, or to
            // the end of the bucket.
            uint64_t next = f.header().bucket_size;
            for (size_t j = 0; j < settings.column_offsets.size() && j < settings.column_index_map.size(); ++j)
                if (settings.column_index_map[j] == index && settings.column_offsets[j] > offset)
                    next = std::min<uint64_t>(next, settings.column_offsets[j]);
            const uint64_t rows = f.indices()[index].rows_per_bucket;
            if (next >= offset && rows > 0 && cell <= (next - offset) / rows) {
                p.direct = true;
                p.layout = SsmColumnLayout{index, offset, static_cast<uint32_t>(cell)};
                p.shape = c_order_shape(*d.shape);
                p.elements = *elements;
                return p;
            }
        }
    }
    auto layout = f.column_layout(settings, position, p.col);
    if (!layout) return std::unexpected(std::move(layout.error()));
    p.layout = *layout;
    return p;
}

std::pair<std::span<const uint8_t>, unsigned> ssm_run_cell(const SsmRun& run, const SsmColumnLayout& layout,
                                                           uint64_t i) {
    if (layout.cell_size == kBitCell) {
        const uint64_t b = run.first_bit + i;
        return {run.bytes.subspan(b / 8, 1), static_cast<unsigned>(b % 8)};
    }
    return {run.bytes.subspan(i * layout.cell_size, layout.cell_size), 0};
}

TableReadResult<RecordValue> ssm_cell_value(const StandardStManFile& f, const SsmPlan& plan, const ColumnDesc& d,
                                            std::span<const uint8_t> cell, unsigned bit, uint64_t row) {
    const bool be = f.big_endian();
    const CellColumn& col = plan.col;
    auto fail = [](SsmError e) { return std::unexpected(TableReadError(std::move(e))); };
    auto undefined = [&]() -> TableReadResult<RecordValue> {
        if (auto v = undefined_array_cell(d)) return std::move(*v);
        return fail(SsmError{SsmError::EmptyArrayRef{row, d.name}});
    };
    if (plan.direct) {
        SsmArrayRegion region{plan.shape, plan.elements, cell};
        auto a = decode_array_region(region, col.data_type, be);
        if (!a) return fail(a.error());
        return RecordValue(std::move(*a));
    }
    if (col.kind == CellKind::Array && col.data_type != DataType::String) {
        const int64_t ref = load_i64(cell.data(), !be);
        if (ref == 0) return undefined();
        SsmArrayRegion region;
        if (auto ok = f.array_region_at(ref, col.data_type, col.name, region); !ok) return fail(ok.error());
        auto a = decode_array_region(region, col.data_type, be);
        if (!a) return fail(a.error());
        return RecordValue(std::move(*a));
    }
    if (col.kind == CellKind::Array) {
        if (parse_string_ref(cell, be).length == 0) return undefined();
        auto content = f.read_string_array(cell);
        if (!content) return fail(content.error());
        return RecordValue(ArrayValue{std::move(content->shape), ArrayData(std::move(content->strings))});
    }
    if (col.kind == CellKind::Record) {
        if (parse_string_ref(cell, be).length == 0) return RecordValue(TableRecord{});
        auto text = f.read_record_text(cell);
        if (!text) return fail(text.error());
        return record_from_text(*text);
    }
    if (col.data_type == DataType::String && col.maxlen <= 0) {
        auto text = f.read_string_cell(cell);
        if (!text) return fail(text.error());
        return RecordValue(std::move(*text));
    }
    auto v = decode_scalar(cell, col, be, bit);
    if (!v) return fail(v.error());
    return std::move(*v);
}

}  // namespace orvala
