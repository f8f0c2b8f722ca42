// The Python class SyncEngine: a RustEngine whose state a host thread keeps in
// step with Redis (vorn/_sync.py). Checks, refunds and resets are RustEngine's
// own methods, answered from local state; the class adds what the syncing
// thread calls, on the wire shape of sync/sync_reports.h:
//   _sync_reports(closing) -> [(key, extra, unused, want, reset, lease_time_ms)]
//   _sync_apply(now_ms, instances, answers): answers, in the reports' order,
//     each the script's text (bytes or str) "<lease> <s1> <t1> ..."
//   _sync_failed(), _sync_forked()
// and the property `degraded`.
//
// Thread-safety: every function here requires the GIL and keeps it, so a fork
// (which holds the GIL) never copies a store lock held by one of them.
#pragma once

#include "python_api.h"

namespace vorn::python {

// Adds SyncEngine to `module`. Throws PyError.
void add_sync_names(PyObject* module);

}  // namespace vorn::python
