// The members that binding files contribute to the module tree. module.cc
// holds the one registration list that puts them in order.
#pragma once

#include "pyref.h"

namespace orvala::py {

// Type-name translations.
extern PyMethodDef numpy_dtype_def;
extern PyMethodDef casa_type_def;

// The table class and its factory.
PyObject* make_table_type();
extern PyMethodDef table_factory_def;

}  // namespace orvala::py
