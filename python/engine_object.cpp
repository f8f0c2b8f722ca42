#include "engine_object.h"

#include <dlfcn.h>

#include <array>
#include <charconv>
#include <cstddef>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "algorithms/clock.h"
#include "algorithms/cost.h"
#include "algorithms/numeric.h"
#include "algorithms/rate.h"
#include "call_boundary.h"
#include "core/engine.h"
#include "core/wait_hook.h"
#include "engine_counts.h"
#include "gil_release.h"
#include "limit_arguments.h"
#include "messages.h"
#include "zone/zone_connection.h"
#include "zone_functions.h"

namespace vorn::python {
namespace {

// What a RustEngine instance holds after the object header. CPython's allocator
// runs no constructor: the state is built in place once the object is
// allocated, and destroyed before the memory goes back.
//
// borrow_count counts the check calls using the engine (0 when idle; -1 would
// mean exclusive use, which nothing takes). Plain, because the GIL guards it.
//
// The templates are the result dicts of the common case, made once per
// instance with every key in place: a check copies them (one allocation and a
// block copy each) and stores only the values that differ, which costs far less
// than inserting every key into a new dict and growing it on the way. The
// decision template carries the engine's algorithm text, the same for every
// result. No code outside this file ever sees a template.
struct LimitsTemplates {
  PyRef result;
  PyRef result_without_reason;
};

// The int of the remaining count a check handed out last: a run of checks
// leaving the same count (a client far from its limit, whose bucket is full
// again between its requests) shares one int, which is immutable. The GIL
// guards it.
class CountCache {
 public:
  PyRef get(uint64_t value) {
    if (!object_ || value_ != value) {
      object_ = new_optional_u64(value);
      value_ = value;
    }
    return PyRef::borrow(object_.get());
  }

 private:
  PyRef object_;
  uint64_t value_ = 0;
};

struct ResultTemplates {
  PyRef result;                 // allowed, would_block, reason, decision
  PyRef result_without_reason;  // allowed, would_block, decision (disabled mode)
  PyRef decision;               // decision, reason, algorithm, route, remaining, latency_ms
  // Per rate, the two result templates followed by limit, remaining,
  // retry_after_ms, reset_after_ms and window_ms, that rate's limit and
  // window, and with several rates `policies`; made once the engine is built,
  // since they carry its policies.
  std::array<LimitsTemplates, kMaxRates> limits;
  size_t rate_count = 0;
  // Every rate's (limit, window_ms), the one tuple that results and the
  // property `policies` hand out.
  PyRef policies;
  mutable CountCache remaining;
};

struct InstanceState {
  template <typename... EngineArgs>
  explicit InstanceState(ResultTemplates templates, EngineArgs&&... args)
      : engine(std::forward<EngineArgs>(args)...), templates(std::move(templates)) {}

