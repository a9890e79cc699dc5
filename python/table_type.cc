// The class `table`: its type object, the factory `table()`, and the methods
// that deal with names, descriptions, keywords, columns, rows and flushing.
// The cell methods are in table_cells.cc.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <set>

#include "args.h"
#include "bindings.h"
#include "convert.h"
#include "errors.h"
#include "json.h"
#include "table_object.h"
#include "tabledesc_dict.h"

namespace orvala::py {
namespace {

PyTypeObject* g_table_type = nullptr;

PyTable* as_table(PyObject* self) { return reinterpret_cast<PyTable*>(self); }

void table_dealloc(PyObject* self) {
    delete as_table(self)->handle;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* table_repr(PyObject* self) {
    const TableHandle* h = as_table(self)->handle;
    return PyUnicode_FromFormat("<table %s (%s)>", h->name.c_str(),
                                h->writable ? "writable" : "read-only");
}

// ---- helpers ----

std::string canonical_name(const std::string& name) {
    size_t sep = name.find("::");
    if (sep == std::string::npos) return absolute_dir(name);
    return absolute_dir(name.substr(0, sep)) + "::" + name.substr(sep + 2);
}

PyObject* keywords_dict(const TableRecord& record, const std::string& dir) {
    return table_record_to_dict_ctx(record, &dir);
}

PyObject* coldesc_dict(const ColumnDesc& column, const std::string& dir) {
    TableRecord rec = column_to_desc_dict(column);
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    for (size_t i = 0; i < rec.desc.fields.size() && i < rec.values.size(); ++i) {
        const std::string& key = rec.desc.fields[i].name;
        const RecordValue& v = rec.values[i];
        PyRef item;
        if (key == "keywords" && std::holds_alternative<TableRecord>(v)) {
            item = PyRef::steal(keywords_dict(std::get<TableRecord>(v), dir));
        } else if (const auto* a = std::get_if<ArrayValue>(&v)) {
            // The shape: a list of ints.
            PyRef list = PyRef::steal(PyList_New(0));
            if (!list) return nullptr;
            for (const RecordValue& e : a->elements()) {
                PyRef n = PyRef::steal(cell_to_py(e));
                if (!n || PyList_Append(list.get(), n.get()) < 0) return nullptr;
            }
            item = list;
        } else {
            item = PyRef::steal(cell_to_py(v));
        }
        if (!item || PyDict_SetItemString(dict.get(), key.c_str(), item.get()) < 0) return nullptr;
    }
    return dict.release();
}

// A table-description dict through its JSON text into a TableDesc.
std::optional<TableDesc> desc_from_dict(PyObject* dict) {
    auto record = dict_to_table_record(dict);
    if (!record) return std::nullopt;
    auto desc = TableDesc::from_desc_json(record->to_json_string_ctx());
    if (!desc) {
        raise_core_error(desc.error());
        return std::nullopt;
    }
    return std::move(*desc);
}

// ---- opening and creating ----

PyObject* create_table_handle(const std::string& name, const std::string& dir, TableDesc desc,
                              int64_t nrow, bool writable) {
    WritableTable wt = WritableTable::create(dir, std::move(desc));
    if (nrow > 0) {
        wt.add_rows(static_cast<uint64_t>(nrow));
        for (size_t c = 0; c < wt.desc().columns.size(); ++c) {
            const ColumnDesc& col = wt.desc().columns[c];
            if (col.kind != ColumnKind::Array) continue;
            // Columns without a fixed shape keep their default cells.
            if (!col.has_fixed_shape()) continue;
            std::vector<uint32_t> shape;  // C order
            for (auto it = col.shape->rbegin(); it != col.shape->rend(); ++it) {
                shape.push_back(static_cast<uint32_t>(std::max<int64_t>(*it, 0)));
            }
            size_t per_cell = 1;
            for (uint32_t e : shape) per_cell *= e;
            auto n = static_cast<uint64_t>(nrow);
            ArrayData zeros = zero_elements(element_type(col.data_type), per_cell * n);
            auto put = wt.putcol_dense(c, 0, n, std::move(zeros), shape);
            if (!put) return raise_core_error(put.error());
        }
    }
    auto flushed = wt.flush();
    if (!flushed) return raise_core_error(flushed.error());
    auto table = Table::open(dir);
    if (!table) return raise_core_error(table.error());
    auto data = std::make_shared<WriteData>(WriteData{std::move(*table), std::move(wt), false, false, false});
    registry_replace(dir, data);
    TableHandle handle;
    handle.name = name;
    handle.writable = writable;
    handle.write = std::move(data);
    return new_table_object(std::move(handle));
}

PyObject* open_table_handle(const std::string& name, const std::string& dir, bool writable) {
    WriteDataPtr existing = registry_find(dir);
    TableHandle handle;
    handle.name = name;
    if (writable) {
        if (!existing) {
            auto table = Table::open(dir);
            if (!table) return raise_core_error(table.error());
            WritableTable wt = WritableTable::create(dir, (*table)->desc());
            wt.add_rows((*table)->nrow());
            existing = std::make_shared<WriteData>(WriteData{std::move(*table), std::move(wt), false, false, false});
            registry_replace(dir, existing);
        }
        handle.writable = true;
        handle.write = std::move(existing);
        return new_table_object(std::move(handle));
    }
    if (existing && existing->dirty) {
        if (existing->busy) {
            return raise_runtime("table is in use by another call (re-entered from a callback)");
        }
        existing->busy = true;
        bool ok = flush_write_data(*existing);
        existing->busy = false;
        if (!ok) return nullptr;
    }
    auto table = Table::open(dir);
    if (!table) return raise_core_error(table.error());
    handle.writable = false;
    handle.readonly = std::move(*table);
    return new_table_object(std::move(handle));
}

PyObject* table_factory(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a("table", {"name", "tabledesc", "nrow", "_dminfo", "readonly", "_ack"}, 1);
        if (!a.parse_lenient(args, nargs, kwnames)) return nullptr;
        std::string given;
        if (PyUnicode_Check(a[0])) {
            auto s = utf8_of(a[0]);
            if (!s) return nullptr;
            given = *s;
        } else {
            PyRef fs = PyRef::steal(PyOS_FSPath(a[0]));
            if (!fs || !PyUnicode_Check(fs.get())) {
                PyErr_Clear();
                return raise_type_error("expected a str or os.PathLike");
            }
            auto s = utf8_of(fs.get());
            if (!s) return nullptr;
            given = *s;
        }
        PyObject* tabledesc = a.given(1) && a[1] != Py_None ? a[1] : nullptr;
        if (tabledesc != nullptr && !PyDict_Check(tabledesc)) {
            return raise_type_error("tabledesc must be a dict");
        }
        int64_t nrow = 0;
        if (a.given(2)) {
            auto n = a.int64(2);
            if (!n) return nullptr;
            nrow = std::max<int64_t>(*n, 0);
        }
        bool readonly = false;
        if (a.given(4)) {
            if (!PyBool_Check(a[4])) return a.wrong_type(4, "bool"), nullptr;
            readonly = a[4] == Py_True;
        }
        if (a.given(5) && !PyBool_Check(a[5])) return a.wrong_type(5, "bool"), nullptr;

        std::string name = canonical_name(given);
        std::string dir = dir_of(name);
        if (tabledesc != nullptr) {
            auto desc = desc_from_dict(tabledesc);
            if (!desc) return nullptr;
            return create_table_handle(name, dir, std::move(*desc), nrow, !readonly);
        }
        return open_table_handle(name, dir, !readonly);
    });
}

// ---- methods ----

using Method = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

#define TABLE_METHOD(fn_name) \
    PyObject* fn_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

TABLE_METHOD(m_name) {
    return guarded([&]() -> PyObject* {
        Args a("name", {}, 0);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        const std::string& n = as_table(self)->handle->name;
        return PyUnicode_DecodeUTF8(n.data(), static_cast<Py_ssize_t>(n.size()), "replace");
    });
}

TABLE_METHOD(m_iswritable) {
    return guarded([&]() -> PyObject* {
        Args a("iswritable", {}, 0);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        return PyBool_FromLong(as_table(self)->handle->writable);
    });
}

TABLE_METHOD(m_nrows) {
    return guarded([&]() -> PyObject* {
        Args a("nrows", {}, 0);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        auto acc = Access::take(self);
        if (!acc) return nullptr;
        return PyLong_FromUnsignedLongLong(acc->nrows());
    });
}

PyObject* colnames_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        const char* fname) {
    return guarded([&]() -> PyObject* {
        Args a(fname, {}, 0);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        auto acc = Access::take(self);
        if (!acc) return nullptr;
        PyRef list = PyRef::steal(PyList_New(0));
        if (!list) return nullptr;
        for (const ColumnDesc& c : acc->desc().columns) {
            PyRef s = PyRef::steal(PyUnicode_DecodeUTF8(c.name.data(), static_cast<Py_ssize_t>(c.name.size()), "replace"));
            if (!s || PyList_Append(list.get(), s.get()) < 0) return nullptr;
        }
        return list.release();
    });
}

