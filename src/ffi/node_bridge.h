// The Node.js addon: the class VornNode, its options (NodeConfig) and its result
// (CheckResultNode), on top of the Node-API call boundary; and VornZoneNode,
// the same native object with its state in a shared-memory zone, which hands
// the zone's notices to its logger after each check.
//
// Node.js calls napi_register_module_v1 once per environment (the main thread
// and every worker thread); each registration defines its own class, and each
// environment keeps its own data (the class constructor and the result factory)
// as Node-API instance data. Every entry point runs on the JavaScript thread of
// its environment; the addon takes no lock of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "algorithms/cost.h"
#include "algorithms/limit_message.h"
#include "algorithms/limit_policy.h"
#include "core/engine.h"
#include "ffi/napi_boundary.h"

namespace vorn {
class VornEngine;
class ZoneConnection;
struct SyncSettings;
struct ZonePlacement;
}  // namespace vorn

namespace vorn::ffi {

// The constructor's options, each optional, in the order they are read. Absent
// options get their defaults only when the engine is built.
struct NodeConfig {
  std::optional<std::string> algorithm;
  std::optional<std::string> mode;
  std::optional<double> capacity;
  std::optional<double> refill_rate;
  std::optional<std::string> api_key;
  std::optional<std::string> debug;
  std::optional<std::string> backend_url;
  std::optional<double> requests_per_minute;
  std::optional<double> requests_per_second;
  std::optional<double> burst_limit;
  std::optional<double> burst_multiplier;
  std::optional<double> block_duration_ms;

  // Reads the twelve properties of `value` in order and stops at the first
  // failure, whose reason then names the property ("... on NodeConfig.mode").
  static Expected<NodeConfig> from_napi_value(napi_env env, napi_value value);
};

inline constexpr std::string_view kDefaultAlgorithm = "token_bucket";
inline constexpr std::string_view kDefaultMode = "active";
inline constexpr double kDefaultCapacity = 100;
inline constexpr double kDefaultRefillRate = 10;
inline constexpr double kDefaultBurstMultiplier = 2;
inline constexpr uint64_t kDefaultBlockDurationMs = 60000;
inline constexpr std::string_view kDefaultBackendUrl = "http://localhost:4000";

// The five fields of a check that JavaScript sees, in the order of the result
// object's properties. `reason` is absent in disabled mode.
struct CheckResultNode {
  bool allowed = false;
  bool would_block = false;
  std::optional<std::string_view> reason;  // a fixed reason word, static
  std::string algorithm;
  vorn::LimitMessage debug_info;

  // A fresh ordinary object with own properties allowed, wouldBlock, reason
  // (only when present), algorithm, debugInfo, in that order. `factory` is the
  // environment's function that builds it.
  Expected<napi_value> to_napi_value(napi_env env, napi_value factory) const;
};

// What checkLimits tells of one check: the verdict and debug text, what is left
// of the key's allowance and the policy of the rate that decided. `reason` is absent in disabled mode.
struct LimitsResultNode {
  bool allowed = false;
  bool would_block = false;
  std::optional<std::string_view> reason;  // a fixed reason word, static
  vorn::LimitMessage debug_info;
  vorn::LimitFigures figures;
  vorn::LimitPolicy policy;  // the deciding rate's
};

// The native object behind one JavaScript VornNode or VornZoneNode. It holds
// its engine under shared ownership; the JavaScript object's finalizer destroys
// the VornNode and with it the engine. Used only on the JavaScript thread of
// the environment that made it: a zone instance calls its logger from its
// checks.
class VornNode {
 public:
  // Applies the defaults and builds the engine: of `rates` (valid by
  // rates_problem) when given, in place of the config's capacity and refill
  // rate, and synced through Redis by its host when `sync` is given too.
  // Never fails.
  explicit VornNode(const NodeConfig& config, const std::vector<vorn::Rate>* rates = nullptr,
                    const vorn::SyncSettings* sync = nullptr);

  // The same, with the per-client state in a shared-memory zone, whose notices
  // go to `logger` (an object with a warn method) in `env`. Throws
  // InvalidZoneName or ZoneError.
  VornNode(napi_env env, const NodeConfig& config, const std::vector<vorn::Rate>* rates,
           const vorn::ZonePlacement& zone, Reference logger);

  // One engine check keyed by `ip`, without identity. A zone instance then
  // calls logger.warn(line) for each notice its zone left; a logger that
  // throws is answered by process.emitWarning(line), and never fails the
  // check. Throws FatalError on a fatal engine failure.
  CheckResultNode check_request(std::string_view ip, std::string_view route, double start) const;

  // The same check of a request of `cost` (validated by cost_problem with the
  // engine's whole_costs()), told with the figures clients are given.
  LimitsResultNode check_limits(std::string_view ip, std::string_view route, double start,
                                vorn::Cost cost = {}) const;

  // The engine's refund and reset, for `key` as checks key on; a zone
  // instance then logs its notices, as a check does. Throw FatalError on a
  // fatal engine failure.
  void refund(std::string_view key, double amount) const;
  void reset(std::string_view key) const;

  const vorn::VornEngine& engine() const { return *engine_; }

  // The engine's hold on its zone; null for an instance of VornNode.
  const vorn::ZoneConnection* zone_connection() const { return zone_; }

  // Hands the zone's pending notices to the logger, as a check does. Requires
  // a zone instance and a JavaScript call in progress on its thread.
  void log_notices() const;

  // The weak reference napi_wrap returned; deleted with this object.
  void set_wrapper(Reference wrapper) { wrapper_ = std::move(wrapper); }

 private:
  std::shared_ptr<vorn::VornEngine> engine_;
  const vorn::ZoneConnection* zone_ = nullptr;  // owned by engine_
  napi_env env_ = nullptr;
  Reference logger_;
  Reference wrapper_;
};

// The class whose state is in a shared-memory zone, as JavaScript names it.
inline constexpr const char* kZoneClassName = "VornZoneNode";

// `error` with its reason told of the config property `property`
// ("... on NodeConfig.mode").
Error on_config_property(Error error, std::string_view property);

// The VornNode wrapped in `self`, only when this addon wrapped it; else an
// InvalidArg Error, as every method of the class fails for a foreign receiver.
Expected<const VornNode*> unwrap_node(napi_env env, napi_value self);

}  // namespace vorn::ffi