  VornEngine engine;
  Py_ssize_t borrow_count = 0;
  ResultTemplates templates;
  // The engine's zone, read once so that a check finds it without a call;
  // null for a RustEngine.
  const ZoneConnection* zone = nullptr;
  // The engine's clock, which ends a result's latency.
  Clock clock = Clock::system();
};

// pymalloc hands out 16-byte aligned blocks.
static_assert(alignof(InstanceState) <= 16);
constexpr size_t kStateOffset = (sizeof(PyObject) + alignof(InstanceState) - 1) /
                                alignof(InstanceState) * alignof(InstanceState);
constexpr size_t kInstanceSize = kStateOffset + sizeof(InstanceState);

// Where the state lives inside an instance's memory.
InstanceState* state_storage(PyObject* self) {
  return reinterpret_cast<InstanceState*>(reinterpret_cast<std::byte*>(self) + kStateOffset);
}

// The state of a fully built instance.
InstanceState* state_of(PyObject* self) { return std::launder(state_storage(self)); }

// Options the Python class cannot set.
constexpr double kBurstMultiplier = 1.0;
constexpr uint64_t kBlockDurationMs = 60000;

constexpr CallSignature<7> kConstructorSignature{
    .class_name = "RustEngine",
    .function_name = "__new__",
    .parameter_names = {"algorithm_str", "mode_str", "capacity", "refill_rate", "api_key", "debug",
                        "backend_url"},
    .positional_only_count = 0,
    .required_count = 7,
};

// from_rates(algorithm, mode, rates, api_key=None, debug=None, backend_url=...).
constexpr CallSignature<6> kFromRatesSignature{
    .class_name = "RustEngine",
    .function_name = "from_rates",
    .parameter_names = {"algorithm", "mode", "rates", "api_key", "debug", "backend_url"},
    .positional_only_count = 0,
    .required_count = 3,
};
constexpr std::string_view kDefaultBackendUrl = "http://localhost:4000";

// check(ip, route, identity=None), of either class.
constexpr CallSignature<3> check_signature(const char* class_name) {
  return {
      .class_name = class_name,
      .function_name = "check",
      .parameter_names = {"ip", "route", "identity"},
      .positional_only_count = 0,
      .required_count = 2,
  };
}

// check_limits(ip, route, identity=None, *, cost=1), of either class.
constexpr CallSignature<4> check_limits_signature(const char* class_name) {
  return {
      .class_name = class_name,
      .function_name = "check_limits",
      .parameter_names = {"ip", "route", "identity", "cost"},
      .positional_only_count = 0,
      .required_count = 2,
      .keyword_only_count = 1,
  };
}

// refund(key, cost=1) and reset(key), of either class.
constexpr CallSignature<2> refund_signature(const char* class_name) {
  return {class_name, "refund", {"key", "cost"}, 0, 1};
}
constexpr CallSignature<1> reset_signature(const char* class_name) {
  return {class_name, "reset", {"key"}, 0, 1};
}

constexpr CallSignature<12> kZoneConstructorSignature{
    .class_name = "ZoneEngine",
    .function_name = "__new__",
    .parameter_names = {"zone", "zone_size", "algorithm_str", "mode_str", "capacity", "refill_rate",
                        "api_key", "debug", "backend_url", "zone_dir", "on_error", "rates"},
    .positional_only_count = 0,
    .required_count = 9,
};

// What differs between the two engine classes at a call.
struct EngineClass {
  CallSignature<3> check_signature;
  CallSignature<4> check_limits_signature;
  CallSignature<2> refund_signature;
  CallSignature<1> reset_signature;
  PyObject* (*type)();
  const char* name;
  const char* check_entry_name;
  const char* check_limits_entry_name;
  const char* refund_entry_name;
  const char* reset_entry_name;
};

InternedName name_get_logger("getLogger");
InternedName name_warning("warning");

// The logger "vorn.zone" (borrowed), found once and kept for the process, as
// the module is. logging is imported only when a zone first has news.
PyObject* zone_logger() {
  static PyObject* logger = nullptr;
  if (logger != nullptr) return logger;
  PyRef logging = PyRef::steal(PyImport_ImportModule("logging"));
  if (!logging) throw PyError::fetch();
  PyRef get_logger = PyRef::steal(PyObject_GetAttr(logging.get(), name_get_logger.get()));
  if (!get_logger) throw PyError::fetch();
  PyRef name = new_text(messages::kZoneLoggerName);
  PyRef found = PyRef::steal(PyObject_CallFunctionObjArgs(get_logger.get(), name.get(), nullptr));
  if (!found) throw PyError::fetch();
  logger = found.release();
  return logger;
}

// Logs each notice of `zone` as a warning of "vorn.zone". A failure to log
// (a handler that raises past logging's own guard, a logger replaced by
// something else) must not fail the check that carried the news: it is
// reported as unraisable on `self` for `entry_name`, and the lines after it
// are still tried.
void log_notices(PyObject* self, const ZoneConnection& zone, const char* entry_name) noexcept {
  std::vector<std::string> lines;
  try {
    lines = zone.take_notices();
  } catch (...) {
    report_unraisable(self, entry_name);
    return;
  }
  for (const std::string& line : lines) {
    try {
      PyRef warning = PyRef::steal(PyObject_GetAttr(zone_logger(), name_warning.get()));
      if (!warning) throw PyError::fetch();
      PyRef text = new_text(line);
      PyRef logged = PyRef::steal(PyObject_CallFunctionObjArgs(warning.get(), text.get(), nullptr));
      if (!logged) throw PyError::fetch();
    } catch (...) {
      report_unraisable(self, entry_name);
    }
  }
}

// Dict keys, interned once and kept for the process.
InternedName key_allowed("allowed");
InternedName key_would_block("would_block");
InternedName key_reason("reason");
InternedName key_decision("decision");
InternedName key_algorithm("algorithm");
InternedName key_route("route");
InternedName key_remaining("remaining");
InternedName key_latency_ms("latency_ms");
InternedName key_limit("limit");
InternedName key_retry_after_ms("retry_after_ms");
InternedName key_reset_after_ms("reset_after_ms");
InternedName key_window_ms("window_ms");
InternedName key_policies("policies");

// The decision and reason words, made into str once: results carry only these.
InternedName vocabulary[] = {
    InternedName("allow"),        InternedName("block"),          InternedName("would_block"),
    InternedName("within_limit"), InternedName("limit_exceeded"), InternedName("token_exhausted"),
};

// A str of `word`: the shared one for a vocabulary word, else a new one.
PyRef word_text(std::string_view word) {
  for (InternedName& known : vocabulary) {
    if (known.text() == word) return PyRef::borrow(known.get());
  }
  return new_text(word);
}
InternedName& word_allow = vocabulary[0];
InternedName& word_block = vocabulary[1];
InternedName& word_would_block = vocabulary[2];
InternedName& word_within_limit = vocabulary[3];

// Builds the three templates; the values are those of an admitted check.
ResultTemplates make_templates(std::string_view algorithm) {
  ResultTemplates made;
  made.result = new_dict();
  made.result_without_reason = new_dict();
  made.decision = new_dict();
  PyRef algorithm_text = new_text(algorithm);
  PyRef zero = new_optional_u64(0);
  PyObject* decision = made.decision.get();
  set_item(decision, key_decision.get(), word_allow.get());
  set_item(decision, key_reason.get(), word_within_limit.get());
  set_item(decision, key_algorithm.get(), algorithm_text.get());
  set_item(decision, key_route.get(), Py_None);
  set_item(decision, key_remaining.get(), Py_None);
  set_item(decision, key_latency_ms.get(), zero.get());
  for (PyObject* result : {made.result.get(), made.result_without_reason.get()}) {
    set_item(result, key_allowed.get(), Py_True);
    set_item(result, key_would_block.get(), Py_False);
    if (result == made.result.get()) set_item(result, key_reason.get(), word_within_limit.get());
    set_item(result, key_decision.get(), Py_None);
  }
  return made;
}

PyRef copy_dict(PyObject* dict) {
  PyRef copy = PyRef::steal(PyDict_Copy(dict));
  if (!copy) throw PyError::fetch();
  return copy;
}

// The tuple of every policy's (limit, window_ms); window_ms None when the
// allowance never becomes whole again.
PyRef new_policies_tuple(const std::vector<LimitPolicy>& policies) {
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(policies.size())));
  if (!tuple) throw PyError::fetch();
  for (size_t at = 0; at < policies.size(); ++at) {
    PyRef pair = PyRef::steal(PyTuple_New(2));
    if (!pair) throw PyError::fetch();
    // PyTuple_SetItem steals the references it is given.
    PyTuple_SetItem(pair.get(), 0, new_optional_u64(policies[at].limit).release());
    PyTuple_SetItem(pair.get(), 1, new_optional_u64(policies[at].window_ms).release());
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(at), pair.release());
  }
  return tuple;
}

