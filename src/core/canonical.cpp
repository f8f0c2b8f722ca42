#include "core/canonical.h"

namespace vorn {

std::string_view mode_word(Mode mode) {
  switch (mode) {
    case Mode::Active:
      return "active";
    case Mode::Shadow:
      return "shadow";
    case Mode::Disabled:
      return "disabled";
  }
  return "active";
}

std::string_view decision_word(DecisionKind kind) {
  switch (kind) {
    case DecisionKind::Allow:
      return "allow";
    case DecisionKind::Block:
      return "block";
    case DecisionKind::WouldBlock:
      return "would_block";
  }
  return "allow";
}

}  // namespace vorn
