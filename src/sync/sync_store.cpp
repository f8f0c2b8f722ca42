#include "sync/sync_store.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <unordered_map>
#include <variant>

#include "algorithms/fatal_error.h"
#include "algorithms/numeric.h"
#include "algorithms/rate_decision.h"
#include "algorithms/rate_rules.h"
#include "algorithms/shard_count.h"
#include "core/fork_guard.h"

namespace vorn {
namespace {

// A key keeps its lease through this many syncs without a check, so that a
// key asked every few intervals does not wait for a sync each time.
constexpr uint8_t kIdleSyncs = 3;

// What a store keeps of one key between syncs.
template <typename Rules>
struct KeyState {
  std::array<typename Rules::State, kMaxRates> mirror{};
  double lease = 0.0;  // reserved in Redis for this process, not yet spent
  double extra = 0.0;  // admitted without a lease since the last report
  double demand = 0.0;
  double credit_used = 0.0;  // before the key's first answer, across reports
  uint64_t lease_time = 0;   // Redis ms of the last grant
  bool asked = false;        // checked since the last report
  uint8_t idle = 0;          // reports since it was last checked
  bool reset = false;
  bool synced = false;  // an answer came for it: no more credit
  bool in_flight = false;
};

struct TextHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};
struct TextEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return a == b; }
};

// How each algorithm's state reads Redis's numbers and holds a lease. `own`
// is what this process holds beyond Redis's state: its lease less what it
// admitted that Redis has not been told of.
template <typename Rules>
struct LeaseRules;

template <>
struct LeaseRules<TokenBucketRules> {
  static constexpr LimitReason kRefused = LimitReason::TokenExhausted;
  static constexpr bool kWhole = false;
  static token_bucket::Bucket from_redis(double level, uint64_t at, double own) {
    return {level + own, at};
  }
  static bool rolls_over(const token_bucket::Bucket&, uint64_t, const TokenBucketRules::Params&) {
    return false;
  }
  static double limit(const TokenBucketRules::Params& p) { return p.capacity; }
};

template <>
struct LeaseRules<LeakyBucketRules> {
  static constexpr LimitReason kRefused = LimitReason::LimitExceeded;
  static constexpr bool kWhole = false;
  static leaky_bucket::Bucket from_redis(double level, uint64_t at, double own) {
    return {std::max(0.0, level - own), at};
  }
  static bool rolls_over(const leaky_bucket::Bucket&, uint64_t, const LeakyBucketRules::Params&) {
    return false;
  }
  static double limit(const LeakyBucketRules::Params& p) { return p.capacity; }
};

template <>
struct LeaseRules<FixedWindowRules> {
  static constexpr LimitReason kRefused = LimitReason::LimitExceeded;
  static constexpr bool kWhole = true;
  static Window from_redis(double count, uint64_t at, double own) {
    return {to_u64_saturating(std::max(0.0, count - own)), at};
  }
  // A lease is of the window it was granted in.
  static bool rolls_over(const Window& window, uint64_t now, const WindowParams& p) {
    return now >= window.window_start + p.window_ms;
  }
  static double limit(const WindowParams& p) { return static_cast<double>(p.max_requests); }
};

uint64_t to_local(double redis_ms, int64_t offset) {
  const double local = redis_ms + static_cast<double>(offset);
  return local > 0.0 ? to_u64_saturating(local) : 0;
}

}  // namespace

// One algorithm's table. Requires nothing of its callers beyond SyncStore's rules.
template <typename Rules>
class SyncTable {
 public:
  using Lease = LeaseRules<Rules>;
  using Key = KeyState<Rules>;

  SyncTable(const std::vector<Rate>& rates, const SyncSettings& settings)
      : shard_count_(default_shard_count()),
        shards_(std::make_unique<Shard[]>(shard_count_)),
        count_(rates.size()),
        per_shard_(std::max<size_t>(1, settings.max_keys / shard_count_)) {
    for (size_t i = 0; i < count_; ++i) params_[i] = Rules::params(rates[i]);
  }

  double limit(size_t i) const { return Lease::limit(params_[i]); }
  size_t count() const { return count_; }