// Adds the limits templates and the policies to `templates`, from the
// engine's policies (1 to kMaxRates of them).
void add_limits_templates(ResultTemplates& templates, const std::vector<LimitPolicy>& policies) {
  if (policies.empty() || policies.size() > kMaxRates) {
    throw InternalFailure("an engine of " + std::to_string(policies.size()) + " rates");
  }
  templates.policies = new_policies_tuple(policies);
  templates.rate_count = policies.size();
  for (size_t rate = 0; rate < policies.size(); ++rate) {
    // The pair inside the policies tuple holds this rate's limit and window.
    PyObject* policy = PyTuple_GetItem(templates.policies.get(), static_cast<Py_ssize_t>(rate));
    LimitsTemplates& made = templates.limits[rate];
    for (PyRef* template_ref : {&made.result, &made.result_without_reason}) {
      const bool counted = template_ref == &made.result;  // not in disabled mode
      *template_ref =
          copy_dict(counted ? templates.result.get() : templates.result_without_reason.get());
      PyObject* result = template_ref->get();
      set_item(result, key_limit.get(), PyTuple_GetItem(policy, 0));
      set_item(result, key_remaining.get(), Py_None);
      PyRef retry = new_optional_u64(counted ? std::optional<uint64_t>(0) : std::nullopt);
      set_item(result, key_retry_after_ms.get(), retry.get());
      set_item(result, key_reset_after_ms.get(), Py_None);
      set_item(result, key_window_ms.get(), PyTuple_GetItem(policy, 1));
      if (policies.size() > 1) set_item(result, key_policies.get(), templates.policies.get());
    }
  }
}

// PyUnicode_AsUTF8AndSize hands out a str's own UTF-8 storage (any ASCII
// text's, without a copy), but is in the limited API only from 3.10 on. There
// it is looked up rather than linked, so that on 3.8 and 3.9 the module keeps
// to their limited API and copies the text instead. Found when the library is
// loaded; null before 3.10, and in Node, where no interpreter is.
using Utf8InPlace = const char* (*)(PyObject*, Py_ssize_t*);

Utf8InPlace find_utf8_in_place() {
  if (Py_GetVersion == nullptr) return nullptr;
  unsigned major = 0, minor = 0;
  const std::string_view version = Py_GetVersion();  // "3.12.1 (main, ...", say
  const char* const end = version.data() + version.size();
  const auto [dot, major_error] = std::from_chars(version.data(), end, major);
  if (major_error != std::errc() || dot == end || *dot != '.') return nullptr;
  std::from_chars(dot + 1, end, minor);
  if (major < 3 || (major == 3 && minor < 10)) return nullptr;
  return reinterpret_cast<Utf8InPlace>(dlsym(RTLD_DEFAULT, "PyUnicode_AsUTF8AndSize"));
}

const Utf8InPlace utf8_in_place = find_utf8_in_place();

// The UTF-8 text of a str argument for the whole call: borrowed from the
// argument itself where the interpreter hands it out, else a copy held here.
// Anything but a str fails as extract_text does.
class TextArgument {
 public:
  explicit TextArgument(PyObject* object) {
    if ((PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_UNICODE_SUBCLASS) == 0) {
      extract_text(object);  // throws the conversion's TypeError
      throw InternalFailure("a value that is not a str converted to text");
    }
    if (utf8_in_place != nullptr) [[likely]] {
      Py_ssize_t size = 0;
      const char* data = utf8_in_place(object, &size);
      if (data == nullptr) throw PyError::fetch();
      view_ = std::string_view(data, static_cast<size_t>(size));
    } else {
      copy_.emplace(extract_text(object));
      view_ = copy_->view();
    }
  }
  std::string_view view() const { return view_; }

 private:
  std::optional<OwnedText> copy_;
  std::string_view view_;
};

TextArgument text_argument(PyObject* object) { return TextArgument(object); }

// Created once; the class and everything its spec points to live for the process.
PyObject* engine_class = nullptr;
PyObject* zone_engine_class = nullptr;
PyObject* sync_engine_class = nullptr;  // made by create_sync_engine_type
PyObject* sync_engine_type() { return sync_engine_class; }

// Gives back the memory of an instance of `type` and the instance's reference
// to its heap type. The instance state must already be destroyed (or never built).
void free_instance(PyObject* self, PyTypeObject* type) {
  auto free_memory = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_memory(self);
  if ((PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) != 0) {
    Py_DECREF(reinterpret_cast<PyObject*>(type));
  }
}

// Counts one running check on an instance for as long as it lives.
class BorrowScope {
 public:
  explicit BorrowScope(Py_ssize_t& count) : count_(count) { ++count_; }
  BorrowScope(const BorrowScope&) = delete;
  BorrowScope& operator=(const BorrowScope&) = delete;
  ~BorrowScope() { --count_; }

 private:
  Py_ssize_t& count_;
};

