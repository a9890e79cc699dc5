#include "default_cell.h"

#include <string>

namespace orvala {

ArrayData zero_elements(DataType type, size_t n) {
    switch (type) {
        case DataType::Bool: return std::vector<bool>(n, false);
        case DataType::Char:
        case DataType::UChar: return std::vector<uint8_t>(n, 0);
        case DataType::Short: return std::vector<int16_t>(n, 0);
        case DataType::UShort: return std::vector<uint16_t>(n, 0);
        case DataType::Int: return std::vector<int32_t>(n, 0);
        case DataType::UInt: return std::vector<uint32_t>(n, 0);
        case DataType::Int64: return std::vector<int64_t>(n, 0);
        case DataType::Float: return std::vector<float>(n, 0.0f);
        case DataType::Double: return std::vector<double>(n, 0.0);
        case DataType::Complex: return std::vector<std::complex<float>>(n);
        case DataType::DComplex: return std::vector<std::complex<double>>(n);
        case DataType::String: return std::vector<std::string>(n);
        default: return std::vector<double>{};
    }
}

namespace {

constexpr uint64_t kMaxDefaultElements = uint64_t{1} << 28;
constexpr size_t kMaxDefaultAxes = 64;

bool has_scalar_cell(DataType type) {
    switch (type) {
        case DataType::Bool:
        case DataType::Char:
        case DataType::UChar:
        case DataType::Short:
        case DataType::UShort:
        case DataType::Int:
        case DataType::UInt:
        case DataType::Int64:
        case DataType::Float:
        case DataType::Double:
        case DataType::Complex:
        case DataType::DComplex:
        case DataType::String: return true;
        default: return false;
    }
}

}  // namespace

std::optional<RecordValue> default_cell_value(const ColumnDesc& column) {
    switch (column.kind) {
        case ColumnKind::Scalar:
            if (!has_scalar_cell(column.data_type)) return std::nullopt;
            return column.default_value;
        case ColumnKind::Record: return RecordValue(TableRecord{});
        case ColumnKind::Array: break;
    }
    DataType element = element_type(column.data_type);
    if (!has_scalar_cell(element)) return std::nullopt;
    ArrayValue cell;
    uint64_t count = 1;
    if (column.has_fixed_shape()) {
        // The shape comes from a file: a cell too large to hold in memory
        // has no usable default rather than an allocation failure.
        const auto& stored = *column.shape;  // first axis fastest
        if (stored.size() > kMaxDefaultAxes) return std::nullopt;
        cell.shape.reserve(stored.size());
        for (auto it = stored.rbegin(); it != stored.rend(); ++it) {
            uint64_t extent = *it < 0 ? 0 : static_cast<uint64_t>(*it);
            if (extent > kMaxDefaultElements) return std::nullopt;
            cell.shape.push_back(static_cast<uint32_t>(extent));
            count *= extent;
            if (count > kMaxDefaultElements) return std::nullopt;
        }
    }
    cell.data = zero_elements(element, count);
    return RecordValue(std::move(cell));
}

}  // namespace orvala
