#include "sync/sync_store.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <unordered_map>
#include <variant>

#include "algorithms/fatal_error.h"
#include "algorithms/numeric.h"
#include "algorithms/rate_decision.h"
#include "algorithms/rate_rules.h"
#include "algorithms/shard_count.h"
#include "core/fork_guard.h"
#include "sync/key_digest.h"
#include "sync/shared_sync_table.h"
#include "sync/sync_key.h"
#include "zone/zone_error.h"
#include "zone/zone_mapping.h"

namespace vorn {
namespace {

struct TextHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};
struct TextEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return a == b; }
};

}  // namespace

// One algorithm's table of this process's own keys. Requires nothing of its
// callers beyond SyncStore's rules.
template <typename Rules>
class SyncTable {
 public:
  using Key = SyncKey<Rules>;

  SyncTable(const std::vector<Rate>& rates, const SyncSettings& settings)
      : rules_(rates),
        shard_count_(default_shard_count()),
        shards_(std::make_unique<Shard[]>(shard_count_)),
        per_shard_(std::max<size_t>(1, settings.max_keys / shard_count_)) {}

  const KeyRules<Rules>& rules() const { return rules_; }

  AlgorithmResult check(std::string_view key, Cost cost, uint64_t now, bool degraded,
                        double credit, uint64_t wait_ms) const {
    Shard& shard = shard_for(key);
    std::lock_guard lock(shard.mutex);
    auto found = shard.keys.find(key);
    if (found == shard.keys.end()) {
      if (shard.keys.size() >= per_shard_) {
        return rules_.refused(rules_.fresh(KeyDigest{}, now), now, cost, wait_ms);
      }
      found = shard.keys.emplace(std::string(key), rules_.fresh(key_digest(key), now)).first;
    }
    return rules_.check(found->second, now, cost, degraded, credit, wait_ms);
  }

  void refund(std::string_view key, double amount, uint64_t now) const {
    Shard& shard = shard_for(key);
    std::lock_guard lock(shard.mutex);
    auto found = shard.keys.find(key);
    if (found != shard.keys.end()) rules_.refund(found->second, now, amount);
  }

  // `only_held`: a key this table does not hold is left alone.
  void reset(std::string_view key, uint64_t now, bool only_held) const {
    Shard& shard = shard_for(key);
    std::lock_guard lock(shard.mutex);
    auto found = shard.keys.find(key);
    if (found == shard.keys.end()) {
      if (only_held || shard.keys.size() >= per_shard_) return;
      found = shard.keys.emplace(std::string(key), rules_.fresh(key_digest(key), now)).first;
    }
    rules_.reset(found->second, now);
  }

  void reports(bool closing, uint64_t now, std::vector<SyncReport>& out,
               std::vector<std::string>& keys) const {
    for (size_t s = 0; s < shard_count_; ++s) {
      Shard& shard = shards_[s];
      std::lock_guard lock(shard.mutex);
      for (auto it = shard.keys.begin(); it != shard.keys.end();) {
        SyncReport report;
        if (rules_.report(it->second, closing, 0, report)) {
          out.push_back(std::move(report));
          keys.push_back(it->first);
          ++it;
        } else if (rules_.removable(it->second, now)) {
          it = shard.keys.erase(it);
        } else {
          ++it;
        }
      }
    }
  }

  void apply(const std::string& key, const SyncAnswer& answer, uint64_t server_now,
             int64_t offset) const {
    Shard& shard = shard_for(key);
    std::lock_guard lock(shard.mutex);
    auto found = shard.keys.find(key);
    if (found != shard.keys.end()) rules_.apply(found->second, answer, server_now, offset);
  }

  void failed(const std::string& key) const {
    Shard& shard = shard_for(key);
    std::lock_guard lock(shard.mutex);
    auto found = shard.keys.find(key);
    if (found != shard.keys.end()) rules_.failed(found->second);
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

 private:
  struct Shard {
    ForkSafeMutex mutex{LockLevel::Shard};
    // mutex protects the following state.
    std::unordered_map<std::string, Key, TextHash, TextEqual> keys;
  };

  Shard& shard_for(std::string_view key) const {
    return shards_[TextHash{}(key) & (shard_count_ - 1)];
  }

  KeyRules<Rules> rules_;
  size_t shard_count_;
  std::unique_ptr<Shard[]> shards_;
  size_t per_shard_;
};

// A store's tables of one algorithm: its own, and, with a zone, the machine's.
template <typename Rules>
struct Tables {
  Tables(const std::vector<Rate>& rates, const SyncSettings& settings) : local(rates, settings) {}

