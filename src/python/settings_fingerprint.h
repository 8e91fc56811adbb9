// A fingerprint of an Engine object's settings: equal settings give equal fingerprints in
// any process, so a shortlist can tell whether it was made under the configuration that is
// about to merge it. Callbacks count by their presence, not their identity.
#pragma once

#include <cstdint>

#include "python/engine_settings.h"

namespace korvane::python {

uint64_t settings_fingerprint(const EngineSettings& settings);

}  // namespace korvane::python