// The result of a check whose outcome the engine told without its decision
// record: the record's fields follow from the outcome as the engine would
// have filled them (the decision word from the verdict and the mode, the
// reason, the remaining count), the route is the argument and `latency_ms` was
// read right after the check. `route` (borrowed) is the route argument and
// `route_text` its text: an exact str is the very value a new str of the text
// would be, so it is stored itself. `with_limits` picks the templates that
// carry the limit figures, which are then filled in.
PyRef build_result(const CheckVerdict& outcome, const ResultTemplates& templates, PyObject* route,
                   std::string_view route_text, uint64_t latency_ms, bool with_limits = false) {
  PyRef decision = copy_dict(templates.decision.get());
  if (outcome.would_block) {
    // Refused by the limiter: blocked, or in shadow mode let through.
    set_item(decision.get(), key_decision.get(),
             outcome.allowed ? word_would_block.get() : word_block.get());
  }
  // Without a reason (disabled mode) the record still says within_limit.
  PyRef reason;
  if (outcome.reason && *outcome.reason != word_within_limit.text()) {
    reason = word_text(*outcome.reason);
    set_item(decision.get(), key_reason.get(), reason.get());
  }
  if (Py_TYPE(route) == Py_TYPE(key_route.get())) {
    set_item(decision.get(), key_route.get(), route);
  } else {
    set_item(decision.get(), key_route.get(), new_text(route_text).get());
  }
  const LimitFigures& figures = outcome.figures;
  PyRef remaining;  // the decision's count, the same as the limit figures'
  if (figures.remaining) {
    remaining = templates.remaining.get(*figures.remaining);
    set_item(decision.get(), key_remaining.get(), remaining.get());
  }
  if (latency_ms != 0) {
    set_item(decision.get(), key_latency_ms.get(), new_optional_u64(latency_ms).get());
  }

  PyRef result;
  if (with_limits) {
    if (outcome.rate >= templates.rate_count) {
      throw InternalFailure("a check decided by rate " + std::to_string(outcome.rate) + " of " +
                            std::to_string(templates.rate_count));
    }
    const LimitsTemplates& limits = templates.limits[outcome.rate];
    result = copy_dict(outcome.reason ? limits.result.get() : limits.result_without_reason.get());
  } else {
    result =
        copy_dict(outcome.reason ? templates.result.get() : templates.result_without_reason.get());
  }
  if (!outcome.allowed) set_item(result.get(), key_allowed.get(), Py_False);
  if (outcome.would_block) set_item(result.get(), key_would_block.get(), Py_True);
  if (reason) set_item(result.get(), key_reason.get(), reason.get());
  set_item(result.get(), key_decision.get(), decision.get());
  if (with_limits) {
    if (remaining) set_item(result.get(), key_remaining.get(), remaining.get());
    // The template with a reason holds the usual 0 already.
    if (figures.next_admission_ms != uint64_t{0} || !outcome.reason) {
      set_item(result.get(), key_retry_after_ms.get(),
               new_optional_u64(figures.next_admission_ms).get());
    }
    if (figures.full_reset_ms) {
      set_item(result.get(), key_reset_after_ms.get(),
               new_optional_u64(figures.full_reset_ms).get());
    }
  }
  return result;
}

// The state of `self` for a call of `kind`'s method: `self` must be one of
// kind's instances (a method taken from the class may be handed anything).
InstanceState& state_for_call(const EngineClass& kind, PyObject* self) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));  // borrowed
  PyObject* expected = kind.type();                             // borrowed
  if (type != expected &&
      !PyType_IsSubtype(Py_TYPE(self), reinterpret_cast<PyTypeObject*>(expected))) {
    throw PyError::with_message(
        PyExc_TypeError,
        messages::fill_template(messages::kCannotConvert, {type_qualname(type), kind.name}));
  }
  InstanceState& state = *state_of(self);
  if (state.borrow_count == -1) {
    throw PyError::with_message(PyExc_RuntimeError, messages::kAlreadyMutablyBorrowed);
  }
  return state;
}

// Runs `change` on the engine of `state`. On a zone, the GIL is let go while
// it waits for a lock, and the zone's news is logged after it.
template <typename Change>
void change_engine(PyObject* self, const InstanceState& state, const char* entry_name,
                   Change&& change) {
  if (state.zone == nullptr) {
    change(state.engine);
    return;
  }
  {
    ReleaseGilWhileWaiting release;
    const ScopedWaitHook installed(&release);
    change(state.engine);
  }
  if (state.zone->has_notices()) log_notices(self, *state.zone, entry_name);
}

// Converts the arguments of check or check_limits (`with_limits`; its `cost`,
// null when not given, is the fourth slot) and runs the check.
PyRef decide(const EngineClass& kind, bool with_limits, PyObject* self, PyObject* const* slots) {
  InstanceState& state = state_for_call(kind, self);
  BorrowScope borrow(state.borrow_count);

  const TextArgument ip_text = convert_argument("ip", slots[0], text_argument);
  const TextArgument route_text = convert_argument("route", slots[1], text_argument);
  const std::string_view ip = ip_text.view(), route = route_text.view();
  std::optional<TextArgument> identity_text;
  std::optional<std::string_view> identity;
  if (slots[2] != nullptr && slots[2] != Py_None) {
    identity = identity_text.emplace(convert_argument("identity", slots[2], text_argument)).view();
  }
  Cost cost;
  if (with_limits && slots[3] != nullptr) {
    cost =
        Cost::of(extract_cost(slots[3], state.engine.whole_costs(), state.engine.algorithm_name()));
  }

  // Read right before the call, and the engine's clock right after it: the
  // result's latency. The engine is asked for the verdict alone, since
  // build_result fills the decision record's fields itself (the algorithm's
  // text is in the template, so no check copies it).
  const uint64_t start_ms = now_ms();
  uint64_t end_ms = 0;
  if (state.zone == nullptr) {
    const CheckVerdict outcome = state.engine.check_verdict(identity, ip, route, start_ms, cost);
    end_ms = state.clock.now_ms();
    return build_result(outcome, state.templates, slots[1], route, saturating_sub(end_ms, start_ms),
                        with_limits);
  }
  const CheckVerdict outcome = [&] {
    ReleaseGilWhileWaiting release;
    const ScopedWaitHook installed(&release);
    CheckVerdict checked = state.engine.check_verdict(identity, ip, route, start_ms, cost);
    end_ms = state.clock.now_ms();
    return checked;
  }();
  if (state.zone->has_notices()) {
    log_notices(self, *state.zone,
                with_limits ? kind.check_limits_entry_name : kind.check_entry_name);
  }
  return build_result(outcome, state.templates, slots[1], route, saturating_sub(end_ms, start_ms),
                      with_limits);
}

PyRef refund(const EngineClass& kind, PyObject* self, PyObject* const* args, Py_ssize_t count,
             PyObject* keyword_names) {
  const BoundArguments<2> slots =
      bind_vector_arguments(kind.refund_signature, args, count, keyword_names);
  InstanceState& state = state_for_call(kind, self);
  BorrowScope borrow(state.borrow_count);
  const TextArgument key_text = convert_argument("key", slots[0], text_argument);
  const std::string_view key = key_text.view();
  const double amount = slots[1] == nullptr ? 1.0
                                            : extract_cost(slots[1], state.engine.whole_costs(),
                                                           state.engine.algorithm_name());
  change_engine(self, state, kind.refund_entry_name,
                [&](const VornEngine& engine) { engine.refund(key, amount); });
  return PyRef::borrow(Py_None);
}

