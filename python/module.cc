// The module's entry point and the module tree.
//
// `import orvala` builds three module objects: `orvala` and its submodules
// `tables` and `quanta`, registered under "orvala.tables" and "orvala.quanta"
// in sys.modules. Members are added in the order of the lists below (the
// order matters: in `tables` the factory function `table` is registered
// after the class `table` and replaces it as the attribute), and every name
// goes into the module's `__all__` in that order, repeats included.
#include <atomic>
#include <cstdint>
#include <span>

#include "bindings.h"
#include "errors.h"

namespace orvala::py {
namespace {

constexpr const char* kVersion = "3.8.3";

// One member of a module: a function, or any other object made on demand.
struct Member {
    const char* name;
    PyMethodDef* function = nullptr;
    PyObject* (*make)() = nullptr;  // new reference, or nullptr with an error set
};

PyObject* make_version() { return PyUnicode_FromString(kVersion); }
PyObject* make_tables();
PyObject* make_quanta();

// ---- The registration lists: the whole module tree, in order. ----

const Member kTablesMembers[] = {
    {"table", nullptr, make_table_type},  // the class, then the factory in its place
    {"table", &table_factory_def},
    // TaQL, Measurement Sets, ASCII import, description helpers and file
    // utilities follow here as they are bound.
};

const Member kQuantaMembers[] = {
    // Filled in with `Quantity`, its functions and the unit dictionaries.
    {nullptr},
};

const Member kTopMembers[] = {
    {"__version__", nullptr, make_version},
    {"numpy_dtype", &numpy_dtype_def},
    {"casa_type", &casa_type_def},
    {"tables", nullptr, make_tables},
    {"quanta", nullptr, make_quanta},
};

// Objects bound under these names in `tables` get "orvala.tables" as their
// `__module__`, so their repr and pickling point at the public module.
const char* const kTablesPublicModuleNames[] = {"table", "taql", "default_ms",
                                                "default_ms_subtable"};

// ---- Building ----

std::span<const Member> members_of(const Member* list, size_t n) {
    size_t count = 0;
    while (count < n && list[count].name != nullptr) ++count;
    return {list, count};
}

template <size_t N>
std::span<const Member> members_of(const Member (&list)[N]) {
    return members_of(list, N);
}

bool add_members(PyObject* module, std::span<const Member> members) {
    PyRef all = PyRef::steal(PyList_New(0));
    if (!all) return false;
    PyObject* module_name = PyModule_GetNameObject(module);
    if (module_name == nullptr) return false;
    PyRef name_ref = PyRef::steal(module_name);
    for (const Member& m : members) {
        PyRef value = m.function != nullptr
                          ? PyRef::steal(PyCFunction_NewEx(m.function, nullptr, module_name))
                          : PyRef::steal(m.make());
        if (!value) return false;
        if (PyModule_AddObjectRef(module, m.name, value.get()) < 0) return false;
        PyRef name = PyRef::steal(PyUnicode_FromString(m.name));
        if (!name || PyList_Append(all.get(), name.get()) < 0) return false;
    }
    return PyModule_AddObjectRef(module, "__all__", all.get()) == 0;
}

PyModuleDef kTopDef = {PyModuleDef_HEAD_INIT, "orvala", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};
PyModuleDef kTablesDef = {PyModuleDef_HEAD_INIT, "tables", "Tables: open, create, query, edit.",
                          -1, nullptr, nullptr, nullptr, nullptr, nullptr};
PyModuleDef kQuantaDef = {PyModuleDef_HEAD_INIT, "quanta", "Physical units and quantities.", -1,
                          nullptr, nullptr, nullptr, nullptr, nullptr};

bool set_public_module_names(PyObject* tables) {
    PyRef public_name = PyRef::steal(PyUnicode_FromString("orvala.tables"));
    if (!public_name) return false;
    for (const char* name : kTablesPublicModuleNames) {
        PyRef obj = PyRef::steal(PyObject_GetAttrString(tables, name));
        if (!obj) {  // not bound yet
            PyErr_Clear();
            continue;
        }
        if (PyObject_SetAttrString(obj.get(), "__module__", public_name.get()) < 0) return false;
    }
    return true;
}

// Builds a submodule and enters it in sys.modules under `key`; the caller
// attaches it to the top module.
PyObject* make_submodule(PyModuleDef* def, std::span<const Member> members, const char* key) {
    PyRef sub = PyRef::steal(PyModule_Create(def));
    if (!sub || !add_members(sub.get(), members)) return nullptr;
    if (def == &kTablesDef && !set_public_module_names(sub.get())) return nullptr;
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    if (PyDict_SetItemString(modules, key, sub.get()) < 0) return nullptr;
    return sub.release();
}

PyObject* make_tables() {
    return make_submodule(&kTablesDef, members_of(kTablesMembers), "orvala.tables");
}

PyObject* make_quanta() {
    return make_submodule(&kQuantaDef, members_of(kQuantaMembers), "orvala.quanta");
}

PyObject* build_module() {
    PyRef top = PyRef::steal(PyModule_Create(&kTopDef));
    if (!top || !add_members(top.get(), members_of(kTopMembers))) return nullptr;
    return top.release();
}

// The interpreter that first imported the module; -1 until then.
std::atomic<int64_t> g_owner_interpreter{-1};
// The module object, created once per process and never released.
PyObject* g_module = nullptr;

}  // namespace
}  // namespace orvala::py

extern "C" PyMODINIT_FUNC PyInit_orvala(void) {
    using namespace orvala::py;
    return guarded([]() -> PyObject* {
        int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (id < 0) {
            if (!PyErr_Occurred()) {
                PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
            }
            return nullptr;
        }
        int64_t expected = -1;
        if (!g_owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
            PyErr_SetString(PyExc_ImportError,
                            "orvala does not support subinterpreters: it is already loaded "
                            "in another interpreter of this process");
            return nullptr;
        }
        if (g_module == nullptr) {
            // The interpreter lock is held throughout, so one thread builds it.
            g_module = build_module();
            if (g_module == nullptr) return nullptr;
        }
        return Py_NewRef(g_module);
    });
}
