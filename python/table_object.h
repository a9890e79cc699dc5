// The Python `table` object and the per-call access to its state.
#pragma once

#include "pyref.h"

#include <optional>
#include <string>

#include "table_state.h"

namespace orvala::py {

struct PyTable {
    PyObject_HEAD
    TableHandle* handle;
};

// The class `table`, created on first use (at module registration).
PyTypeObject* table_type();
PyObject* make_table_type();  // a new reference, for the registration list
// Wraps a handle in a new `table` object.
PyObject* new_table_object(TableHandle handle);
bool is_table_object(PyObject* obj);

// One call's exclusive use of a handle (and its WriteData).
class Access {
public:
    static std::optional<Access> take(PyObject* self);

    TableHandle& handle() { return *handle_; }
    bool writable_inner() const { return handle_->write != nullptr; }
    WriteData& write() { return *handle_->write; }
    // The Table to read stored cells from.
    const Table& stored() const {
        return handle_->write ? *handle_->write->table : *handle_->readonly;
    }
    // The current description: edited for writable handles.
    const TableDesc& desc() const {
        return handle_->write ? handle_->write->wt.desc() : handle_->readonly->desc();
    }
    uint64_t nrows() const;
    // The directory subtable references are relative to.
    std::string base_dir() const;

    // Column by name; KeyError "no such column: NAME" when absent.
    std::optional<size_t> column(PyObject* name);
    std::optional<size_t> column(const std::string& name);
    // ValueError "table is not writable" for read-only handles.
    bool require_writable();
    void mark_dirty() { handle_->write->dirty = true; }

private:
    Access(TableHandle* h, InUse guard) : handle_(h), guard_(std::move(guard)) {}
    TableHandle* handle_;
    InUse guard_;
};

// Table methods defined in other files.
extern PyMethodDef table_cell_methods[];

// Converts a value given for a table keyword or a cell: a `table` object
// or a "Table: path" text becomes a table reference, anything else follows
// the general conversion.
std::optional<RecordValue> keyword_value(PyObject* value);

// Arrays in keywords and record cells given from Python carry C-order
// shapes; the stored form lists extents first axis fastest. Reversing the
// extents of every array inside (the flat data is the same) makes them read
// back with the shape they were given.
void to_storage_order(RecordValue& value);

}  // namespace orvala::py