  AlgorithmResult check(std::string_view key, Cost cost, uint64_t now, const SyncStore& store,
                        double credit, uint64_t wait_ms) const {
    Shard& shard = shard_for(key);
    std::lock_guard lock(shard.mutex);
    auto found = shard.keys.find(key);
    if (found == shard.keys.end()) {
      if (shard.keys.size() >= per_shard_) return refused(fresh(now), now, cost, wait_ms);
      found = shard.keys.emplace(std::string(key), fresh(now)).first;
    }
    Key& state = found->second;
    state.asked = true;
    state.demand += cost.take;
    for (size_t i = 0; i < count_; ++i) {
      if (Lease::rolls_over(state.mirror[i], now, params_[i])) state.lease = 0.0;
    }
    auto trial = state.mirror;
    AlgorithmResult result = decide(trial, now, cost);
    if (!result.allowed) {
      state.mirror = trial;
      return result;
    }
    const double take = cost.take;
    if (store.degraded()) {
      state.extra += take;
    } else {
      const double credit_left = state.synced ? 0.0 : std::max(0.0, credit - state.credit_used);
      if (state.lease + credit_left < take) return refused(state, now, cost, wait_ms);
      const double from_lease = std::min(state.lease, take);
      state.lease -= from_lease;
      state.extra += take - from_lease;
      state.credit_used += take - from_lease;
    }
    state.mirror = trial;
    return result;
  }

  void refund(std::string_view key, double amount, uint64_t now) const {
    Shard& shard = shard_for(key);
    std::lock_guard lock(shard.mutex);
    auto found = shard.keys.find(key);
    if (found == shard.keys.end() || !(amount > 0.0)) return;
    Key& state = found->second;
    for (size_t i = 0; i < count_; ++i) Rules::refund(state.mirror[i], now, params_[i], amount);
    // What Redis was never told of is simply not told; the rest Redis holds
    // as spent, so it is this process's to spend again or give back.
    const double untold = std::min(state.extra, amount);
    state.extra -= untold;
    state.lease += amount - untold;
  }

  void reset(std::string_view key, uint64_t now) const {
    Shard& shard = shard_for(key);
    std::lock_guard lock(shard.mutex);
    auto found = shard.keys.find(key);
    if (found == shard.keys.end()) {
      if (shard.keys.size() >= per_shard_) return;
      found = shard.keys.emplace(std::string(key), fresh(now)).first;
    }
    Key& state = found->second;
    const bool in_flight = state.in_flight;
    state = fresh(now);
    state.reset = true;
    state.in_flight = in_flight;
  }

  void reports(bool closing, uint64_t now, std::vector<SyncReport>& out) const {
    for (size_t s = 0; s < shard_count_; ++s) {
      Shard& shard = shards_[s];
      std::lock_guard lock(shard.mutex);
      for (auto it = shard.keys.begin(); it != shard.keys.end();) {
        Key& state = it->second;
        SyncReport report;
        if (state.asked && !closing) {
          double want = std::max(1.0, 2.0 * state.demand) - state.lease;
          if (Lease::kWhole) want = std::ceil(want);
          report.want = std::max(0.0, want);
        }
        state.idle = state.asked ? 0 : static_cast<uint8_t>(std::min(state.idle + 1, 255));
        if ((state.idle >= kIdleSyncs || closing) && state.lease > 0.0) {
          report.unused = state.lease;
          report.lease_time_ms = state.lease_time;
          state.lease = 0.0;
        }
        report.extra = state.extra;
        report.reset = state.reset;
        if (state.asked || report.extra > 0.0 || report.unused > 0.0 || report.reset) {
          report.key = it->first;
          out.push_back(std::move(report));
          state.extra = 0.0;
          state.reset = false;
          state.demand = 0.0;
          state.asked = false;
          state.in_flight = true;
          ++it;
        } else if (!state.in_flight && whole(state, now)) {
          it = shard.keys.erase(it);
        } else {
          ++it;
        }
      }
    }
  }

  void apply(const SyncReport& report, const SyncAnswer& answer, uint64_t server_now,
             int64_t offset) const {
    if (answer.states.size() != 2 * count_) {
      throw std::invalid_argument("a sync answer holds " + std::to_string(answer.states.size()) +
                                  " state numbers; this limit has " + std::to_string(count_) +
                                  " rates, two each");
    }
    Shard& shard = shard_for(report.key);
    std::lock_guard lock(shard.mutex);
    auto found = shard.keys.find(report.key);
    if (found == shard.keys.end()) return;
    Key& state = found->second;
    state.in_flight = false;
    // A reset since the report makes this answer stale: the next sync resets
    // Redis, and with it this lease.
    if (state.reset) return;
    for (size_t i = 0; i < count_; ++i) {
      // A lease of a window that has rolled since is worth nothing.
      if (Lease::kWhole && answer.states[2 * i + 1] > static_cast<double>(state.lease_time)) {
        state.lease = 0.0;
      }
    }
    state.lease += std::max(0.0, answer.lease);
    state.lease_time = server_now;
    const double own = state.lease - state.extra;
    for (size_t i = 0; i < count_; ++i) {
      state.mirror[i] =
          Lease::from_redis(answer.states[2 * i], to_local(answer.states[2 * i + 1], offset), own);
    }
    state.synced = true;
  }