TABLE_METHOD(m_colnames) { return colnames_impl(self, args, nargs, kwnames, "colnames"); }
TABLE_METHOD(m_colnames2) { return colnames_impl(self, args, nargs, kwnames, "colnames2"); }

TABLE_METHOD(m_getcoldesc) {
    return guarded([&]() -> PyObject* {
        Args a("getcoldesc", {"column"}, 1);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        auto acc = Access::take(self);
        if (!acc) return nullptr;
        auto c = acc->column(a[0]);
        if (!c) return nullptr;
        return coldesc_dict(acc->desc().columns[*c], acc->base_dir());
    });
}

TABLE_METHOD(m_getdesc) {
    return guarded([&]() -> PyObject* {
        Args a("_getdesc", {"actual"}, 0);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        if (a.given(0) && !PyBool_Check(a[0])) return a.wrong_type(0, "bool"), nullptr;
        auto acc = Access::take(self);
        if (!acc) return nullptr;
        const TableDesc& desc = acc->desc();
        std::string dir = acc->base_dir();
        PyRef dict = PyRef::steal(PyDict_New());
        if (!dict) return nullptr;
        for (const ColumnDesc& c : desc.columns) {
            PyRef cd = PyRef::steal(coldesc_dict(c, dir));
            if (!cd || PyDict_SetItemString(dict.get(), c.name.c_str(), cd.get()) < 0) return nullptr;
        }
        PyRef kw = PyRef::steal(keywords_dict(desc.keywords, dir));
        PyRef pk = PyRef::steal(keywords_dict(desc.private_keywords, dir));
        PyRef hc = PyRef::steal(PyDict_New());
        if (!kw || !pk || !hc) return nullptr;
        if (PyDict_SetItemString(dict.get(), "_keywords_", kw.get()) < 0 ||
            PyDict_SetItemString(dict.get(), "_private_keywords_", pk.get()) < 0 ||
            PyDict_SetItemString(dict.get(), "_define_hypercolumn_", hc.get()) < 0) {
            return nullptr;
        }
        return dict.release();
    });
}

