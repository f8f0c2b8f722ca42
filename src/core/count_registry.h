// The CountRegistry knows every live engine of the process and what each has
// counted, by the name its host gave it, so that one call tells the process's
// counts by name and store. Counts stay once their engine is gone, and a
// renamed engine's earlier counts stay with its earlier name: each name's
// figures only ever grow, as monitoring counters must.
//
// Thread-safety: every method is thread-safe. Its lock is a leaf: held, it
// takes no other lock (engines' counts are atomics), so engines enter and
// leave from any thread, and a fork never leaves it held.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/check_counts.h"

namespace vorn {

class VornEngine;

// Where an engine keeps its clients: its zone's name and directory, or none.
struct CountedStore {
  std::optional<std::string> zone;
  std::optional<std::string> zone_dir;

  bool operator==(const CountedStore&) const = default;
};

struct ProcessCounts {
  std::string name;
  CountedStore store;
  CheckCounts counts;
  bool degraded = false;  // some live engine of these answers by its failure policy now
};

class CountRegistry {
 public:
  static CountRegistry& process();

  // An engine joins under "default"; leaves when it is destroyed.
  void enter(const VornEngine* engine, CountedStore store);
  void leave(const VornEngine* engine) noexcept;
  void rename(const VornEngine* engine, std::string_view name);
  // The name `engine` counts under now.
  std::string name_of(const VornEngine* engine) const;

  // The process's counts by (name, store), the names in the order first seen:
  // every live engine's, and those left behind that counted anything.
  std::vector<ProcessCounts> read() const;

  CountRegistry(const CountRegistry&) = delete;
  CountRegistry& operator=(const CountRegistry&) = delete;

 private:
  CountRegistry();
  ~CountRegistry();
  struct State;
  State* state_;  // never freed: engines of static objects may leave at exit
};

}  // namespace vorn
