#include "core/count_registry.h"

#include <mutex>
#include <unordered_map>
#include <utility>

#include "core/engine.h"
#include "core/fork_guard.h"

namespace vorn {
namespace {

CheckCounts minus(const CheckCounts& a, const CheckCounts& b) {
  CheckCounts difference;
  for (size_t i = 0; i < kCheckOutcomeKinds; ++i) difference.values[i] = a.values[i] - b.values[i];
  return difference;
}

}  // namespace

struct CountRegistry::State {
  struct Member {
    std::string name;
    CountedStore store;
    CheckCounts baseline;  // what it had counted when it took this name
  };

  // Adds `counts` under (name, store) in `into`.
  static void add(std::vector<ProcessCounts>& into, const std::string& name,
                  const CountedStore& store, const CheckCounts& counts, bool degraded = false) {
    for (ProcessCounts& each : into) {
      if (each.name == name && each.store == store) {
        each.counts += counts;
        each.degraded = each.degraded || degraded;
        return;
      }
    }
    into.push_back(ProcessCounts{name, store, counts, degraded});
  }

  Member* find(const VornEngine* engine) {
    const auto found = members.find(engine);
    return found == members.end() ? nullptr : &found->second;
  }

  // mutex protects the following state.
  mutable ForkSafeMutex mutex{LockLevel::Leaf};
  std::unordered_map<const VornEngine*, Member> members;
  std::vector<ProcessCounts> retired;  // of engines gone, and of names left behind
};

CountRegistry::CountRegistry() : state_(new State) {}
CountRegistry::~CountRegistry() = default;

CountRegistry& CountRegistry::process() {
  static CountRegistry* registry = new CountRegistry();
  return *registry;
}

void CountRegistry::enter(const VornEngine* engine, CountedStore store) {
  std::lock_guard lock(state_->mutex);
  state_->members.insert_or_assign(engine, State::Member{"default", std::move(store), {}});
}

void CountRegistry::leave(const VornEngine* engine) noexcept {
  try {
    std::lock_guard lock(state_->mutex);
    const auto found = state_->members.find(engine);
    if (found == state_->members.end()) return;
    const State::Member& member = found->second;
    State::add(state_->retired, member.name, member.store,
               minus(engine->check_counts(), member.baseline));
    state_->members.erase(found);
  } catch (...) {
    // Out of memory on the way out: this engine's counts are lost, nothing else.
  }
}

void CountRegistry::rename(const VornEngine* engine, std::string_view name) {
  std::lock_guard lock(state_->mutex);
  State::Member* member = state_->find(engine);
  if (member == nullptr || member->name == name) return;
  const CheckCounts now = engine->check_counts();
  State::add(state_->retired, member->name, member->store, minus(now, member->baseline));
  member->name = std::string(name);
  member->baseline = now;
}

std::string CountRegistry::name_of(const VornEngine* engine) const {
  std::lock_guard lock(state_->mutex);
  const State::Member* member = state_->find(engine);
  return member != nullptr ? member->name : std::string("default");
}

std::vector<ProcessCounts> CountRegistry::read() const {
  std::lock_guard lock(state_->mutex);
  // A name taken and left before anything was counted tells nothing; a live
  // engine's row stays even so, since it tells which zones are in use.
  std::vector<ProcessCounts> counts;
  for (const ProcessCounts& each : state_->retired) {
    if (!each.counts.empty()) counts.push_back(each);
  }
  for (const auto& [engine, member] : state_->members) {
    const ZoneConnection* zone = engine->zone_connection();
    State::add(counts, member.name, member.store, minus(engine->check_counts(), member.baseline),
               zone != nullptr && zone->degraded());
  }
  return counts;
}

}  // namespace vorn
