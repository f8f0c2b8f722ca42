// The Node host's half of a synced engine (a VornNode whose limit is shared
// through Redis, see sync/sync_store.h): the settings its constructor reads,
// and the functions js/sync_engine.js runs at each sync, non-enumerable
// statics of VornNode. The wire between them is the plain arrays of
// sync/sync_reports.h:
//
//   VornNode.syncReports(node, closing) -> [[key, extra, unused, want, reset, leaseTimeMs], ...]
//   VornNode.syncApply(node, serverNowMs, instances, answers)  answers: [[lease, s1, t1, ...], ...]
//   VornNode.syncFailed(node)            the last reports did not reach Redis
//   VornNode.setSyncDegraded(node, flag)
//
// Each throws an Error with code "InvalidArg" for a node that is not a synced
// VornNode, or for arguments of another shape. Run on the JavaScript thread of
// their environment.
#pragma once

#include <optional>

#include "ffi/napi_boundary.h"
#include "sync/sync_store.h"

namespace vorn::ffi {

// The constructor's fourth argument: undefined (not synced) or an object with
// maxOvershoot (a number from 0 to 1), and optionally intervalMs (the time
// between syncs) and maxKeys, each a whole number >= 1. An InvalidArg Error
// names the option otherwise.
Expected<std::optional<SyncSettings>> read_sync_settings(napi_env env, napi_value value);

// Puts the sync functions on `exports`.VornNode.
MaybeError register_sync_functions(napi_env env, napi_value exports);

}  // namespace vorn::ffi
