#include "table_state.h"

#include "errors.h"

namespace orvala::py {
namespace {

std::map<std::string, WriteDataPtr>& registry() {
    // Created on first use and never released: buffered edits live until a
    // flush or the end of the process.
    static auto* map = new std::map<std::string, WriteDataPtr>();
    return *map;
}

}  // namespace

std::string dir_of(const std::string& name) {
    size_t sep = name.find("::");
    if (sep == std::string::npos) return name;
    return lexical_normalize(name.substr(0, sep) + "/" + name.substr(sep + 2));
}

WriteDataPtr registry_find(const std::string& dir) {
    auto it = registry().find(lexical_normalize(dir));
    return it == registry().end() ? nullptr : it->second;
}

void registry_replace(const std::string& dir, WriteDataPtr data) {
    auto& slot = registry()[lexical_normalize(dir)];
    if (slot && slot != data) slot->superseded = true;
    slot = std::move(data);
}

std::optional<InUse> InUse::take(TableHandle& handle) {
    WriteData* w = handle.write.get();
    if (handle.busy || (w != nullptr && w->busy)) {
        PyErr_SetString(PyExc_RuntimeError,
                        "table is in use by another call (re-entered from a callback)");
        return std::nullopt;
    }
    handle.busy = true;
    if (w != nullptr) w->busy = true;
    return InUse(&handle, w);
}

InUse::InUse(InUse&& other) noexcept : handle_(other.handle_), write_(other.write_) {
    other.handle_ = nullptr;
    other.write_ = nullptr;
}

InUse::~InUse() {
    if (handle_ != nullptr) handle_->busy = false;
    if (write_ != nullptr) write_->busy = false;
}

bool flush_write_data(WriteData& data) {
    if (!data.dirty) return true;
    if (data.superseded) {
        raise_runtime("table " + data.wt.dir() +
                      " was created again after this handle was opened; its edits cannot be "
                      "flushed over the new table");
        return false;
    }
    auto dir = data.wt.flush();
    if (!dir) {
        raise_core_error(dir.error());
        return false;
    }
    auto table = Table::open(*dir);
    if (!table) {
        raise_core_error(table.error());
        return false;
    }
    data.table = std::move(*table);
    data.dirty = false;
    return true;
}

}  // namespace orvala::py
