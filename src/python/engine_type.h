// The korvane.Engine class: a final heap type whose objects hold an EngineSettings record
// and the access state that guards it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "python/access.h"
#include "python/engine_settings.h"

namespace korvane::python {

struct RunPlan;

struct EngineObject {
  PyObject_HEAD AccessState access;
  EngineSettings settings;
  // What runs of the current settings share; dropped by every configuration method.
  std::shared_ptr<RunPlan> plan;
};

inline EngineObject* as_engine(PyObject* self) {
  return reinterpret_cast<EngineObject*>(self);
}

// The Engine class, created on the first call and the same class object for the rest of
// the process. Borrowed; null with an exception set when it cannot be created.
PyTypeObject* engine_type();

}  // namespace korvane::python