TABLE_METHOD(m_getkeywords) {
    return guarded([&]() -> PyObject* {
        Args a("getkeywords", {}, 0);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        auto acc = Access::take(self);
        if (!acc) return nullptr;
        return keywords_dict(acc->desc().keywords, acc->base_dir());
    });
}

TABLE_METHOD(m_getkeyword) {
    return guarded([&]() -> PyObject* {
        Args a("getkeyword", {"name"}, 1);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        auto name = a.str(0);
        if (!name) return nullptr;
        auto acc = Access::take(self);
        if (!acc) return nullptr;
        PyRef all = PyRef::steal(keywords_dict(acc->desc().keywords, acc->base_dir()));
        if (!all) return nullptr;
        PyObject* v = PyDict_GetItemWithError(all.get(), a[0]);
        if (v == nullptr) {
            if (PyErr_Occurred()) return nullptr;
            Py_RETURN_NONE;
        }
        return Py_NewRef(v);
    });
}

TABLE_METHOD(m_getcolkeywords) {
    return guarded([&]() -> PyObject* {
        Args a("getcolkeywords", {"column"}, 1);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        auto name = a.str(0);
        if (!name) return nullptr;
        auto acc = Access::take(self);
        if (!acc) return nullptr;
        const ColumnDesc* c = acc->desc().find_column(*name);
        if (c == nullptr) return PyDict_New();
        return keywords_dict(c->keywords, acc->base_dir());
    });
}