  SyncTable<Rules> local;
  std::optional<SharedSyncTable<Rules>> shared;
};

using TypedTables = std::variant<Tables<TokenBucketRules>, Tables<FixedWindowRules>,
                                 Tables<LeakyBucketRules>>;

// Where a report in flight came from.
struct SyncStore::Flight {
  bool shared = false;
  std::string key;      // the local table's key
  SharedFlight record;  // the shared table's record
};

struct SyncStore::Table {
  explicit Table(TypedTables tables) : typed(std::move(tables)) {}

  TypedTables typed;
  std::unique_ptr<MachineLedger> ledger;  // with a zone, once attached
  std::atomic<bool> ledger_failed{false};
  // in_flight_mutex protects where the reports of the sync under way came
  // from and whether this process syncs the machine's table; never held while
  // a shard lock (of either table) is taken.
  ForkSafeMutex in_flight_mutex{LockLevel::Leaf};
  std::vector<Flight> flights;
  bool elected = false;
  bool resign = false;
  std::atomic<double> credit{0.0};
  std::atomic<double> shared_credit{0.0};
  std::atomic<uint64_t> last_report_ms{0};
  std::atomic<uint64_t> instances{1};
  std::atomic<bool> degraded{false};

  template <typename Body>
  decltype(auto) visit(Body&& body) const {
    return std::visit(std::forward<Body>(body), typed);
  }
  template <typename Body>
  decltype(auto) visit_to_build(Body&& body) {
    return std::visit(std::forward<Body>(body), typed);
  }

  // The sync under way, taken to be answered or failed.
  struct SyncInFlight {
    std::vector<Flight> flights;
    bool elected;
    bool resign;
  };
  SyncInFlight take_sync() {
    std::lock_guard lock(in_flight_mutex);
    SyncInFlight taken{std::move(flights), elected, resign};
    flights.clear();
    return taken;
  }

