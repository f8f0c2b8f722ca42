// A ZoneLog is a sliding window's log in a zone slot, seen as the log of
// request times that sliding_window's rules expect: size() counts requests,
// at(offset) is the time of the offset-th oldest request, pop_front() and
// pop_back() drop one request. Underneath it keeps runs, a time and how many
// requests were logged at it, so a request of cost c is one run (or adds to
// the newest run when logged in the same millisecond), never c entries.
//
// Blocks emptied at either end are handed back to the pool in one splice each
// when the log is next pushed to or finished, so a check writes a bounded
// number of units however many requests leave. Every walk is bounded by the
// runs the log claims, and every block index is checked: a log that does not
// add up throws ShardDamaged. Requires the shard's lock; used by one check
// and then finished; not copyable.
#pragma once

#include <cstdint>

#include "zone/shard_slots.h"

namespace vorn::zone {

class ZoneLog {
 public:
  // The log of `slot`, checked (also against `max_requests`, more than its
  // window ever logs). `held` are the slots of the check, which pushes that
  // need a block never evict.
  ZoneLog(ShardTransaction& tx, Slot& slot, uint64_t max_requests, HeldSlots held, uint64_t now)
      : tx_(tx), slot_(slot), log_(checked_log(tx, slot)), held_(held), now_(now) {
    // A window never logs more than its limit, so neither may a log claim to.
    if (log_.size > max_requests) tx_.damaged("a log longer than its window allows");
  }
  ZoneLog(const ZoneLog&) = delete;
  ZoneLog& operator=(const ZoneLog&) = delete;

  bool empty() const { return log_.size == 0; }
  uint64_t size() const { return log_.size; }
  uint64_t front() const { return run_time(tx_.block(log_.head).runs[log_.head_pos]); }
  uint64_t back() const { return run_time(tx_.block(log_.tail).runs[back_position()]); }
  uint64_t at(uint64_t offset) const {
    uint64_t left = offset;
    uint32_t block = log_.head;
    uint32_t position = log_.head_pos;
    for (uint32_t run = 0; run < log_.runs; ++run) {
      const Block& current = tx_.block(block);
      const uint64_t weight = weight_at(current, position, run == 0);
      if (left < weight) return run_time(current.runs[position]);
      left -= weight;
      if (++position == kBlockRuns) {
        block = read_index(current.next);
        position = 0;
      }
    }
    tx_.damaged("a log shorter than its size");
  }

  void pop_front();
  void pop_back() { drop_newest(1); }
  // Removes the newest `count` requests (all of them when there are fewer),
  // walking the log once.
  void drop_newest(uint64_t count);
  void push_back(uint64_t time, uint64_t copies);

  // Writes the log back into its slot and frees the blocks it gave up.
  void finish() {
    release_consumed();
    release_dropped();
    store();
  }

 private:
  uint32_t back_position() const { return (log_.head_pos + log_.runs - 1) % kBlockRuns; }
  // The requests of the run at `position` of `block`, checked; `first` says
  // whether it is the oldest run, some of whose requests may have left.
  uint64_t weight_at(const Block& block, uint32_t position, bool first) const {
    const uint64_t weight = run_weight(read_word(block.runs[position]));
    const uint64_t taken = first ? log_.front_taken : 0;
    if (weight <= taken) tx_.damaged("a run of no requests");
    return weight - taken;
  }
  void store() { store_state(slot_, log_); }
  // Empties the log, every block it still has marked for the pool.
  void clear();
  void consume(uint32_t first, uint32_t last);
  void release_consumed() {
    if (consumed_first_ != kNoBlock) splice_consumed();
  }
  void release_dropped() {
    if (dropped_last_ != kNoBlock) splice_dropped();
  }
  void splice_consumed();
  void splice_dropped();

  ShardTransaction& tx_;
  Slot& slot_;
  LogState log_;
  HeldSlots held_;
  uint64_t now_;
  // Blocks the front gave up, still chained to the head.
  uint32_t consumed_first_ = kNoBlock;
  uint32_t consumed_last_ = kNoBlock;
  // The tail before the newest requests were dropped: the blocks after the
  // present tail up to it are still chained behind it.
  uint32_t dropped_last_ = kNoBlock;
};

}  // namespace vorn::zone
