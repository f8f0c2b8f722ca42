// The Python class RustEngine: one VornEngine held by value inside each
// instance, built by the constructor (or from_rates, for a limit of several
// rates) and destroyed by the deallocator; the methods check and check_limits
// turn the engine's outcome into a dict, refund and reset pass a key on.
// ZoneEngine is the same with the state in a shared-memory zone, and tells
// whether that zone is in use (degraded, degraded_reason, zone_stats()).
//
// Thread-safety: every function here requires the GIL. A ZoneEngine's check,
// refund or reset releases it only while it sleeps waiting for a lock (the
// zone's, or the engine's own while another thread of this process waits on
// the zone), and touches nothing of Python's meanwhile. After each of them the
// zone's notices are logged as warnings of the logger "vorn.zone".
#pragma once

#include <span>

#include "algorithms/clock.h"
#include "core/engine.h"
#include "py_ref.h"
#include "python_api.h"

namespace vorn::python {

// The RustEngine class (borrowed), created on first use and kept for the
// process. Throws PyError when the interpreter cannot create it.
PyObject* engine_type();

// Builds an instance of `subtype` from the constructor's arguments, whose engine
// reads `clock`. The class's own constructor passes the system clock. Throws
// PyError on a binding or conversion error.
PyRef new_engine_object(PyTypeObject* subtype, PyObject* args, PyObject* kwargs, Clock clock);

// RustEngine.from_rates: an instance of `subtype` from (algorithm, mode, rates,
// api_key=None, debug=None, backend_url="http://localhost:4000"), whose engine
// reads `clock`. Throws PyError on a binding or conversion error.
PyRef new_engine_from_rates(PyTypeObject* subtype, PyObject* args, PyObject* kwargs, Clock clock);

// The engine inside an instance of either class (which `self` must be).
const VornEngine& engine_of(PyObject* self);

// Builds the class SyncEngine once: RustEngine's methods, slots and properties
// on an engine synced through Redis, with `methods` and `properties` (no null
// entries; static storage) added and `new_entry` as its constructor.
// Throws PyError.
PyObject* create_sync_engine_type(std::span<const PyMethodDef> methods,
                                  std::span<const PyGetSetDef> properties, newfunc new_entry,
                                  const char* doc);

// SyncEngine's constructor: from_rates's arguments, for an engine of those
// rates synced through Redis by `sync` (see sync/sync_store.h). Throws PyError.
PyRef new_synced_engine_object(PyTypeObject* subtype, PyObject* args, PyObject* kwargs,
                               SyncSettings sync, Clock clock);

// The ZoneEngine class (borrowed): a RustEngine whose state is in a shared zone.
PyObject* zone_engine_type();

// Builds a ZoneEngine from (zone, zone_size, RustEngine's seven arguments,
// then zone_dir=None, on_error="local", rates=None); with rates, capacity and
// refill_rate are ignored. Throws PyError; ZoneError and InvalidZoneName from
// the zone.
PyRef new_zone_engine_object(PyTypeObject* subtype, PyObject* args, PyObject* kwargs, Clock clock);

}  // namespace vorn::python