PyRef reset(const EngineClass& kind, PyObject* self, PyObject* const* args, Py_ssize_t count,
            PyObject* keyword_names) {
  const BoundArguments<1> slots =
      bind_vector_arguments(kind.reset_signature, args, count, keyword_names);
  InstanceState& state = state_for_call(kind, self);
  BorrowScope borrow(state.borrow_count);
  const TextArgument key_text = convert_argument("key", slots[0], text_argument);
  const std::string_view key = key_text.view();
  change_engine(self, state, kind.reset_entry_name,
                [&](const VornEngine& engine) { engine.reset(key); });
  return PyRef::borrow(Py_None);
}

constexpr EngineClass engine_class_named(const char* name, PyObject* (*type)(),
                                         const char* check_entry_name,
                                         const char* check_limits_entry_name,
                                         const char* refund_entry_name,
                                         const char* reset_entry_name) {
  return {check_signature(name),
          check_limits_signature(name),
          refund_signature(name),
          reset_signature(name),
          type,
          name,
          check_entry_name,
          check_limits_entry_name,
          refund_entry_name,
          reset_entry_name};
}

constexpr EngineClass kRustEngine =
    engine_class_named("RustEngine", engine_type, "RustEngine.check()", "RustEngine.check_limits()",
                       "RustEngine.refund()", "RustEngine.reset()");
constexpr EngineClass kSyncEngine =
    engine_class_named("SyncEngine", sync_engine_type, "SyncEngine.check()",
                       "SyncEngine.check_limits()", "SyncEngine.refund()", "SyncEngine.reset()");
constexpr EngineClass kZoneEngine =
    engine_class_named("ZoneEngine", zone_engine_type, "ZoneEngine.check()",
                       "ZoneEngine.check_limits()", "ZoneEngine.refund()", "ZoneEngine.reset()");

template <const EngineClass& engine_class>
PyObject* check_entry(PyObject* self, PyObject* const* args, Py_ssize_t count,
                      PyObject* keyword_names) {
  return guard_entry(engine_class.check_entry_name, [&] {
    const BoundArguments<3> slots =
        bind_vector_arguments(engine_class.check_signature, args, count, keyword_names);
    return decide(engine_class, false, self, slots.data());
  });
}

// check_limits(ip, route, identity=None, *, cost=1): the same check as check,
// of a request weighing `cost`, whose result also tells the limit figures
// clients are given.
template <const EngineClass& engine_class>
PyObject* check_limits_entry(PyObject* self, PyObject* const* args, Py_ssize_t count,
                             PyObject* keyword_names) {
  return guard_entry(engine_class.check_limits_entry_name, [&] {
    const BoundArguments<4> slots =
        bind_vector_arguments(engine_class.check_limits_signature, args, count, keyword_names);
    return decide(engine_class, true, self, slots.data());
  });
}

template <const EngineClass& engine_class>
PyObject* refund_entry(PyObject* self, PyObject* const* args, Py_ssize_t count,
                       PyObject* keyword_names) {
  return guard_entry(engine_class.refund_entry_name,
                     [&] { return refund(engine_class, self, args, count, keyword_names); });
}

template <const EngineClass& engine_class>
PyObject* reset_entry(PyObject* self, PyObject* const* args, Py_ssize_t count,
                      PyObject* keyword_names) {
  return guard_entry(engine_class.reset_entry_name,
                     [&] { return reset(engine_class, self, args, count, keyword_names); });
}

// The tuple of the engine's policies, the same object each time.
PyObject* policies_entry(PyObject* self, void*) {
  return guard_entry("engine.policies",
                     [&] { return PyRef::borrow(state_of(self)->templates.policies.get()); });
}

// The vectorcall convention for methods: the arguments arrive as an array with
// the keyword names in a tuple, so a call builds no argument tuple. CPython has
// taken it since 3.7 with this flag value; the stable ABI lists it from 3.10.
constexpr int kMethFastcall = 0x0080;

PyObject* new_entry(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return guard_entry("RustEngine.__new__()",
                     [&] { return new_engine_object(subtype, args, kwargs, Clock::system()); });
}

PyObject* from_rates_entry(PyObject* type, PyObject* args, PyObject* kwargs) {
  return guard_entry("RustEngine.from_rates()", [&] {
    return new_engine_from_rates(reinterpret_cast<PyTypeObject*>(type), args, kwargs,
                                 Clock::system());
  });
}

PyObject* new_zone_entry(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return guard_entry("ZoneEngine.__new__()", [&] {
    return new_zone_engine_object(subtype, args, kwargs, Clock::system());
  });
}

void dealloc_entry(PyObject* self) {
  guard_dealloc(self, "engine.__dealloc__()", [&] {
    PyTypeObject* type = Py_TYPE(self);  // borrowed; the instance's own reference goes last
    std::destroy_at(state_of(self));
    free_instance(self, type);
  });
}

// Function pointers as the void* that type slots and method tables hold.
template <typename Function>
void* as_slot(Function* function) {
  return reinterpret_cast<void*>(function);
}

// The texts both classes' methods share.
constexpr const char* kCheckDoc = "check($self, ip, route, identity=None)\n--\n\n";
constexpr const char* kCheckLimitsDoc =
    "check_limits($self, ip, route, identity=None, *, cost=1)\n--\n\n"
    "check's result followed by what clients are told: limit, remaining, retry_after_ms, "
    "reset_after_ms and window_ms, the limit and window those of the rate that decided; an "
    "engine of several rates adds policies. The request weighs `cost`, a number >= 0 (whole "
    "for the window algorithms); 0 counts nothing and tells whether a request of 1 would pass.";
constexpr const char* kRefundDoc =
    "refund($self, key, cost=1)\n--\n\n"
    "Gives `key` back up to `cost` of what it spent, on every rate. The key is what checks "
    "count on: the identity when a check had one, else the ip. A key without state is left "
    "as it is.";
constexpr const char* kResetDoc =
    "reset($self, key)\n--\n\n"
    "Forgets `key` on every rate: its next check starts afresh.";
constexpr const char* kPoliciesDoc =
    "Every rate's (limit, window_ms), in order; window_ms is None when the allowance never "
    "becomes whole again.";