void collect_table_refs(const TableRecord& record, std::vector<std::string>& out) {
    for (const RecordValue& v : record.values) {
        if (const auto* t = std::get_if<TableRef>(&v)) {
            if (std::find(out.begin(), out.end(), t->reference) == out.end()) out.push_back(t->reference);
        } else if (const auto* r = std::get_if<TableRecord>(&v)) {
            collect_table_refs(*r, out);
        }
    }
}

TABLE_METHOD(m_getsubtables) {
    return guarded([&]() -> PyObject* {
        Args a("getsubtables", {}, 0);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        auto acc = Access::take(self);
        if (!acc) return nullptr;
        std::vector<std::string> refs;
        collect_table_refs(acc->desc().keywords, refs);
        collect_table_refs(acc->desc().private_keywords, refs);
        std::string base = acc->base_dir();
        if (char* real = realpath(base.c_str(), nullptr)) {
            base = real;
            std::free(real);
        }
        PyRef list = PyRef::steal(PyList_New(0));
        if (!list) return nullptr;
        for (const std::string& r : refs) {
            std::string path = resolve_subtable(r, base);
            PyRef s = PyRef::steal(PyUnicode_DecodeUTF8(path.data(), static_cast<Py_ssize_t>(path.size()), "replace"));
            if (!s || PyList_Append(list.get(), s.get()) < 0) return nullptr;
        }
        return list.release();
    });
}

bool put_table_keyword(Access& acc, PyObject* key, PyObject* value) {
    if (!PyUnicode_Check(key)) {
        PyErr_SetString(PyExc_TypeError, "keyword names must be strings");
        return false;
    }
    auto name = utf8_of(key);
    if (!name) return false;
    auto v = keyword_value(value);
    if (!v) return false;
    to_storage_order(*v);
    acc.write().wt.putkeyword(*name, std::move(*v));
    acc.mark_dirty();
    return true;
}

TABLE_METHOD(m_putkeyword) {
    return guarded([&]() -> PyObject* {
        Args a("putkeyword", {"name", "value"}, 2);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        if (!PyUnicode_Check(a[0])) return a.wrong_type(0, "str"), nullptr;
        auto acc = Access::take(self);
        if (!acc || !acc->require_writable()) return nullptr;
        if (!put_table_keyword(*acc, a[0], a[1])) return nullptr;
        Py_RETURN_NONE;
    });
}

TABLE_METHOD(m_putkeywords) {
    return guarded([&]() -> PyObject* {
        Args a("putkeywords", {"value"}, 1);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        if (!PyDict_Check(a[0])) return a.wrong_type(0, "dict"), nullptr;
        auto acc = Access::take(self);
        if (!acc || !acc->require_writable()) return nullptr;
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(a[0], &pos, &key, &value)) {
            if (!put_table_keyword(*acc, key, value)) return nullptr;
        }
        Py_RETURN_NONE;
    });
}

TABLE_METHOD(m_removekeyword) {
    return guarded([&]() -> PyObject* {
        Args a("removekeyword", {"name"}, 1);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        auto name = a.str(0);
        if (!name) return nullptr;
        auto acc = Access::take(self);
        if (!acc || !acc->require_writable()) return nullptr;
        acc->write().wt.removekeyword(*name);
        acc->mark_dirty();
        Py_RETURN_NONE;
    });
}

bool put_column_keyword(Access& acc, size_t col, PyObject* key, PyObject* value) {
    if (!PyUnicode_Check(key)) {
        PyErr_SetString(PyExc_TypeError, "keyword names must be strings");
        return false;
    }
    auto name = utf8_of(key);
    if (!name) return false;
    auto v = pyobject_to_record(value);
    if (!v) return false;
    to_storage_order(*v);
    auto put = acc.write().wt.putcolkeyword(col, *name, std::move(*v));
    if (!put) {
        raise_core_error(put.error());
        return false;
    }
    acc.mark_dirty();
    return true;
}

