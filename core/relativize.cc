#include "relativize.h"

#include <optional>
#include <span>
#include <string_view>

#include "ssm_cell.h"

namespace orvala {

namespace {

// The relative form of an absolute reference, if it has one.
std::optional<std::string> relative_form(const std::string& ref, const std::string& dir) {
    if (!ref.starts_with('/')) return std::nullopt;
    std::string d = decode_text(std::span(reinterpret_cast<const uint8_t*>(dir.data()), dir.size()));
    std::string inside = d + "/";
    if (ref.starts_with(inside)) return "././" + ref.substr(inside.size());
    // The parent directory: everything before the last "/" (the root when
    // that is the only one); the root itself has none.
    auto cut = d.find_last_of('/');
    if (cut == std::string::npos || d == "/") return std::nullopt;
    std::string beside = (cut == 0 ? std::string("/") : d.substr(0, cut)) + "/";
    if (ref.starts_with(beside)) return "./" + ref.substr(beside.size());
    return std::nullopt;
}

void relativize_in_place(RecordValue& value, const std::string& dir) {
    if (auto* table = std::get_if<TableRef>(&value)) {
        if (auto rel = relative_form(table->reference, dir)) table->reference = std::move(*rel);
    } else if (auto* record = std::get_if<TableRecord>(&value)) {
        for (auto& field : record->values) relativize_in_place(field, dir);
    }
}

}  // namespace

RecordValue relativize_subtables(RecordValue value, const std::string* dir) {
    if (dir) relativize_in_place(value, *dir);
    return value;
}

}  // namespace orvala
