// The state behind `table` handles.
//
// A handle is read-only (it holds the Table it opened) or writable: then it
// shares, with every writable handle of the same directory, one WriteData
// (the Table as last read from disk, the WritableTable of buffered edits and
// a dirty flag) kept in a process-wide registry keyed by directory, so edits
// outlive the handles that made them until a flush writes them.
//
// Exclusive use: every call holds the interpreter lock throughout, so the
// only way two calls can overlap is re-entrancy (a Python callback during a
// conversion reaching another handle). Each handle and each WriteData has a
// busy flag instead of a mutex; finding it taken raises RuntimeError, never
// a deadlock.
#pragma once

#include "pyref.h"

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "table.h"
#include "default_cell.h"
#include "writable_table.h"

namespace orvala::py {

struct WriteData {
    std::shared_ptr<const Table> table;  // replaced by a fresh open after each flush
    WritableTable wt;
    bool dirty = false;
    bool busy = false;
    // A table was created again at this directory: flushing this state
    // would write stale edits over the new table.
    bool superseded = false;
};
using WriteDataPtr = std::shared_ptr<WriteData>;

struct TableHandle {
    std::string name;  // canonical: /abs/dir or /abs/dir::SUB
    bool writable = false;
    std::shared_ptr<const Table> readonly;  // set for read-only handles
    WriteDataPtr write;                      // set for writable ones
    bool busy = false;

    bool is_writable_inner() const { return write != nullptr; }
};

// The directory a handle name stands for: "x.ms::SUB" is x.ms/SUB.
std::string dir_of(const std::string& name);

// The registry of write states by directory.
WriteDataPtr registry_find(const std::string& dir);
// Enters `data` for `dir`, marking any state it replaces as superseded.
void registry_replace(const std::string& dir, WriteDataPtr data);

// Marks a handle (and its WriteData) busy for the life of the guard.
class InUse {
public:
    // nullopt with RuntimeError set when either is already in use.
    static std::optional<InUse> take(TableHandle& handle);
    InUse(InUse&& other) noexcept;
    InUse(const InUse&) = delete;
    ~InUse();

private:
    InUse(TableHandle* h, WriteData* w) : handle_(h), write_(w) {}
    TableHandle* handle_;
    WriteData* write_;
};

// Writes the buffered edits of a dirty WriteData and reopens its Table;
// false with RuntimeError set on failure (the state stays dirty).
bool flush_write_data(WriteData& data);

}  // namespace orvala::py
