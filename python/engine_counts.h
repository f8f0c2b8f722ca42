// What both engine classes count: stats() and name_counts() on an engine, and
// the module's zone_counts(), which tells every engine's counts on a zone by
// the names their hosts gave them.
//
// Thread-safety: every function here requires the GIL; name_counts releases
// it while it waits for a lock.
#pragma once

#include "core/check_counts.h"
#include "py_ref.h"
#include "python_api.h"

namespace vorn::python {

// {"allowed", "refused", "shadow_refused", "disabled", "fallback"}: ints.
PyRef counts_dict(const CheckCounts& counts);

// engine.stats(): METH_NOARGS.
PyObject* engine_stats_entry(PyObject* self, PyObject* unused);
// engine.name_counts(name): METH_O.
PyObject* engine_name_counts_entry(PyObject* self, PyObject* name);

extern const char* const kStatsDoc;
extern const char* const kNameCountsDoc;

// Adds zone_counts(name, zone_dir=None) to the module. Throws PyError.
void add_count_names(PyObject* module);

}  // namespace vorn::python