TABLE_METHOD(m_putcolkeyword) {
    return guarded([&]() -> PyObject* {
        Args a("putcolkeyword", {"column", "name", "value"}, 3);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        if (!PyUnicode_Check(a[1])) return a.wrong_type(1, "str"), nullptr;
        auto acc = Access::take(self);
        if (!acc) return nullptr;
        auto c = acc->column(a[0]);
        if (!c || !acc->require_writable()) return nullptr;
        if (!put_column_keyword(*acc, *c, a[1], a[2])) return nullptr;
        Py_RETURN_NONE;
    });
}

TABLE_METHOD(m_putcolkeywords) {
    return guarded([&]() -> PyObject* {
        Args a("putcolkeywords", {"column", "value"}, 2);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        if (!PyDict_Check(a[1])) return a.wrong_type(1, "dict"), nullptr;
        auto acc = Access::take(self);
        if (!acc) return nullptr;
        auto c = acc->column(a[0]);
        if (!c || !acc->require_writable()) return nullptr;
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(a[1], &pos, &key, &value)) {
            if (!put_column_keyword(*acc, *c, key, value)) return nullptr;
        }
        Py_RETURN_NONE;
    });
}

TABLE_METHOD(m_removecolkeyword) {
    return guarded([&]() -> PyObject* {
        Args a("removecolkeyword", {"column", "name"}, 2);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        auto name = a.str(1);
        if (!name) return nullptr;
        auto acc = Access::take(self);
        if (!acc) return nullptr;
        auto c = acc->column(a[0]);
        if (!c || !acc->require_writable()) return nullptr;
        auto removed = acc->write().wt.removecolkeyword(*c, *name);
        if (!removed) return raise_core_error(removed.error());
        acc->mark_dirty();
        Py_RETURN_NONE;
    });
}

TABLE_METHOD(m_addcols) {
    return guarded([&]() -> PyObject* {
        Args a("addcols", {"coldesc", "dminfo"}, 1);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        if (!PyDict_Check(a[0])) return a.wrong_type(0, "dict"), nullptr;
        auto acc = Access::take(self);
        if (!acc || !acc->require_writable()) return nullptr;
        auto desc = desc_from_dict(a[0]);
        if (!desc) return nullptr;
        // Nothing is added unless every name is new and distinct.
        std::set<std::string> names;
        for (const ColumnDesc& c : acc->desc().columns) names.insert(c.name);
        for (const ColumnDesc& c : desc->columns) {
            if (!names.insert(c.name).second) {
                return raise_value_error("column " + c.name + " already exists");
            }
        }
        for (ColumnDesc& c : desc->columns) acc->write().wt.addcol(std::move(c));
        acc->mark_dirty();
        Py_RETURN_NONE;
    });
}

PyObject* remove_columns(PyObject* self, PyObject* columns, const Args& a) {
    std::vector<std::string> names;
    if (PyUnicode_Check(columns)) {
        auto s = utf8_of(columns);
        if (!s) return nullptr;
        names.push_back(*s);
    } else if (PyList_Check(columns) || PyTuple_Check(columns)) {
        PyRef seq = PyRef::steal(PySequence_Fast(columns, "columns must be a str or a list of str"));
        if (!seq) return nullptr;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
            PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
            if (!PyUnicode_Check(item)) return raise_type_error("columns must be a str or a list of str");
            auto s = utf8_of(item);
            if (!s) return nullptr;
            names.push_back(*s);
        }
    } else {
        return a.wrong_type(0, "str or list of str"), nullptr;
    }
    auto acc = Access::take(self);
    if (!acc) return nullptr;
    std::set<size_t> indexes;
    for (const std::string& n : names) {
        auto c = acc->column(n);
        if (!c) return nullptr;
        indexes.insert(*c);
    }
    if (!acc->require_writable()) return nullptr;
    for (auto it = indexes.rbegin(); it != indexes.rend(); ++it) acc->write().wt.removecol(*it);
    acc->mark_dirty();
    Py_RETURN_NONE;
}