PyObject* create_engine_type() {
  // Interpreters before 3.11 keep pointing at the name and the method table
  // instead of copying them, so both live in static storage.
  static PyMethodDef methods[] = {
      {"from_rates", reinterpret_cast<PyCFunction>(as_slot(&from_rates_entry)),
       METH_VARARGS | METH_KEYWORDS | METH_CLASS,
       "from_rates($type, algorithm, mode, rates, api_key=None, debug=None, "
       "backend_url='http://localhost:4000')\n--\n\n"
       "An engine of a limit of one to four rates of `algorithm`, each a (count, window_ms) "
       "pair, decided as one: a request passes only when every rate lets it, and then counts "
       "on every rate."},
      {"check", reinterpret_cast<PyCFunction>(as_slot(&check_entry<kRustEngine>)),
       kMethFastcall | METH_KEYWORDS, kCheckDoc},
      {"check_limits", reinterpret_cast<PyCFunction>(as_slot(&check_limits_entry<kRustEngine>)),
       kMethFastcall | METH_KEYWORDS, kCheckLimitsDoc},
      {"refund", reinterpret_cast<PyCFunction>(as_slot(&refund_entry<kRustEngine>)),
       kMethFastcall | METH_KEYWORDS, kRefundDoc},
      {"reset", reinterpret_cast<PyCFunction>(as_slot(&reset_entry<kRustEngine>)),
       kMethFastcall | METH_KEYWORDS, kResetDoc},
      {"stats", &engine_stats_entry, METH_NOARGS, kStatsDoc},
      {"name_counts", &engine_name_counts_entry, METH_O, kNameCountsDoc},
      {nullptr, nullptr, 0, nullptr},
  };
  static PyGetSetDef properties[] = {
      {"policies", &policies_entry, nullptr, kPoliciesDoc, nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
  static PyType_Slot slots[] = {
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_doc,
       const_cast<char*>("RustEngine(algorithm_str, mode_str, capacity, refill_rate, api_key, "
                         "debug, backend_url)\n--\n\n")},
      {Py_tp_new, as_slot(&new_entry)},
      {Py_tp_dealloc, as_slot(&dealloc_entry)},
      {Py_tp_methods, methods},
      {Py_tp_getset, properties},
      {0, nullptr},
  };
  static PyType_Spec spec = {
      .name = "builtins.RustEngine",
      .basicsize = static_cast<int>(kInstanceSize),
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT,
      .slots = slots,
  };
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) throw PyError::fetch();
  return type;
}

// The zone's state, read beside any check. The descriptors only ever hand
// these a ZoneEngine, whose state is built before Python sees it.
const ZoneConnection& zone_of(PyObject* self) { return *state_of(self)->zone; }

PyObject* degraded_entry(PyObject* self, void*) {
  return guard_entry("ZoneEngine.degraded",
                     [&] { return PyRef::borrow(zone_of(self).degraded() ? Py_True : Py_False); });
}

PyObject* degraded_reason_entry(PyObject* self, void*) {
  return guard_entry("ZoneEngine.degraded_reason", [&] {
    const std::string reason = zone_of(self).degraded_reason();
    return reason.empty() ? PyRef::borrow(Py_None) : new_text(reason);
  });
}

PyObject* engine_zone_stats_entry(PyObject* self, PyObject*) {
  return guard_entry("ZoneEngine.zone_stats()", [&] {
    const std::optional<zone::ZoneStats> stats = zone_of(self).stats();
    return stats ? zone_stats_dict(*stats) : PyRef::borrow(Py_None);
  });
}

}  // namespace

PyObject* create_sync_engine_type(std::span<const PyMethodDef> methods,
                                  std::span<const PyGetSetDef> properties, newfunc new_entry,
                                  const char* doc) {
  // Static: interpreters before 3.11 keep pointing at the tables.
  static std::vector<PyMethodDef> all_methods = {
      {"check", reinterpret_cast<PyCFunction>(as_slot(&check_entry<kSyncEngine>)),
       kMethFastcall | METH_KEYWORDS, kCheckDoc},
      {"check_limits", reinterpret_cast<PyCFunction>(as_slot(&check_limits_entry<kSyncEngine>)),
       kMethFastcall | METH_KEYWORDS, kCheckLimitsDoc},
      {"refund", reinterpret_cast<PyCFunction>(as_slot(&refund_entry<kSyncEngine>)),
       kMethFastcall | METH_KEYWORDS, kRefundDoc},
      {"reset", reinterpret_cast<PyCFunction>(as_slot(&reset_entry<kSyncEngine>)),
       kMethFastcall | METH_KEYWORDS, kResetDoc},
      {"stats", &engine_stats_entry, METH_NOARGS, kStatsDoc},
      {"name_counts", &engine_name_counts_entry, METH_O, kNameCountsDoc},
  };
  static std::vector<PyGetSetDef> all_properties = {
      {"policies", &policies_entry, nullptr, kPoliciesDoc, nullptr},
  };
  all_methods.insert(all_methods.end(), methods.begin(), methods.end());
  all_methods.push_back({nullptr, nullptr, 0, nullptr});
  all_properties.insert(all_properties.end(), properties.begin(), properties.end());
  all_properties.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
  static PyType_Slot slots[] = {
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_doc, const_cast<char*>(doc)},
      {Py_tp_new, as_slot(new_entry)},
      {Py_tp_dealloc, as_slot(&dealloc_entry)},
      {Py_tp_methods, all_methods.data()},
      {Py_tp_getset, all_properties.data()},
      {0, nullptr},
  };
  static PyType_Spec spec = {
      .name = "builtins.SyncEngine",
      .basicsize = static_cast<int>(kInstanceSize),
      .itemsize = 0,
      // The package's class adds close() and holds its syncing thread.
      .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
      .slots = slots,
  };
  sync_engine_class = PyType_FromSpec(&spec);
  if (sync_engine_class == nullptr) throw PyError::fetch();
  return sync_engine_class;
}

