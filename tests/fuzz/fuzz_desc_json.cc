// Feeds text to the table-description dict reader; whatever it accepts must
// survive the output dict form and the binary form.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "internal_error.h"
#include "table_dat.h"
#include "tabledesc_dict.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto desc = orvala::TableDesc::from_desc_json(text);
    if (!desc) {
        (void)desc.error().message();
        return 0;
    }
    for (const auto& c : desc->columns) {
        auto back = orvala::column_from_desc_dict(c.name, orvala::column_to_desc_dict(c));
        if (!back || back->kind != c.kind || back->shape.value_or(std::vector<int64_t>{}) !=
                                                 (c.has_fixed_shape() ? *c.shape : std::vector<int64_t>{})) {
            __builtin_trap();  // the output form must read back to the same kind and shape
        }
    }
    std::vector<uint32_t> seqs(desc->columns.size(), 0);
    try {
        auto bytes = orvala::build_table_dat(0, *desc, {}, seqs);
        if (!orvala::parse_table_dat(bytes)) __builtin_trap();
    } catch (const orvala::InternalError&) {
    }
    return 0;
}
