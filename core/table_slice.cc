// Cutting a rectangular part out of an array cell.
#include "table.h"

namespace orvala {

TableReadResult<ArrayValue> slice_array_value(const ArrayValue& array, std::span<const int64_t> start,
                                              std::span<const int64_t> end) {
    const std::vector<uint32_t>& d = array.shape;
    auto out_of_shape = [&] {
        return std::unexpected(TableReadError{TableReadError::SliceOutOfShape{
            std::vector<int64_t>(start.begin(), start.end()), std::vector<int64_t>(end.begin(), end.end()), d}});
    };
    const size_t ndim = d.size();
    if (start.size() != ndim || end.size() != ndim) return out_of_shape();
    for (size_t i = 0; i < ndim; ++i)
        if (start[i] < 0 || start[i] > end[i] || end[i] >= int64_t{d[i]}) return out_of_shape();

    // Row-major strides of d; the element count is that of the stored array.
    std::vector<uint64_t> stride(ndim, 1);
    uint64_t total = 1;
    for (size_t i = ndim; i-- > 0;) {
        stride[i] = total;
        if (__builtin_mul_overflow(total, uint64_t{d[i]}, &total)) return out_of_shape();
    }
    if (total != array.data.size()) return out_of_shape();

    ArrayValue out;
    out.shape.resize(ndim);
    uint64_t count = 1;
    for (size_t i = 0; i < ndim; ++i) {
        out.shape[i] = static_cast<uint32_t>(end[i] - start[i] + 1);
        count *= out.shape[i];
    }
    std::visit(
        [&](const auto& src) {
            std::remove_cvref_t<decltype(src)> dst;
            dst.reserve(count);
            // Walk the result's index k (first axis outermost), carrying the
            // source offset along.
            std::vector<uint32_t> k(ndim, 0);
            uint64_t base = 0;
            for (size_t i = 0; i < ndim; ++i) base += static_cast<uint64_t>(start[i]) * stride[i];
            if (ndim == 0) {
                dst.push_back(src[0]);
            } else {
                const uint64_t last = out.shape[ndim - 1];
                for (uint64_t done = 0; done < count; done += last) {
                    uint64_t at = base;
                    for (size_t i = 0; i + 1 < ndim; ++i) at += k[i] * stride[i];
                    for (uint64_t j = 0; j < last; ++j) dst.push_back(src[at + j]);
                    for (size_t i = ndim - 1; i-- > 0;) {
                        if (++k[i] < out.shape[i]) break;
                        k[i] = 0;
                    }
                }
            }
            out.data = ArrayData(std::move(dst));
        },
        static_cast<const ArrayDataVariant&>(array.data));
    return out;
}

}  // namespace orvala
