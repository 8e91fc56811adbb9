// Spare pool records: the storage of records a finished run let go, kept on each thread so
// that the next run's pool fills without allocating a record's vectors anew. A spare holds
// no identifier text, object or group text, only vectors emptied but not freed.
#pragma once

#include "engine/records.h"

namespace korvane {

// An empty record, with storage from an earlier run when there is some.
PoolRecord take_spare_record();
// Empties `record` (its object is released now) and keeps its storage for a later run on
// this thread, while there are fewer than a few thousand spares.
void keep_spare_record(PoolRecord&& record);

}  // namespace korvane
