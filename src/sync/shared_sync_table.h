// A SharedSyncTable is a synced engine's table of keys kept in a
// MachineLedger, shared by every process of the machine: the same rules as a
// process's own table (KeyRules), with each key's state copied out of its
// record, checked for plausibility, changed and committed under the record's
// shard lock. A record that is not plausible starts fresh.
//
// Thread-safety: as MachineLedger's; every function throws ZoneError when the
// ledger cannot be used (a stuck or failed lock, a truncated file).
#pragma once

#include <cstring>
#include <string_view>
#include <vector>

#include "sync/machine_ledger.h"
#include "sync/sync_key.h"

namespace vorn {

// A report of a shared key in flight: which record it came from.
struct SharedFlight {
  LedgerRecordId id;
};

template <typename Rules>
class SharedSyncTable {
 public:
  using Key = SyncKey<Rules>;

  SharedSyncTable(const MachineLedger& ledger, const KeyRules<Rules>& rules)
      : ledger_(ledger), rules_(rules) {}

  AlgorithmResult check(std::string_view key, Cost cost, uint64_t now, bool degraded,
                        double credit, uint64_t wait_ms) const {
    AlgorithmResult result;
    const bool ran = ledger_.with_record(ledger_.id_of(key), true, sizeof(Key),
                                         [&](void* raw, bool held) {
      Key state = held_or_fresh(raw, held, key, now);
      result = rules_.check(state, now, cost, degraded, credit, wait_ms);
      std::memcpy(raw, &state, sizeof state);
      return true;
    });
    if (!ran) return rules_.refused(rules_.fresh(KeyDigest{}, now), now, cost, wait_ms);
    return result;
  }

  void refund(std::string_view key, double amount, uint64_t now) const {
    ledger_.with_record(ledger_.id_of(key), false, sizeof(Key), [&](void* raw, bool held) {
      Key state = read(raw);
      if (!held || !rules_.plausible(state)) return false;
      rules_.refund(state, now, amount);
      std::memcpy(raw, &state, sizeof state);
      return true;
    });
  }

  void reset(std::string_view key, uint64_t now) const {
    ledger_.with_record(ledger_.id_of(key), true, sizeof(Key), [&](void* raw, bool held) {
      Key state = held_or_fresh(raw, held, key, now);
      rules_.reset(state, now);
      std::memcpy(raw, &state, sizeof state);
      return true;
    });
  }

  // The reports of every key with news, carried by `flight` (this process).
  void reports(uint64_t now, uint64_t flight, std::vector<SyncReport>& out,
               std::vector<SharedFlight>& flights) const {
    ledger_.for_each(sizeof(Key), [&](void* raw, const LedgerRecordId& id) {
      Key state = read(raw);
      if (!rules_.plausible(state)) return -1;
      SyncReport report;
      if (rules_.report(state, false, flight, report)) {
        out.push_back(std::move(report));
        flights.push_back({id});
      } else if (rules_.removable(state, now)) {
        return -1;
      }
      std::memcpy(raw, &state, sizeof state);
      return 1;
    });
  }

  void apply(const SharedFlight& sent, const SyncAnswer& answer, uint64_t server_now,
             int64_t offset, uint64_t flight) const {
    on_flight(sent, flight, [&](Key& state) { rules_.apply(state, answer, server_now, offset); });
  }

  void failed(const SharedFlight& sent, uint64_t flight) const {
    on_flight(sent, flight, [&](Key& state) { rules_.failed(state); });
  }

  // After taking the election over: the reports another process had in
  // flight are taken as failed (resending their extra can only undershoot).
  void recover(uint64_t flight) const {
    ledger_.for_each(sizeof(Key), [&](void* raw, const LedgerRecordId&) {
      Key state = read(raw);
      if (!rules_.plausible(state)) return -1;
      if (!state.in_flight || state.flight == flight) return 0;
      rules_.failed(state);
      std::memcpy(raw, &state, sizeof state);
      return 1;
    });
  }

 private:
  static Key read(const void* raw) {
    Key state;
    std::memcpy(&state, raw, sizeof state);
    return state;
  }

  Key held_or_fresh(const void* raw, bool held, std::string_view key, uint64_t now) const {
    if (held) {
      Key state = read(raw);
      if (rules_.plausible(state)) return state;
    }
    return rules_.fresh(key_digest(key), now);
  }

  template <typename Change>
  void on_flight(const SharedFlight& sent, uint64_t flight, Change&& change) const {
    ledger_.with_record(sent.id, false, sizeof(Key), [&](void* raw, bool held) {
      Key state = read(raw);
      // A record recovered by another process meanwhile is not this sync's.
      if (!held || !rules_.plausible(state) || !state.in_flight || state.flight != flight) {
        return false;
      }
      change(state);
      std::memcpy(raw, &state, sizeof state);
      return true;
    });
  }

  const MachineLedger& ledger_;
  const KeyRules<Rules>& rules_;
};

}  // namespace vorn