TABLE_METHOD(m_removecols) {
    return guarded([&]() -> PyObject* {
        Args a("removecols", {"columns"}, 1);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        return remove_columns(self, a[0], a);
    });
}

TABLE_METHOD(m_removecol) {
    return guarded([&]() -> PyObject* {
        Args a("removecol", {"column"}, 1);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        return remove_columns(self, a[0], a);
    });
}

TABLE_METHOD(m_addrows) {
    return guarded([&]() -> PyObject* {
        Args a("addrows", {"n"}, 0);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        int64_t n = 1;
        if (a.given(0)) {
            auto v = a.int64(0);
            if (!v) return nullptr;
            if (*v < 0) return raise_value_error("addrows: the row count must not be negative");
            n = *v;
        }
        auto acc = Access::take(self);
        if (!acc || !acc->require_writable()) return nullptr;
        acc->write().wt.add_rows(static_cast<uint64_t>(n));
        acc->mark_dirty();
        Py_RETURN_NONE;
    });
}

PyObject* flush_handle(PyObject* self) {
    auto acc = Access::take(self);
    if (!acc) return nullptr;
    if (acc->writable_inner() && !flush_write_data(acc->write())) return nullptr;
    Py_RETURN_NONE;
}

TABLE_METHOD(m_flush) {
    return guarded([&]() -> PyObject* {
        Args a("flush", {}, 0);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        return flush_handle(self);
    });
}

TABLE_METHOD(m_close) {
    return guarded([&]() -> PyObject* {
        Args a("close", {}, 0);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        return flush_handle(self);
    });
}

TABLE_METHOD(m_enter) {
    return guarded([&]() -> PyObject* {
        Args a("__enter__", {}, 0);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        return Py_NewRef(self);
    });
}

TABLE_METHOD(m_exit) {
    return guarded([&]() -> PyObject* {
        Args a("__exit__", {"_ty", "_value", "_tb"}, 0);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        PyRef done = PyRef::steal(flush_handle(self));
        if (!done) return nullptr;
        Py_RETURN_FALSE;  // an exception raised in the block propagates
    });
}

TABLE_METHOD(m_lock) {
    return guarded([&]() -> PyObject* {
        Args a("lock", {"write", "_read", "_opt"}, 0);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        for (size_t i : {0, 1}) {
            if (a.given(i) && !PyBool_Check(a[i])) return a.wrong_type(i, "bool"), nullptr;
        }
        if (a.given(2) && a[2] != Py_None) {
            auto v = a.int64(2);
            if (!v) return nullptr;
            if (*v < 0) return raise_value_error("lock: _opt must not be negative");
        }
        Py_RETURN_NONE;
    });
}

TABLE_METHOD(m_unlock) {
    return guarded([&]() -> PyObject* {
        Args a("unlock", {}, 0);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        Py_RETURN_NONE;
    });
}

TABLE_METHOD(m_setmaxcachesize) {
    return guarded([&]() -> PyObject* {
        Args a("setmaxcachesize", {"_col", "_size"}, 2);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        if (!a.str(0) || !a.int64(1)) return nullptr;
        Py_RETURN_NONE;
    });
}

TABLE_METHOD(m_store_col_len) {
    return guarded([&]() -> PyObject* {
        Args a("store_col_len", {"col_idx"}, 1);
        if (!a.parse(args, nargs, kwnames)) return nullptr;
        auto idx = a.int64(0);
        if (!idx) return nullptr;
        auto acc = Access::take(self);
        if (!acc) return nullptr;
        if (acc->writable_inner() && *idx >= 0 &&
            static_cast<size_t>(*idx) < acc->write().wt.desc().columns.size()) {
            return PyLong_FromUnsignedLongLong(acc->write().wt.nrow());
        }
        return PyLong_FromLong(0);
    });
}