namespace {

PyObject* create_zone_engine_type() {
  static PyMethodDef methods[] = {
      {"check", reinterpret_cast<PyCFunction>(as_slot(&check_entry<kZoneEngine>)),
       kMethFastcall | METH_KEYWORDS, kCheckDoc},
      {"check_limits", reinterpret_cast<PyCFunction>(as_slot(&check_limits_entry<kZoneEngine>)),
       kMethFastcall | METH_KEYWORDS, kCheckLimitsDoc},
      {"refund", reinterpret_cast<PyCFunction>(as_slot(&refund_entry<kZoneEngine>)),
       kMethFastcall | METH_KEYWORDS, kRefundDoc},
      {"reset", reinterpret_cast<PyCFunction>(as_slot(&reset_entry<kZoneEngine>)),
       kMethFastcall | METH_KEYWORDS, kResetDoc},
      {"stats", &engine_stats_entry, METH_NOARGS, kStatsDoc},
      {"name_counts", &engine_name_counts_entry, METH_O, kNameCountsDoc},
      {"zone_stats", reinterpret_cast<PyCFunction>(as_slot(&engine_zone_stats_entry)), METH_NOARGS,
       "zone_stats($self)\n--\n\nThe counters of the zone this engine is on now, as the "
       "module's zone_stats tells them; None while it is degraded."},
      {nullptr, nullptr, 0, nullptr},
  };
  static PyGetSetDef properties[] = {
      {"policies", &policies_entry, nullptr, kPoliciesDoc, nullptr},
      {"degraded", &degraded_entry, nullptr,
       "True while checks are answered by on_error's policy instead of the zone.", nullptr},
      {"degraded_reason", &degraded_reason_entry, nullptr,
       "Why the engine is degraded; None when it is not.", nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
  static PyType_Slot slots[] = {
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_doc,
       const_cast<char*>(
           "ZoneEngine(zone, zone_size, algorithm_str, mode_str, capacity, refill_rate, "
           "api_key, debug, backend_url, zone_dir=None, on_error='local', rates=None)\n--\n\n"
           "A RustEngine whose per-client state lives in the shared-memory zone `zone`, shared "
           "by every process that names it (in `zone_dir` when given). While the zone cannot "
           "be used, checks are answered as `on_error` says: 'local' (an in-process engine), "
           "'allow' or 'deny'. A check that must wait for a lock another process holds lets "
           "the interpreter's other threads run meanwhile. With `rates`, (count, window_ms) "
           "pairs as RustEngine.from_rates takes them, capacity and refill_rate are ignored.")},
      {Py_tp_new, as_slot(&new_zone_entry)},
      {Py_tp_dealloc, as_slot(&dealloc_entry)},
      {Py_tp_methods, methods},
      {Py_tp_getset, properties},
      {0, nullptr},
  };
  static PyType_Spec spec = {
      .name = "builtins.ZoneEngine",
      .basicsize = static_cast<int>(kInstanceSize),
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT,
      .slots = slots,
  };
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) throw PyError::fetch();
  return type;
}

// zone_size: None, or an int of bytes. A bool is an int to Python, but True
// bytes is a mistake, not one byte. An int beyond 2^64-1 is passed on as that,
// which the zone refuses as too large, as it refuses one below its minimum.
std::optional<uint64_t> extract_zone_size(PyObject* object) {
  if (object == nullptr || object == Py_None) return std::nullopt;
  const auto not_whole = [&](PyObject* type) {
    return PyError::with_message(
        type, messages::fill_template(messages::kZoneSizeNotWhole, {repr_text(object)}));
  };
  if ((PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_LONG_SUBCLASS) == 0 || object == Py_True ||
      object == Py_False) {
    throw not_whole(PyExc_TypeError);
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (value != static_cast<unsigned long long>(-1) || PyErr_Occurred() == nullptr) return value;
  PyErr_Clear();  // the OverflowError of a value below 0 or beyond 2^64-1
  PyRef zero = new_optional_u64(0);
  const int negative = PyObject_RichCompareBool(object, zero.get(), Py_LT);
  if (negative < 0) throw PyError::fetch();
  if (negative == 1) throw not_whole(PyExc_ValueError);
  return UINT64_MAX;
}

// on_error: "local" (also when not given), "allow" or "deny", compared as
// code points so that no text needs encoding first.
FailurePolicy extract_failure_policy(PyObject* object) {
  if (object == nullptr) return FailurePolicy::Local;
  const auto refused = [&](PyObject* type) {
    return PyError::with_message(
        type, messages::fill_template(messages::kOnErrorChoices, {repr_text(object)}));
  };
  if ((PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_UNICODE_SUBCLASS) == 0) {
    throw refused(PyExc_TypeError);
  }
  for (const char* name : {"local", "allow", "deny"}) {
    if (PyUnicode_CompareWithASCIIString(object, name) == 0) {
      return *failure_policy_from_name(name);
    }
  }
  throw refused(PyExc_ValueError);
}

}  // namespace

const VornEngine& engine_of(PyObject* self) { return state_of(self)->engine; }

PyObject* engine_type() {
  if (engine_class == nullptr) engine_class = create_engine_type();
  return engine_class;
}

PyObject* zone_engine_type() {
  if (zone_engine_class == nullptr) zone_engine_class = create_zone_engine_type();
  return zone_engine_class;
}

namespace {

// What an engine is built from, once every argument is converted.
struct EngineSettings {
  std::string algorithm;
  std::string mode;
  std::optional<std::vector<Rate>> rates;  // when absent, capacity and refill_rate
  double capacity = 0.0;
  double refill_rate = 0.0;
  std::optional<std::string> api_key;
  std::optional<std::string> debug;
  std::string backend_url;
  std::optional<SyncSettings> sync;  // with rates: an engine synced through Redis
};

std::optional<std::string> owned(const std::optional<OwnedText>& text) {
  return text ? std::optional<std::string>(text->str()) : std::nullopt;
}

// The settings of the constructor's seven arguments at `slots`. With `rates`
// given (and not None), capacity and refill_rate are ignored, not even
// converted.
EngineSettings constructor_settings(const PyObject* const* slots, PyObject* rates) {
  const auto slot = [&](int at) { return const_cast<PyObject*>(slots[at]); };
  EngineSettings settings;
  settings.algorithm = convert_argument("algorithm_str", slot(0), extract_text).str();
  settings.mode = convert_argument("mode_str", slot(1), extract_text).str();
  const bool with_rates = rates != nullptr && rates != Py_None;
  if (!with_rates) {
    settings.capacity = convert_argument("capacity", slot(2), extract_f64);
    settings.refill_rate = convert_argument("refill_rate", slot(3), extract_f64);
  }
  settings.api_key = owned(convert_argument("api_key", slot(4), extract_optional_text));
  settings.debug = owned(convert_argument("debug", slot(5), extract_optional_text));
  settings.backend_url = convert_argument("backend_url", slot(6), extract_text).str();
  if (with_rates) settings.rates = extract_rates(rates);  // names the parameter itself
  return settings;
}

// Builds an instance of `subtype` of `settings`; `zone` places its state in a
// shared-memory zone.
PyRef build_engine_object(PyTypeObject* subtype, const EngineSettings& settings,
                          const std::optional<ZonePlacement>& zone, Clock clock) {
  ResultTemplates templates = make_templates(settings.algorithm);
  auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(subtype, Py_tp_alloc));
  if (allocate == nullptr) allocate = PyType_GenericAlloc;
  PyObject* self = allocate(subtype, 0);
  if (self == nullptr) throw PyError::fetch();
  try {
    if (settings.sync) {
      std::construct_at(state_storage(self), std::move(templates), settings.algorithm,
                        settings.mode, settings.api_key, *settings.rates, kBurstMultiplier,
                        settings.debug, RateLimitOptions{}, kBlockDurationMs, settings.backend_url,
                        *settings.sync, clock);
    } else if (settings.rates) {
      std::construct_at(state_storage(self), std::move(templates), settings.algorithm,
                        settings.mode, settings.api_key, *settings.rates, kBurstMultiplier,
                        settings.debug, RateLimitOptions{}, kBlockDurationMs, settings.backend_url,
                        zone ? &*zone : nullptr, clock);
    } else if (zone) {
      std::construct_at(state_storage(self), std::move(templates), *zone, settings.algorithm,
                        settings.mode, settings.api_key, settings.capacity, settings.refill_rate,
                        kBurstMultiplier, settings.debug, RateLimitOptions{}, kBlockDurationMs,
                        settings.backend_url, clock);
    } else {
      std::construct_at(state_storage(self), std::move(templates), settings.algorithm,
                        settings.mode, settings.api_key, settings.capacity, settings.refill_rate,
                        kBurstMultiplier, settings.debug, RateLimitOptions{}, kBlockDurationMs,
                        settings.backend_url, clock);
    }
  } catch (...) {
    free_instance(self, subtype);  // never reached Python, so no deallocator runs
    throw;
  }
  try {
    InstanceState& state = *state_of(self);
    add_limits_templates(state.templates, state.engine.policies());
    state.zone = state.engine.zone_connection();
    state.clock = clock;
  } catch (...) {
    std::destroy_at(state_of(self));
    free_instance(self, subtype);  // never reached Python, so no deallocator runs
    throw;
  }
  return PyRef::steal(self);
}

}  // namespace

