#include "zone/zone_log.h"

namespace vorn::zone {

void ZoneLog::pop_front() {
  const Block& head = tx_.block(log_.head);
  const uint64_t weight = weight_at(head, log_.head_pos, true);
  if (log_.size == 0) tx_.damaged("a log whose runs disagree with its size");
  --log_.size;
  if (weight > 1) {
    ++log_.front_taken;
  } else {
    log_.front_taken = 0;
    if (--log_.runs == 0) {
      if (log_.size != 0 || log_.head != log_.tail) {
        tx_.damaged("a log whose runs disagree with its size");
      }
      clear();
      return;
    }
    if (++log_.head_pos == kBlockRuns) {
      if (log_.head == log_.tail) tx_.damaged("a log with runs past its tail");
      const uint32_t next = read_index(head.next);
      consume(log_.head, log_.head);
      log_.head = next;
      log_.head_pos = 0;
    }
  }
  if (log_.size == 0) tx_.damaged("a log whose runs disagree with its size");
}

void ZoneLog::drop_newest(uint64_t count) {
  if (count == 0 || log_.size == 0) return;
  if (count >= log_.size) {
    clear();
    return;
  }
  const uint64_t keep = log_.size - count;
  uint64_t kept = 0;
  uint32_t block = log_.head;
  uint32_t position = log_.head_pos;
  for (uint32_t run = 0; run < log_.runs; ++run) {
    Block& current = tx_.block(block);
    const uint64_t weight = weight_at(current, position, run == 0);
    if (kept + weight >= keep) {
      // This run becomes the newest, standing for what is left of it.
      if (kept + weight > keep) {
        const uint64_t time = run_time(current.runs[position]);
        tx_.touch(&current);
        current.runs[position] = run_word(time, keep - kept + (run == 0 ? log_.front_taken : 0));
      }
      if (block != log_.tail) {
        if (dropped_last_ == kNoBlock) dropped_last_ = log_.tail;
        log_.tail = block;
      }
      log_.runs = run + 1;
      log_.size = keep;
      return;
    }
    kept += weight;
    if (++position == kBlockRuns) {
      if (block == log_.tail) tx_.damaged("a log with runs past its tail");
      block = read_index(current.next);
      position = 0;
    }
  }
  tx_.damaged("a log shorter than its size");
}

void ZoneLog::push_back(uint64_t time, uint64_t copies) {
  if (copies == 0) return;
  release_consumed();
  release_dropped();
  if (log_.runs != 0) {
    // Requests logged in the same millisecond as the newest run join it.
    Block& tail = tx_.block(log_.tail);
    const uint32_t position = back_position();
    const uint64_t newest = read_word(tail.runs[position]);
    if (run_time(newest) == run_time_of(time) && copies <= kMaxRunWeight - run_weight(newest)) {
      tx_.touch(&tail);
      tail.runs[position] = run_word(time, run_weight(newest) + copies);
      log_.size += copies;
      return;
    }
  }
  // No window a zone takes admits this many at once.
  if (copies > kMaxRunWeight) tx_.damaged("a run of more requests than a run holds");
  if (log_.runs == 0) {
    store();  // the slot must hold no stale chain while a block is taken
    const uint32_t block = allocate_block(tx_, held_, now_);
    log_ = LogState{0, block, 0, block, 0, 0, 0};
  } else if ((log_.head_pos + log_.runs) % kBlockRuns == 0) {
    store();
    const uint32_t block = allocate_block(tx_, held_, now_);
    Block& tail = tx_.block(log_.tail);
    tx_.touch(&tail);
    tail.next = block;
    log_.tail = block;
  }
  Block& tail = tx_.block(log_.tail);
  tx_.touch(&tail);
  const uint32_t position = (log_.head_pos + log_.runs) % kBlockRuns;
  tail.runs[position] = run_word(time, copies);
  ++log_.runs;
  log_.size += copies;
}

void ZoneLog::clear() {
  consume(log_.head, dropped_last_ != kNoBlock ? dropped_last_ : log_.tail);
  dropped_last_ = kNoBlock;
  log_ = kEmptyLog;
}

void ZoneLog::consume(uint32_t first, uint32_t last) {
  if (consumed_first_ == kNoBlock) consumed_first_ = first;
  consumed_last_ = last;
}

void ZoneLog::splice_consumed() {
  Block& last = tx_.block(consumed_last_);
  ShardState& state = tx_.state();
  tx_.touch(&last);
  tx_.touch(&state);
  last.next = state.free_head;
  state.free_head = consumed_first_;
  consumed_first_ = consumed_last_ = kNoBlock;
}

void ZoneLog::splice_dropped() {
  Block& tail = tx_.block(log_.tail);
  const uint32_t first = read_index(tail.next);
  tx_.block(first);
  Block& last = tx_.block(dropped_last_);
  ShardState& state = tx_.state();
  tx_.touch(&last);
  tx_.touch(&state);
  tx_.touch(&tail);
  last.next = state.free_head;
  state.free_head = first;
  tail.next = kNoBlock;
  dropped_last_ = kNoBlock;
}

}  // namespace vorn::zone