#define METHOD(py_name, fn, sig) \
    {py_name, ORVALA_FASTCALL(fn), METH_FASTCALL | METH_KEYWORDS, sig}

PyMethodDef kMetaMethods[] = {
    METHOD("name", m_name, "name($self)\n--\n\nThe handle's canonical table name."),
    METHOD("iswritable", m_iswritable, "iswritable($self)\n--\n\nWhether the handle was opened for writing."),
    METHOD("nrows", m_nrows, "nrows($self)\n--\n\nThe number of rows."),
    METHOD("colnames", m_colnames, "colnames($self)\n--\n\nThe column names, in order."),
    METHOD("colnames2", m_colnames2, "colnames2($self)\n--\n\nThe column names, in order."),
    METHOD("getcoldesc", m_getcoldesc, "getcoldesc($self, column)\n--\n\nThe column's description dict."),
    METHOD("_getdesc", m_getdesc, "_getdesc($self, actual=True)\n--\n\nThe table's description dict."),
    METHOD("getkeyword", m_getkeyword, "getkeyword($self, name)\n--\n\nOne table keyword, or None."),
    METHOD("getkeywords", m_getkeywords, "getkeywords($self)\n--\n\nAll table keywords as a dict."),
    METHOD("getcolkeywords", m_getcolkeywords, "getcolkeywords($self, column)\n--\n\nA column's keywords as a dict."),
    METHOD("getsubtables", m_getsubtables, "getsubtables($self)\n--\n\nAbsolute paths of the subtables named by keywords."),
    METHOD("putkeyword", m_putkeyword, "putkeyword($self, name, value)\n--\n\nSets a table keyword."),
    METHOD("putkeywords", m_putkeywords, "putkeywords($self, value)\n--\n\nSets table keywords from a dict."),
    METHOD("removekeyword", m_removekeyword, "removekeyword($self, name)\n--\n\nRemoves a table keyword."),
    METHOD("putcolkeyword", m_putcolkeyword, "putcolkeyword($self, column, name, value)\n--\n\nSets a column keyword."),
    METHOD("putcolkeywords", m_putcolkeywords, "putcolkeywords($self, column, value)\n--\n\nSets column keywords from a dict."),
    METHOD("removecolkeyword", m_removecolkeyword, "removecolkeyword($self, column, name)\n--\n\nRemoves a column keyword."),
    METHOD("addcols", m_addcols, "addcols($self, coldesc, dminfo=None)\n--\n\nAdds the columns of a table-description dict."),
    METHOD("removecols", m_removecols, "removecols($self, columns)\n--\n\nRemoves columns by name."),
    METHOD("removecol", m_removecol, "removecol($self, column)\n--\n\nRemoves a column."),
    METHOD("addrows", m_addrows, "addrows($self, n=1)\n--\n\nAdds rows holding default values."),
    METHOD("flush", m_flush, "flush($self)\n--\n\nWrites buffered edits to disk."),
    METHOD("close", m_close, "close($self)\n--\n\nFlushes; the handle stays usable."),
    METHOD("__enter__", m_enter, "__enter__($self)\n--\n\n"),
    METHOD("__exit__", m_exit, "__exit__($self, _ty=None, _value=None, _tb=None)\n--\n\nFlushes on leaving a with block."),
    METHOD("lock", m_lock, "lock($self, write=False, _read=False, _opt=None)\n--\n\nAdvisory; does nothing."),
    METHOD("unlock", m_unlock, "unlock($self)\n--\n\nAdvisory; does nothing."),
    METHOD("setmaxcachesize", m_setmaxcachesize, "setmaxcachesize($self, _col, _size)\n--\n\nAdvisory; does nothing."),
    METHOD("store_col_len", m_store_col_len, "store_col_len($self, col_idx)\n--\n\nThe row count a column is stored with."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef table_factory_def = {
    "table", ORVALA_FASTCALL(table_factory), METH_FASTCALL | METH_KEYWORDS,
    "table(name, tabledesc=None, nrow=0, _dminfo=None, readonly=False, _ack=True, *_args, **_kwargs)\n--\n\n"
    "Opens the table directory `name` (writable unless readonly=True), or creates\n"
    "it from the table-description dict `tabledesc` with `nrow` rows."};

PyObject* make_table_type() {
    if (g_table_type == nullptr) {
        // The methods of both files in one table.
        static std::vector<PyMethodDef> methods;
        for (PyMethodDef* m = kMetaMethods; m->ml_name != nullptr; ++m) methods.push_back(*m);
        for (PyMethodDef* m = table_cell_methods; m->ml_name != nullptr; ++m) methods.push_back(*m);
        methods.push_back({nullptr, nullptr, 0, nullptr});
        static PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void*>(table_dealloc)},
            {Py_tp_repr, reinterpret_cast<void*>(table_repr)},
            {Py_tp_methods, methods.data()},
            {Py_tp_doc, const_cast<char*>("A handle on one table directory; made by the function table().")},
            {0, nullptr},
        };
        static PyType_Spec spec = {"orvala.tables.table", sizeof(PyTable), 0, Py_TPFLAGS_DEFAULT, slots};
        g_table_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
        if (g_table_type == nullptr) return nullptr;
    }
    return Py_NewRef(reinterpret_cast<PyObject*>(g_table_type));
}

