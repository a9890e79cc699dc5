// IncrementalStMan values that are not fixed-width numbers, as files of
// other programs hold them (this system writes none):
//   String   u32 L, the value's whole length counting these 4 bytes, then
//            L - 4 bytes of text (UTF-8, invalid sequences replaced)
//   arrays   u64 position of the array in the manager's array file
//            "table.f<N>i" (the array file layout of ssm.h; 0: no array)
// Values are located like fixed-width ones (bucket, then the column's entry
// list, ism.h); a value runs at most to the end of its bucket's value area.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "ism.h"
#include "ssm.h"

namespace orvala {

// A run of rows sharing one stored value; `value` starts at the value and
// ends with the bucket's value area.
struct IsmValueRun {
    uint64_t first_row = 0;
    uint64_t rows = 0;
    std::span<const uint8_t> value;
};

// Walks the runs of one column over rows [first, first + count), one search
// per bucket.
class IsmValueWalker {
public:
    IsmValueWalker(const IsmFile& file, uint32_t position, std::string_view column, uint64_t first, uint64_t count);
    // The next run, none past the range.
    IsmResult<std::optional<IsmValueRun>> next();

private:
    const IsmFile* file_;
    uint32_t position_;
    std::string_view column_;
    uint64_t row_;
    uint64_t end_;
    const uint8_t* bucket_ = nullptr;
    uint32_t bucket_nr_ = 0;
    uint64_t bucket_start_ = 0;
    uint64_t bucket_end_ = 0;
    uint64_t data_end_ = 0;  // end of the value area, from the bucket's start
    ColumnIndex entries_;
    uint32_t entry_ = 0;
};

// The text of a String value.
IsmResult<std::string> ism_string_value(std::span<const uint8_t> value, bool big_endian);
// The array-file position of an array value (0: the row holds no array).
IsmResult<int64_t> ism_array_ref(std::span<const uint8_t> value, bool big_endian);

// The array at position `ref` of an array file (layout in ssm.h): a u32
// version at 0; from `ref` a u32 reference count when that version is not 0,
// u32 ndim, ndim u32 extents (first axis first), the elements. The region's
// shape is in C order. Everything is checked against the file.
SsmResult<SsmArrayRegion> array_file_region(std::span<const uint8_t> file, bool big_endian, int64_t ref,
                                            DataType element);

}  // namespace orvala
