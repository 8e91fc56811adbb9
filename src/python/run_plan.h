// RunPlan: what every run of one Engine object's settings shares, built by the first run
// after a change and dropped by the next configuration method: the native configuration,
// validated and resolved into a Plan, and the Python texts candidates are read by; or the
// error that every run of these settings raises before it reads anything.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/plan.h"
#include "python/dict_source.h"
#include "python/engine_settings.h"
#include "python/sequence_check.h"

namespace korvane::python {

struct EngineObject;

// What a source reads for a configuration: the axes, the group key list, and whether cost
// and cover are read at all.
struct SourceReading {
  std::vector<std::string> axis_names;  // registration order
  std::vector<std::string> group_keys;  // the group key list
  bool cost = false;
  bool cover = false;
};

struct RunPlan {
  // Set when the settings cannot run: the exception class (borrowed) and its message.
  PyObject* error_type = nullptr;
  std::string error_message;

  Engine engine;                      // the axes with a callback hold a stand-in scorer here
  std::unique_ptr<Plan> plan;         // refers to `engine`
  std::vector<size_t> callback_axes;  // registration order
  std::shared_ptr<const EntryKeys> keys;
  SourceReading reading;
  uint64_t fingerprint = 0;  // of the settings, for the shortlists they make
  std::shared_ptr<SequenceCheck> sequences = std::make_shared<SequenceCheck>();
};

// The plan of the object's current settings, built when there is none. Needs the interpreter
// lock and shared access to the object. Null with an exception set when a Python object
// could not be made.
std::shared_ptr<RunPlan> plan_for(EngineObject* engine);

}  // namespace korvane::python