  // The machine's table while it can be used.
  bool sharing() const { return ledger && !ledger_failed.load(std::memory_order_relaxed); }
  // A ledger that failed for good (cut short) is used no more; a stuck lock
  // fails only the calls that meet it.
  void note_failure() {
    if (ledger && ledger->broken()) ledger_failed.store(true, std::memory_order_relaxed);
  }
};

namespace {

TypedTables typed_tables(SyncKind kind, const std::vector<Rate>& rates,
                         const SyncSettings& settings) {
  switch (kind) {
    case SyncKind::FixedWindow:
      return TypedTables(std::in_place_type<Tables<FixedWindowRules>>, rates, settings);
    case SyncKind::LeakyBucket:
      return TypedTables(std::in_place_type<Tables<LeakyBucketRules>>, rates, settings);
    case SyncKind::TokenBucket:
      break;
  }
  return TypedTables(std::in_place_type<Tables<TokenBucketRules>>, rates, settings);
}

std::string scope_of(SyncKind kind, const std::vector<Rate>& rates, const SyncSettings& settings) {
  std::string scope = std::to_string(static_cast<int>(kind));
  for (const Rate& rate : rates) {
    scope += ':' + std::to_string(rate.count) + '/' + std::to_string(rate.window_ms);
  }
  return scope + '|' + settings.zone_scope;
}

double credit_for(double max_overshoot, uint64_t instances, const auto& rules) {
  if (!(max_overshoot > 0.0)) return 0.0;
  double credit = std::numeric_limits<double>::infinity();
  for (size_t i = 0; i < rules.count(); ++i) {
    credit = std::min(credit, std::floor(max_overshoot * rules.limit(i) /
                                         static_cast<double>(std::max<uint64_t>(instances, 1))));
  }
  return std::max(credit, 1.0);
}

}  // namespace

SyncStore::SyncStore(SyncKind kind, const std::vector<Rate>& rates, SyncSettings settings,
                     Clock clock)
    : kind_(kind),
      rates_(rates),
      settings_(settings),
      clock_(clock),
      table_(std::make_unique<Table>(typed_tables(kind, rates, settings))) {
  if (settings_.zone) {
    // A bad name or directory is the caller's to hear of; any other failure
    // leaves each process syncing its own keys.
    zone::validate_zone_name(settings_.zone->name);
    zone::zone_directory(settings_.zone->directory);
    try {
      table_->ledger = table_->visit_to_build([&](auto& tables) {
        using Key = typename std::remove_reference_t<decltype(tables.local.rules())>::Key;
        const std::optional<uint64_t> bytes = settings_.zone->size_bytes;
        const uint64_t records =
            bytes ? MachineLedger::records_for(*bytes, sizeof(Key))
                  : std::min<uint64_t>(settings_.max_keys, MachineLedger::kDefaultRecords);
        return MachineLedger::open(*settings_.zone, scope_of(kind, rates, settings_), sizeof(Key),
                                   records);
      });
      table_->visit_to_build(
          [&](auto& tables) { tables.shared.emplace(*table_->ledger, tables.local.rules()); });
    } catch (const zone::ZoneRefusal&) {
      throw;  // a size out of bounds is the caller's to hear of
    } catch (const ZoneError& error) {
      ledger_problem_ = error.what();
      table_->ledger.reset();
    }
  }
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
bool SyncStore::degraded() const {
  if (table_->degraded.load(std::memory_order_relaxed)) return true;
  return table_->sharing() && table_->ledger->degraded();
}
uint64_t SyncStore::instances() const { return table_->instances.load(std::memory_order_relaxed); }
bool SyncStore::shares_machine() const { return table_->sharing(); }

void SyncStore::update_credit() const {
  table_->visit([&](const auto& tables) {
    const auto& rules = tables.local.rules();
    table_->credit.store(credit_for(settings_.max_overshoot,
                                    table_->instances.load(std::memory_order_relaxed), rules),
                         std::memory_order_relaxed);
    if (table_->sharing()) {
      table_->shared_credit.store(
          credit_for(settings_.max_overshoot, table_->ledger->instances(), rules),
          std::memory_order_relaxed);
    }
  });
}

uint64_t SyncStore::wait_ms(uint64_t now, uint64_t last_report) const {
  const uint64_t since = saturating_sub(now, last_report);
  return since >= settings_.interval_ms ? 1 : settings_.interval_ms - since;
}

AlgorithmResult SyncStore::check(std::string_view key, Cost cost) const {
  const uint64_t now = clock_.now_ms();
  if (table_->sharing()) {
    try {
      const MachineLedger& ledger = *table_->ledger;
      const uint64_t wait = wait_ms(
          now, std::max(ledger.last_sync_ms(), table_->last_report_ms.load(std::memory_order_relaxed)));
      const double credit = table_->shared_credit.load(std::memory_order_relaxed);
      const bool degraded = this->degraded();
      return table_->visit([&](const auto& tables) {
        return tables.shared->check(key, cost, now, degraded, credit, wait);
      });
    } catch (const ZoneError&) {
      table_->note_failure();  // this check is counted here, and synced by this process
    }
  }
  const uint64_t wait = wait_ms(now, table_->last_report_ms.load(std::memory_order_relaxed));
  const double credit = table_->credit.load(std::memory_order_relaxed);
  const bool degraded = table_->degraded.load(std::memory_order_relaxed);
  return table_->visit([&](const auto& tables) {
    return tables.local.check(key, cost, now, degraded, credit, wait);
  });
}

void SyncStore::refund(std::string_view key, double amount) const {
  const uint64_t now = clock_.now_ms();
  table_->visit([&](const auto& tables) {
    if (table_->sharing()) {
      try {
        tables.shared->refund(key, amount, now);
      } catch (const ZoneError&) {
        table_->note_failure();
      }
    }
    tables.local.refund(key, amount, now);
  });
}

void SyncStore::reset(std::string_view key) const {
  const uint64_t now = clock_.now_ms();
  table_->visit([&](const auto& tables) {
    bool shared = false;
    if (table_->sharing()) {
      try {
        tables.shared->reset(key, now);
        shared = true;
      } catch (const ZoneError&) {
        table_->note_failure();
      }
    }
    tables.local.reset(key, now, shared);
  });
}

bool SyncStore::sync_turn() const {
  if (!table_->sharing()) return true;
  const uint64_t now = clock_.now_ms();
  bool elected = false;
  bool took_over = false;
  try {
    elected = table_->ledger->elect(now, settings_.interval_ms, took_over);
    if (took_over) {
      const uint64_t self = table_->ledger->self();
      table_->visit([&](const auto& tables) { tables.shared->recover(self); });
    }
  } catch (const ZoneError&) {
    table_->note_failure();
  }
  {
    std::lock_guard lock(table_->in_flight_mutex);
    table_->elected = elected;
  }
  update_credit();
  if (elected || !table_->sharing()) return true;
  // A process that is not elected syncs only what it had to keep alone; with
  // nothing of its own, whether Redis answers is the elected process's to say.
  const bool own_keys = table_->visit([](const auto& tables) { return tables.local.size() > 0; });
  if (!own_keys) set_degraded(false);
  return own_keys;
}

std::vector<SyncReport> SyncStore::reports(bool closing) const {
  const uint64_t now = clock_.now_ms();
  std::vector<SyncReport> out;
  std::vector<Flight> flights;
  std::vector<std::string> keys;
  table_->visit([&](const auto& tables) { tables.local.reports(closing, now, out, keys); });
  for (std::string& key : keys) flights.push_back(Flight{false, std::move(key), {}});
  bool elected = false;
  {
    std::lock_guard lock(table_->in_flight_mutex);
    elected = table_->elected;
  }
  if (elected && table_->sharing()) {
    std::vector<SharedFlight> records;
    try {
      // The machine's leases stay with the machine when one process closes.
      table_->visit([&](const auto& tables) {
        tables.shared->reports(now, table_->ledger->self(), out, records);
      });
    } catch (const ZoneError&) {
      table_->note_failure();  // the records reported so far are in flight all the same
    }
    for (const SharedFlight& record : records) flights.push_back(Flight{true, {}, record});
  }
  table_->last_report_ms.store(now, std::memory_order_relaxed);
  std::lock_guard lock(table_->in_flight_mutex);
  table_->resign = elected && closing;
  table_->flights = std::move(flights);
  return out;
}

void SyncStore::apply(uint64_t server_now_ms, uint64_t instances,
                      const std::vector<SyncAnswer>& answers) const {
  // Plain names, not a structured binding: lambdas below capture them.
  Table::SyncInFlight taken = table_->take_sync();
  const std::vector<Flight>& flights = taken.flights;
  const bool elected = taken.elected;
  const bool resign = taken.resign;
  const size_t numbers = 2 * rates_.size();
  bool well_formed = answers.size() == flights.size();
  for (size_t i = 0; well_formed && i < answers.size(); ++i) {
    well_formed = answers[i].states.size() == numbers;
  }
  if (!well_formed) {
    fail_flights(flights, elected, resign);
    throw std::invalid_argument("a sync gave " + std::to_string(answers.size()) +
                                " answers to " + std::to_string(flights.size()) +
                                " reports, each of " + std::to_string(numbers) +
                                " state numbers (two per rate)");
  }
  const uint64_t local_now = clock_.now_ms();
  const int64_t offset = static_cast<int64_t>(local_now) - static_cast<int64_t>(server_now_ms);
  const uint64_t self = table_->ledger ? table_->ledger->self() : 0;
  table_->visit([&](const auto& tables) {
    for (size_t i = 0; i < flights.size(); ++i) {
      if (!flights[i].shared) {
        tables.local.apply(flights[i].key, answers[i], server_now_ms, offset);
        continue;
      }
      try {
        tables.shared->apply(flights[i].record, answers[i], server_now_ms, offset, self);
      } catch (const ZoneError&) {
        table_->note_failure();  // the record stays in flight until the next election
      }
    }
  });
  table_->instances.store(std::max<uint64_t>(instances, 1), std::memory_order_relaxed);
  if (elected && table_->ledger) {
    table_->ledger->publish(std::max<uint64_t>(instances, 1), false, local_now);
    if (resign) table_->ledger->resign();
  }
  update_credit();
  set_degraded(false);
}

void SyncStore::fail_flights(const std::vector<Flight>& flights, bool elected, bool resign) const {
  const uint64_t self = table_->ledger ? table_->ledger->self() : 0;
  table_->visit([&](const auto& tables) {
    for (const Flight& flight : flights) {
      if (!flight.shared) {
        tables.local.failed(flight.key);
        continue;
      }
      try {
        tables.shared->failed(flight.record, self);
      } catch (const ZoneError&) {
        table_->note_failure();
      }
    }
  });
  if (elected && table_->ledger) {
    table_->ledger->publish(table_->ledger->instances(), true, table_->ledger->last_sync_ms());
    if (resign) table_->ledger->resign();
  }
}

void SyncStore::failed() const {
  // Plain names, not a structured binding: lambdas below capture them.
  Table::SyncInFlight taken = table_->take_sync();
  const std::vector<Flight>& flights = taken.flights;
  const bool elected = taken.elected;
  const bool resign = taken.resign;
  fail_flights(flights, elected, resign);
  set_degraded(true);
}

void SyncStore::forked() const {
  {
    std::lock_guard lock(table_->in_flight_mutex);
    table_->flights.clear();
    table_->elected = false;
    table_->resign = false;
  }
  table_->visit([](const auto& tables) { tables.local.clear(); });
  table_->instances.store(1, std::memory_order_relaxed);
  update_credit();
  set_degraded(false);
}

size_t SyncStore::keys_held() const {
  size_t held = table_->visit([](const auto& tables) { return tables.local.size(); });
  if (table_->sharing()) held += table_->ledger->records_in_use();
  return held;
}

std::vector<LimitPolicy> SyncStore::policies() const {
  return table_->visit([](const auto& tables) { return tables.local.rules().policies(); });
}

}  // namespace vorn
