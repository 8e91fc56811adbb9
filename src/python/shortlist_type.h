// korvane.Shortlist: what Engine.shortlist and Engine.shortlist_columns return, stage 1 of a
// run held by value (the pool's candidates, the stage-1 counts, figures and kept drops) with
// the fingerprint of the settings that made it. Engine.run_shortlists merges shortlists of
// the same settings and finishes the run. Picklable: the native part travels as bytes, the
// candidates' objects beside them. Not constructible from Python.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "engine/shortlist.h"

namespace korvane::python {

// The class, created on the first call. Borrowed; null with an exception set.
PyTypeObject* shortlist_type();

// A new Shortlist taking `shortlist`, whose candidates hold Python objects. Null with an
// exception set, `shortlist` then unchanged.
PyObject* new_shortlist(Shortlist& shortlist, uint64_t fingerprint);

// A copy of the shortlist `object` holds, with new references to its candidates' objects.
// False with TypeError when `object` is not a Shortlist and ValueError when it was made
// under other settings.
bool copy_shortlist(PyObject* object, uint64_t fingerprint, Shortlist* out);

}  // namespace korvane::python