  void failed(const SyncReport& report) const {
    Shard& shard = shard_for(report.key);
    std::lock_guard lock(shard.mutex);
    auto found = shard.keys.find(report.key);
    if (found == shard.keys.end()) return;
    Key& state = found->second;
    state.in_flight = false;
    if (state.reset) return;  // reset since: what came before it is forgotten
    state.extra += report.extra;
    state.reset = report.reset;
    if (report.want > 0.0) state.asked = true;
  }

  void clear() const {
    for (size_t s = 0; s < shard_count_; ++s) {
      std::lock_guard lock(shards_[s].mutex);
      shards_[s].keys.clear();
    }
  }

  size_t size() const {
    size_t total = 0;
    for (size_t s = 0; s < shard_count_; ++s) {
      std::lock_guard lock(shards_[s].mutex);
      total += shards_[s].keys.size();
    }
    return total;
  }

  std::vector<LimitPolicy> policies() const {
    std::vector<LimitPolicy> policies;
    for (size_t i = 0; i < count_; ++i) policies.push_back(Rules::policy(params_[i]));
    return policies;
  }

 private:
  struct Shard {
    ForkSafeMutex mutex{LockLevel::Shard};
    // mutex protects the following state.
    std::unordered_map<std::string, Key, TextHash, TextEqual> keys;
  };

  Shard& shard_for(std::string_view key) const {
    return shards_[TextHash{}(key) & (shard_count_ - 1)];
  }

  // A limit of one rate is decided as its one-rate limiter decides, without
  // the combining of several.
  AlgorithmResult decide(std::array<typename Rules::State, kMaxRates>& states, uint64_t now,
                         Cost cost) const {
    if (count_ == 1) return Rules::decide(states[0], now, params_[0], cost);
    return decide_rates<Rules>(states, params_, count_, now, cost);
  }

  Key fresh(uint64_t now) const {
    Key state;
    for (size_t i = 0; i < count_; ++i) state.mirror[i] = Rules::fresh(params_[i], now);
    return state;
  }

  // Whether the key can go: nothing pending and a mirror a fresh one would match.
  bool whole(const Key& state, uint64_t now) const {
    if (state.lease > 0.0 || state.extra > 0.0 || state.reset) return false;
    for (size_t i = 0; i < count_; ++i) {
      if (!Rules::is_fresh_equivalent(state.mirror[i], now, params_[i])) return false;
    }
    return true;
  }

  // The mirror's figures of `state` with nothing left: a refusal for want of
  // a lease, which the next sync may bring.
  AlgorithmResult refused(const Key& state, uint64_t now, Cost cost, uint64_t wait_ms) const {
    auto look = state.mirror;
    AlgorithmResult result = decide(look, now, Cost{cost.need, 0.0});
    result.allowed = false;
    result.reason = Lease::kRefused;
    result.remaining = 0;
    if (result.next_admission_ms) {
      result.next_admission_ms = std::max(*result.next_admission_ms, wait_ms);
    }
    if constexpr (Lease::kRefused == LimitReason::TokenExhausted) {
      result.retry_after_ms = result.next_admission_ms;
    }
    return result;
  }

  size_t shard_count_;
  std::unique_ptr<Shard[]> shards_;
  std::array<typename Rules::Params, kMaxRates> params_{};
  size_t count_;
  size_t per_shard_;
};

using TypedTable = std::variant<SyncTable<TokenBucketRules>, SyncTable<FixedWindowRules>,
                                SyncTable<LeakyBucketRules>>;

struct SyncStore::Table {
  explicit Table(TypedTable table) : typed(std::move(table)) {}

  TypedTable typed;
  // in_flight_mutex protects the reports of the sync under way; never held
  // while a shard lock is taken.
  ForkSafeMutex in_flight_mutex{LockLevel::Leaf};
  std::vector<SyncReport> in_flight;
  std::atomic<double> credit{0.0};
  std::atomic<uint64_t> last_report_ms{0};
  std::atomic<uint64_t> instances{1};
  std::atomic<bool> degraded{false};

  template <typename Body>
  decltype(auto) visit(Body&& body) const {
    return std::visit(std::forward<Body>(body), typed);
  }

  std::vector<SyncReport> take_in_flight() {
    std::lock_guard lock(in_flight_mutex);
    return std::move(in_flight);
  }
};

namespace {

TypedTable typed_table(SyncKind kind, const std::vector<Rate>& rates,
                       const SyncSettings& settings) {
  switch (kind) {
    case SyncKind::FixedWindow:
      return SyncTable<FixedWindowRules>(rates, settings);
    case SyncKind::LeakyBucket:
      return SyncTable<LeakyBucketRules>(rates, settings);
    case SyncKind::TokenBucket:
      break;
  }
  return SyncTable<TokenBucketRules>(rates, settings);
}

}  // namespace