PyRef new_engine_object(PyTypeObject* subtype, PyObject* args, PyObject* kwargs, Clock clock) {
  const BoundArguments<7> slots = bind_arguments(kConstructorSignature, args, kwargs);
  return build_engine_object(subtype, constructor_settings(slots.data(), nullptr), std::nullopt,
                             clock);
}

// The settings of an engine of rates, from from_rates' arguments.
EngineSettings rates_settings(PyObject* args, PyObject* kwargs) {
  const BoundArguments<6> slots = bind_arguments(kFromRatesSignature, args, kwargs);
  EngineSettings settings;
  settings.algorithm = convert_argument("algorithm", slots[0], extract_text).str();
  settings.mode = convert_argument("mode", slots[1], extract_text).str();
  settings.rates = extract_rates(slots[2]);  // names the parameter itself
  settings.api_key = owned(convert_argument("api_key", slots[3], extract_optional_text));
  settings.debug = owned(convert_argument("debug", slots[4], extract_optional_text));
  settings.backend_url = slots[5] == nullptr
                             ? std::string(kDefaultBackendUrl)
                             : convert_argument("backend_url", slots[5], extract_text).str();
  return settings;
}

PyRef new_engine_from_rates(PyTypeObject* subtype, PyObject* args, PyObject* kwargs, Clock clock) {
  return build_engine_object(subtype, rates_settings(args, kwargs), std::nullopt, clock);
}

PyRef new_synced_engine_object(PyTypeObject* subtype, PyObject* args, PyObject* kwargs,
                               SyncSettings sync, Clock clock) {
  EngineSettings settings = rates_settings(args, kwargs);
  settings.sync = sync;
  return build_engine_object(subtype, settings, std::nullopt, clock);
}

PyRef new_zone_engine_object(PyTypeObject* subtype, PyObject* args, PyObject* kwargs, Clock clock) {
  const BoundArguments<12> slots = bind_arguments(kZoneConstructorSignature, args, kwargs);
  const OwnedText zone = convert_argument("zone", slots[0], extract_text);
  // Their messages name the parameter already.
  const std::optional<uint64_t> zone_size = extract_zone_size(slots[1]);
  std::optional<std::string> zone_dir = convert_argument("zone_dir", slots[9], extract_zone_dir);
  const FailurePolicy on_error = extract_failure_policy(slots[10]);
  PyRef engine = build_engine_object(
      subtype, constructor_settings(slots.data() + 2, slots[11]),
      ZonePlacement{zone.str(), zone_size, std::move(zone_dir), on_error}, clock);
  // Opening the zone may have news already (a damaged zone replaced).
  const ZoneConnection& connection = *state_of(engine.get())->zone;
  if (connection.has_notices()) log_notices(engine.get(), connection, "ZoneEngine.__new__()");
  return engine;
}

}  // namespace vorn::python
