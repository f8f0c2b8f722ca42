// A SyncStore holds one limit shared by many processes through Redis, and
// answers every check from local state. Per key it keeps a mirror of the
// limit's state (per rate, as Redis last told it plus this process's lease,
// then advanced here by the same pure rules the in-process limiters use), the
// lease (allowance Redis already debited for this process, not yet spent),
// the extra (admitted without a lease, to be debited at the next sync, even
// past the limit), the demand since the last sync and a pending reset.
//
// A check: the mirror decides; a refusal is answered with its figures. An
// admission is spent from the lease when it covers the cost; else, for a key
// that has not been synced yet, from the credit (floor(max_overshoot * limit /
// instances) of every rate, at least 1 unless max_overshoot is 0); else it is
// refused with nothing left and the next admission at about the next sync.
// While degraded the mirror alone decides and every admission is extra.
//
// A sync, run by one host thread at a time: reports() takes the pending report
// of every key with something to say, the host sends them to Redis in one
// script call (lua/sync.lua) and gives the answers, in the same order, to
// apply(); or, when the call failed, calls failed(), which keeps the extra and
// the resets for the next sync and drops the leases given back (they may have
// reached Redis: dropping undershoots, resending could overshoot).
//
// With a zone, the keys live in the machine's table (MachineLedger), shared by
// every process of the machine that runs the same limit: a check spends the
// machine's lease, and only the process elected in the table's file reports
// its keys (sync_turn). A call that cannot use that table (a stuck lock, the
// file cut short) is answered from this process's own table instead, which
// this process then syncs itself.
//
// A key unchecked for three syncs gives its lease back at the next one, and
// leaves the table once its mirror is as a fresh state and nothing is pending.
// The table holds at most max_keys keys: past it, a new key is refused (nothing
// left, next admission at the next sync) until others leave.
//
// Thread-safety: check, refund, reset, sync_turn, reports, apply, failed,
// forked and set_degraded are thread-safe; sync_turn/reports/apply/failed must
// not be called by two threads at once (one sync at a time). Each runs under the key's shard
// lock (a ForkSafeMutex at LockLevel::Shard); no other lock is held meanwhile.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "algorithms/algorithm_result.h"
#include "algorithms/clock.h"
#include "algorithms/cost.h"
#include "algorithms/limit_policy.h"
#include "algorithms/rate.h"
#include "sync/sync_reports.h"
#include "zone/zone_placement.h"

namespace vorn {

// What makes an engine a synced one.
struct SyncSettings {
  double max_overshoot = 0.02;  // share of each rate that credit may pass it by, in all
  uint64_t interval_ms = 100;   // between syncs: a refusal for want of a lease waits this
  size_t max_keys = 1 << 20;    // keys the table holds at most
  // With a zone, every process of the machine with the same limit (and the
  // same `zone_scope`, which names where it syncs) shares one table of keys
  // beside the zone, and one of them syncs it for all.
  std::optional<ZonePlacement> zone;
  std::string zone_scope;
};

enum class SyncKind : uint8_t { TokenBucket, FixedWindow, LeakyBucket };

class SyncStore {
 public:
  // `kind` of `rates` (1 to kMaxRates, valid by rates_problem).
  SyncStore(SyncKind kind, const std::vector<Rate>& rates, SyncSettings settings,
            Clock clock = Clock::system());
  ~SyncStore();
  SyncStore(SyncStore&&) noexcept;
  SyncStore(const SyncStore&) = delete;
  SyncStore& operator=(const SyncStore&) = delete;

  // Thread-safe. Throws FatalError when the clock reads before the epoch.
  AlgorithmResult check(std::string_view key, Cost cost = {}) const;
  // Gives back up to `amount` to `key`'s mirror, and to Redis by the next
  // sync (first out of its extra, the rest held as lease); nothing for an
  // unknown key. Thread-safe.
  void refund(std::string_view key, double amount) const;
  // Forgets `key` here and, at the next sync, in Redis. Thread-safe.
  void reset(std::string_view key) const;

  // See sync_reports.h for the shapes. `closing` gives every lease back.
  std::vector<SyncReport> reports(bool closing) const;
  void apply(uint64_t server_now_ms, uint64_t instances,
             const std::vector<SyncAnswer>& answers) const;
  void failed() const;
  // In a forked child: forgets every key (the leases, extra and demand are
  // the parent's) and any sync in flight; the child is a new instance.
  void forked() const;

  // Whether this process should sync now: always without a zone; with one,
  // when it is elected to sync the machine's table (which this renews or takes
  // over) or has keys it had to keep alone. Call it once before each sync.
  bool sync_turn() const;
  // Whether checks use the machine's table; why not, when a zone was given
  // and its table could not be attached (empty otherwise).
  bool shares_machine() const;
  const std::string& ledger_problem() const { return ledger_problem_; }

  void set_degraded(bool degraded) const;
  bool degraded() const;
  // Live instances Redis last counted (1 before the first sync).
  uint64_t instances() const;

  SyncKind kind() const { return kind_; }
  size_t rate_count() const { return rates_.size(); }
  size_t keys_held() const;
  std::vector<LimitPolicy> policies() const;

 private:
  struct Table;
  struct Flight;
  // Requires no lock: the credit is read and written whole.
  void update_credit() const;
  uint64_t wait_ms(uint64_t now, uint64_t last_report) const;
  void fail_flights(const std::vector<Flight>& flights, bool elected, bool resign) const;

  SyncKind kind_;
  std::vector<Rate> rates_;
  SyncSettings settings_;
  Clock clock_;
  std::string ledger_problem_;
  std::unique_ptr<Table> table_;  // never moves, so checks may hold on to it
};

}  // namespace vorn