PyTypeObject* table_type() { return g_table_type; }

bool is_table_object(PyObject* obj) {
    return g_table_type != nullptr && PyObject_TypeCheck(obj, g_table_type);
}

PyObject* new_table_object(TableHandle handle) {
    if (g_table_type == nullptr) {
        PyRef t = PyRef::steal(make_table_type());
        if (!t) return nullptr;
    }
    PyObject* obj = PyType_GenericAlloc(g_table_type, 0);
    if (obj == nullptr) return nullptr;
    as_table(obj)->handle = new TableHandle(std::move(handle));
    return obj;
}

std::optional<Access> Access::take(PyObject* self) {
    TableHandle* h = as_table(self)->handle;
    auto guard = InUse::take(*h);
    if (!guard) return std::nullopt;
    return Access(h, std::move(*guard));
}

uint64_t Access::nrows() const {
    if (handle_->write) {
        const WritableTable& wt = handle_->write->wt;
        return wt.desc().columns.empty() ? 0 : wt.nrow();
    }
    return handle_->readonly->nrow();
}

std::string Access::base_dir() const {
    return handle_->write ? dir_of(handle_->name) : handle_->readonly->dir();
}

std::optional<size_t> Access::column(const std::string& name) {
    const auto& cols = desc().columns;
    for (size_t i = 0; i < cols.size(); ++i) {
        if (cols[i].name == name) return i;
    }
    raise_key_error("no such column: " + name);
    return std::nullopt;
}

std::optional<size_t> Access::column(PyObject* name) {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "column name must be str, not %.200s", Py_TYPE(name)->tp_name);
        return std::nullopt;
    }
    auto s = utf8_of(name);
    if (!s) return std::nullopt;
    return column(*s);
}

bool Access::require_writable() {
    if (handle_->write) return true;
    raise_value_error("table is not writable");
    return false;
}

void to_storage_order(RecordValue& value) {
    if (auto* a = std::get_if<ArrayValue>(&value)) {
        std::reverse(a->shape.begin(), a->shape.end());
    } else if (auto* r = std::get_if<TableRecord>(&value)) {
        for (auto& v : r->values) to_storage_order(v);
    }
}

std::optional<RecordValue> keyword_value(PyObject* value) {
    if (is_table_object(value)) return RecordValue(TableRef{as_table(value)->handle->name});
    if (PyUnicode_Check(value)) {
        auto s = utf8_of(value);
        if (!s) return std::nullopt;
        if (s->rfind("Table:", 0) == 0) {
            std::string rest = s->substr(6);
            size_t b = rest.find_first_not_of(" \t\r\n\f\v");
            size_t e = rest.find_last_not_of(" \t\r\n\f\v");
            return RecordValue(TableRef{b == std::string::npos ? std::string() : rest.substr(b, e - b + 1)});
        }
        return RecordValue(std::move(*s));
    }
    return pyobject_to_record(value);
}

}  // namespace orvala::py