SyncStore::SyncStore(SyncKind kind, const std::vector<Rate>& rates, SyncSettings settings,
                     Clock clock)
    : kind_(kind),
      rates_(rates),
      settings_(settings),
      clock_(clock),
      table_(std::make_unique<Table>(typed_table(kind, rates, settings))) {
  update_credit();
  // The first sync is about an interval away.
  try {
    table_->last_report_ms.store(clock_.now_ms(), std::memory_order_relaxed);
  } catch (const FatalError&) {
    // A clock before the epoch fails the first check instead.
  }
}

SyncStore::~SyncStore() = default;
SyncStore::SyncStore(SyncStore&&) noexcept = default;

void SyncStore::set_degraded(bool degraded) const {
  table_->degraded.store(degraded, std::memory_order_relaxed);
}
bool SyncStore::degraded() const { return table_->degraded.load(std::memory_order_relaxed); }
uint64_t SyncStore::instances() const { return table_->instances.load(std::memory_order_relaxed); }

void SyncStore::update_credit() const {
  const double instances = static_cast<double>(table_->instances.load(std::memory_order_relaxed));
  double credit = 0.0;
  if (settings_.max_overshoot > 0.0) {
    credit = std::numeric_limits<double>::infinity();
    table_->visit([&](const auto& table) {
      for (size_t i = 0; i < table.count(); ++i) {
        credit = std::min(credit, std::floor(settings_.max_overshoot * table.limit(i) / instances));
      }
    });
    credit = std::max(credit, 1.0);
  }
  table_->credit.store(credit, std::memory_order_relaxed);
}

AlgorithmResult SyncStore::check(std::string_view key, Cost cost) const {
  const uint64_t now = clock_.now_ms();
  const uint64_t since =
      saturating_sub(now, table_->last_report_ms.load(std::memory_order_relaxed));
  const uint64_t wait = since >= settings_.interval_ms ? 1 : settings_.interval_ms - since;
  const double credit = table_->credit.load(std::memory_order_relaxed);
  return table_->visit(
      [&](const auto& table) { return table.check(key, cost, now, *this, credit, wait); });
}

void SyncStore::refund(std::string_view key, double amount) const {
  const uint64_t now = clock_.now_ms();
  table_->visit([&](const auto& table) { table.refund(key, amount, now); });
}

void SyncStore::reset(std::string_view key) const {
  const uint64_t now = clock_.now_ms();
  table_->visit([&](const auto& table) { table.reset(key, now); });
}

std::vector<SyncReport> SyncStore::reports(bool closing) const {
  const uint64_t now = clock_.now_ms();
  std::vector<SyncReport> out;
  table_->visit([&](const auto& table) { table.reports(closing, now, out); });
  table_->last_report_ms.store(now, std::memory_order_relaxed);
  std::lock_guard lock(table_->in_flight_mutex);
  table_->in_flight = out;
  return out;
}

void SyncStore::apply(uint64_t server_now_ms, uint64_t instances,
                      const std::vector<SyncAnswer>& answers) const {
  const std::vector<SyncReport> sent = table_->take_in_flight();
  if (answers.size() != sent.size()) {
    for (const SyncReport& report : sent) {
      table_->visit([&](const auto& table) { table.failed(report); });
    }
    throw std::invalid_argument("a sync gave " + std::to_string(answers.size()) + " answers to " +
                                std::to_string(sent.size()) + " reports");
  }
  const int64_t offset =
      static_cast<int64_t>(clock_.now_ms()) - static_cast<int64_t>(server_now_ms);
  for (size_t i = 0; i < sent.size(); ++i) {
    table_->visit(
        [&](const auto& table) { table.apply(sent[i], answers[i], server_now_ms, offset); });
  }
  table_->instances.store(std::max<uint64_t>(instances, 1), std::memory_order_relaxed);
  update_credit();
  set_degraded(false);
}

void SyncStore::failed() const {
  for (const SyncReport& report : table_->take_in_flight()) {
    table_->visit([&](const auto& table) { table.failed(report); });
  }
  set_degraded(true);
}

void SyncStore::forked() const {
  table_->take_in_flight();
  table_->visit([](const auto& table) { table.clear(); });
  table_->instances.store(1, std::memory_order_relaxed);
  update_credit();
  set_degraded(false);
}

size_t SyncStore::keys_held() const {
  return table_->visit([](const auto& table) { return table.size(); });
}

std::vector<LimitPolicy> SyncStore::policies() const {
  return table_->visit([](const auto& table) { return table.policies(); });
}

}  // namespace vorn
