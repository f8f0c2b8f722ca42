#include "engine_object.h"

#include <cstddef>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "algorithms/clock.h"
#include "call_boundary.h"
#include "core/engine.h"
#include "core/wait_hook.h"
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
struct ResultTemplates {
  PyRef result;                 // allowed, would_block, reason, decision
  PyRef result_without_reason;  // allowed, would_block, decision (disabled mode)
  PyRef decision;               // decision, reason, algorithm, route, remaining, latency_ms
  // The two result templates followed by limit, remaining, retry_after_ms,
  // reset_after_ms and window_ms; made once the engine is built, since they
  // carry the engine's limit and window.
  PyRef limits;
  PyRef limits_without_reason;
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

// check(ip, route, identity=None) and check_limits, of either class.
constexpr CallSignature<3> check_signature(const char* class_name, const char* function_name) {
  return {
      .class_name = class_name,
      .function_name = function_name,
      .parameter_names = {"ip", "route", "identity"},
      .positional_only_count = 0,
      .required_count = 2,
  };
}

constexpr CallSignature<3> kCheckSignature = check_signature("RustEngine", "check");
constexpr CallSignature<3> kCheckLimitsSignature = check_signature("RustEngine", "check_limits");
constexpr CallSignature<3> kZoneCheckSignature = check_signature("ZoneEngine", "check");
constexpr CallSignature<3> kZoneCheckLimitsSignature =
    check_signature("ZoneEngine", "check_limits");

constexpr CallSignature<11> kZoneConstructorSignature{
    .class_name = "ZoneEngine",
    .function_name = "__new__",
    .parameter_names = {"zone", "zone_size", "algorithm_str", "mode_str", "capacity", "refill_rate",
                        "api_key", "debug", "backend_url", "zone_dir", "on_error"},
    .positional_only_count = 0,
    .required_count = 9,
};

// What differs between the two engine classes at a check.
struct EngineClass {
  const CallSignature<3>& check_signature;
  const CallSignature<3>& check_limits_signature;
  PyObject* (*type)();
  const char* name;
  const char* check_entry_name;
  const char* check_limits_entry_name;
};

// Lets the interpreter's other threads run while a zone check waits for a
// lock, which a stopped or slow process may hold for seconds. Nothing that
// Python owns is touched meanwhile: the check's texts are views into str
// arguments that its bound arguments keep alive, and the engine lives inside
// `self`, which the caller holds. The GIL comes back only when the check is
// over, never while it holds a lock of its own: a thread in os.fork() keeps
// the GIL while the fork waits for those locks. One per check, on the stack.
class ReleaseGilWhileWaiting final : public WaitHook {
 public:
  ReleaseGilWhileWaiting() = default;
  ReleaseGilWhileWaiting(const ReleaseGilWhileWaiting&) = delete;
  ReleaseGilWhileWaiting& operator=(const ReleaseGilWhileWaiting&) = delete;
  ~ReleaseGilWhileWaiting() {
    if (saved_ != nullptr) PyEval_RestoreThread(saved_);
  }
  void before_wait() override {
    if (saved_ == nullptr) saved_ = PyEval_SaveThread();
  }
  void after_wait() override {}

 private:
  PyThreadState* saved_ = nullptr;
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
// reported as unraisable on `self`, and the lines after it are still tried.
void log_notices(PyObject* self, const ZoneConnection& zone) noexcept {
  std::vector<std::string> lines;
  try {
    lines = zone.take_notices();
  } catch (...) {
    report_unraisable(self, "ZoneEngine.check()");
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
      report_unraisable(self, "ZoneEngine.check()");
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
InternedName& word_within_limit = vocabulary[3];

// Builds the three templates; the values are those of an admitted check.
ResultTemplates make_templates(std::string_view algorithm) {
  ResultTemplates made{new_dict(), new_dict(), new_dict(), PyRef(), PyRef()};
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

// Adds the limits templates to `templates`, from the engine's policy.
void add_limits_templates(ResultTemplates& templates, const LimitPolicy& policy) {
  PyRef limit = new_optional_u64(policy.limit);
  PyRef window = new_optional_u64(policy.window_ms);
  for (PyRef* made : {&templates.limits, &templates.limits_without_reason}) {
    *made = copy_dict(made == &templates.limits ? templates.result.get()
                                                : templates.result_without_reason.get());
    PyObject* result = made->get();
    set_item(result, key_limit.get(), limit.get());
    set_item(result, key_remaining.get(), Py_None);
    const bool counted = made == &templates.limits;  // not in disabled mode
    PyRef retry = new_optional_u64(counted ? std::optional<uint64_t>(0) : std::nullopt);
    set_item(result, key_retry_after_ms.get(), retry.get());
    set_item(result, key_reset_after_ms.get(), Py_None);
    set_item(result, key_window_ms.get(), window.get());
  }
}

// The UTF-8 text of a str argument, borrowed from the argument itself (alive for
// the whole call). Anything but a str fails as extract_text does.
std::string_view borrowed_text(PyObject* object) {
  if ((PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_UNICODE_SUBCLASS) == 0) {
    extract_text(object);  // throws the conversion's TypeError
    throw InternalFailure("a value that is not a str converted to text");
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) throw PyError::fetch();
  return std::string_view(data, static_cast<size_t>(size));
}

// Created once; the class and everything its spec points to live for the process.
PyObject* engine_class = nullptr;
PyObject* zone_engine_class = nullptr;

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

// `route` (borrowed) is the route argument: an exact str holding the record's
// route text is the very value the new str would be, so it is stored itself.
// `with_limits` picks the templates that carry the limit figures, which are
// then filled in.
PyRef build_result(const CheckOutcome& outcome, const ResultTemplates& templates, PyObject* route,
                   bool with_limits = false) {
  const CanonicalDecision& record = outcome.decision;
  PyRef decision = copy_dict(templates.decision.get());
  if (record.decision != word_allow.text()) {
    set_item(decision.get(), key_decision.get(), word_text(record.decision).get());
  }
  if (record.reason != word_within_limit.text()) {
    set_item(decision.get(), key_reason.get(), word_text(record.reason).get());
  }
  if (Py_TYPE(route) == Py_TYPE(key_route.get()) && borrowed_text(route) == record.route) {
    set_item(decision.get(), key_route.get(), route);
  } else {
    set_item(decision.get(), key_route.get(), new_text(record.route).get());
  }
  PyRef remaining;  // the decision's count, shared with the limit figures
  if (record.remaining) {
    remaining = new_optional_u64(record.remaining);
    set_item(decision.get(), key_remaining.get(), remaining.get());
  }
  if (record.latency_ms != uint64_t{0}) {
    set_item(decision.get(), key_latency_ms.get(), new_optional_u64(record.latency_ms).get());
  }

  PyRef result = with_limits ? copy_dict(outcome.reason ? templates.limits.get()
                                                        : templates.limits_without_reason.get())
                             : copy_dict(outcome.reason ? templates.result.get()
                                                        : templates.result_without_reason.get());
  if (!outcome.allowed) set_item(result.get(), key_allowed.get(), Py_False);
  if (outcome.would_block) set_item(result.get(), key_would_block.get(), Py_True);
  if (outcome.reason && *outcome.reason != word_within_limit.text()) {
    set_item(result.get(), key_reason.get(), word_text(*outcome.reason).get());
  }
  set_item(result.get(), key_decision.get(), decision.get());
  if (with_limits) {
    const LimitFigures& figures = outcome.figures;
    if (figures.remaining) {
      if (!remaining || figures.remaining != record.remaining) {
        remaining = new_optional_u64(figures.remaining);
      }
      set_item(result.get(), key_remaining.get(), remaining.get());
    }
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

// Binds check's arguments from the vectorcall form. The usual call, two or three
// positional arguments, takes them as they are; any other form goes through the
// general binding, which gives every misuse its exact message.
BoundArguments<3> bind_check_arguments(const CallSignature<3>& signature, PyObject* const* args,
                                       Py_ssize_t count, PyObject* keyword_names) {
  if (keyword_names == nullptr && (count == 2 || count == 3)) {
    return BoundArguments<3>({args[0], args[1], count == 3 ? args[2] : nullptr});
  }
  PyRef positional = PyRef::steal(PyTuple_New(count));
  if (!positional) throw PyError::fetch();
  for (Py_ssize_t at = 0; at < count; ++at) {
    Py_INCREF(args[at]);
    PyTuple_SetItem(positional.get(), at, args[at]);  // steals the new reference
  }
  PyRef keywords;
  if (keyword_names != nullptr) {
    keywords = new_dict();
    const Py_ssize_t keyword_count = PyTuple_Size(keyword_names);
    for (Py_ssize_t at = 0; at < keyword_count; ++at) {
      set_item(keywords.get(), PyTuple_GetItem(keyword_names, at), args[count + at]);
    }
  }
  return bind_arguments(signature, positional.get(), keywords.get());
}

// Binds and converts the arguments of check or check_limits (`with_limits`) and
// runs the check.
PyRef check(const EngineClass& kind, bool with_limits, PyObject* self, PyObject* const* args,
            Py_ssize_t count, PyObject* keyword_names) {
  const BoundArguments<3> slots = bind_check_arguments(
      with_limits ? kind.check_limits_signature : kind.check_signature, args, count, keyword_names);
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
  BorrowScope borrow(state.borrow_count);

  const std::string_view ip = convert_argument("ip", slots[0], borrowed_text);
  const std::string_view route = convert_argument("route", slots[1], borrowed_text);
  std::optional<std::string_view> identity;
  if (slots[2] != nullptr && slots[2] != Py_None) {
    identity = convert_argument("identity", slots[2], borrowed_text);
  }

  // Read right before the call: the engine measures latency from here.
  const uint64_t start_ms = now_ms();
  if (state.zone == nullptr) {
    const CheckOutcome outcome =
        state.engine.check_request_with_identity(identity, ip, route, start_ms);
    return build_result(outcome, state.templates, slots[1], with_limits);
  }
  const CheckOutcome outcome = [&] {
    ReleaseGilWhileWaiting release;
    const ScopedWaitHook installed(&release);
    return state.engine.check_request_with_identity(identity, ip, route, start_ms);
  }();
  if (state.zone->has_notices()) log_notices(self, *state.zone);
  return build_result(outcome, state.templates, slots[1], with_limits);
}

constexpr EngineClass kRustEngine{kCheckSignature,      kCheckLimitsSignature,
                                  engine_type,          "RustEngine",
                                  "RustEngine.check()", "RustEngine.check_limits()"};
constexpr EngineClass kZoneEngine{kZoneCheckSignature,  kZoneCheckLimitsSignature,
                                  zone_engine_type,     "ZoneEngine",
                                  "ZoneEngine.check()", "ZoneEngine.check_limits()"};

template <const EngineClass& engine_class>
PyObject* check_entry(PyObject* self, PyObject* const* args, Py_ssize_t count,
                      PyObject* keyword_names) {
  return guard_entry(engine_class.check_entry_name,
                     [&] { return check(engine_class, false, self, args, count, keyword_names); });
}

// check_limits(ip, route, identity=None): the same check as check, whose result
// also tells the limit figures clients are given.
template <const EngineClass& engine_class>
PyObject* check_limits_entry(PyObject* self, PyObject* const* args, Py_ssize_t count,
                             PyObject* keyword_names) {
  return guard_entry(engine_class.check_limits_entry_name,
                     [&] { return check(engine_class, true, self, args, count, keyword_names); });
}

// The vectorcall convention for methods: the arguments arrive as an array with
// the keyword names in a tuple, so a call builds no argument tuple. CPython has
// taken it since 3.7 with this flag value; the stable ABI lists it from 3.10.
constexpr int kMethFastcall = 0x0080;

PyObject* new_entry(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return guard_entry("RustEngine.__new__()",
                     [&] { return new_engine_object(subtype, args, kwargs, Clock::system()); });
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

PyObject* create_engine_type() {
  // Interpreters before 3.11 keep pointing at the name and the method table
  // instead of copying them, so both live in static storage.
  static PyMethodDef methods[] = {
      {"check", reinterpret_cast<PyCFunction>(as_slot(&check_entry<kRustEngine>)),
       kMethFastcall | METH_KEYWORDS, "check($self, ip, route, identity=None)\n--\n\n"},
      {"check_limits", reinterpret_cast<PyCFunction>(as_slot(&check_limits_entry<kRustEngine>)),
       kMethFastcall | METH_KEYWORDS, "check_limits($self, ip, route, identity=None)\n--\n\n"},
      {nullptr, nullptr, 0, nullptr},
  };
  static PyType_Slot slots[] = {
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_doc,
       const_cast<char*>("RustEngine(algorithm_str, mode_str, capacity, refill_rate, api_key, "
                         "debug, backend_url)\n--\n\n")},
      {Py_tp_new, as_slot(&new_entry)},
      {Py_tp_dealloc, as_slot(&dealloc_entry)},
      {Py_tp_methods, methods},
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

PyObject* create_zone_engine_type() {
  static PyMethodDef methods[] = {
      {"check", reinterpret_cast<PyCFunction>(as_slot(&check_entry<kZoneEngine>)),
       kMethFastcall | METH_KEYWORDS, "check($self, ip, route, identity=None)\n--\n\n"},
      {"check_limits", reinterpret_cast<PyCFunction>(as_slot(&check_limits_entry<kZoneEngine>)),
       kMethFastcall | METH_KEYWORDS, "check_limits($self, ip, route, identity=None)\n--\n\n"},
      {"zone_stats", reinterpret_cast<PyCFunction>(as_slot(&engine_zone_stats_entry)), METH_NOARGS,
       "zone_stats($self)\n--\n\nThe counters of the zone this engine is on now, as the "
       "module's zone_stats tells them; None while it is degraded."},
      {nullptr, nullptr, 0, nullptr},
  };
  static PyGetSetDef properties[] = {
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
           "api_key, debug, backend_url, zone_dir=None, on_error='local')\n--\n\n"
           "A RustEngine whose per-client state lives in the shared-memory zone `zone`, shared "
           "by every process that names it (in `zone_dir` when given). While the zone cannot "
           "be used, checks are answered as `on_error` says: 'local' (an in-process engine), "
           "'allow' or 'deny'. A check that must wait for a lock another process holds lets "
           "the interpreter's other threads run meanwhile.")},
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

// The repr() of `object`, to name a value in a message as it was given.
std::string repr_text(PyObject* object) {
  PyRef text = PyRef::steal(PyObject_Repr(object));
  if (!text) throw PyError::fetch();
  return extract_text(text.get()).str();
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

PyObject* engine_type() {
  if (engine_class == nullptr) engine_class = create_engine_type();
  return engine_class;
}

PyObject* zone_engine_type() {
  if (zone_engine_class == nullptr) zone_engine_class = create_zone_engine_type();
  return zone_engine_class;
}

namespace {

// Builds an instance of `subtype` from the seven common arguments in `slots`;
// `zone` places its state in a shared-memory zone.
PyRef build_engine_object(PyTypeObject* subtype, const PyObject* const* slots,
                          const std::optional<ZonePlacement>& zone, Clock clock) {
  const auto slot = [&](int at) { return const_cast<PyObject*>(slots[at]); };
  const OwnedText algorithm = convert_argument("algorithm_str", slot(0), extract_text);
  const OwnedText mode = convert_argument("mode_str", slot(1), extract_text);
  const double capacity = convert_argument("capacity", slot(2), extract_f64);
  const double refill_rate = convert_argument("refill_rate", slot(3), extract_f64);
  const std::optional<OwnedText> api_key =
      convert_argument("api_key", slot(4), extract_optional_text);
  const std::optional<OwnedText> debug = convert_argument("debug", slot(5), extract_optional_text);
  const OwnedText backend_url = convert_argument("backend_url", slot(6), extract_text);

  ResultTemplates templates = make_templates(algorithm.view());
  auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(subtype, Py_tp_alloc));
  if (allocate == nullptr) allocate = PyType_GenericAlloc;
  PyObject* self = allocate(subtype, 0);
  if (self == nullptr) throw PyError::fetch();
  try {
    const auto owned = [](const std::optional<OwnedText>& text) {
      return text ? std::optional<std::string>(text->str()) : std::nullopt;
    };
    if (zone) {
      std::construct_at(state_storage(self), std::move(templates), *zone, algorithm.view(),
                        mode.view(), owned(api_key), capacity, refill_rate, kBurstMultiplier,
                        owned(debug), RateLimitOptions{}, kBlockDurationMs, backend_url.str(),
                        clock);
    } else {
      std::construct_at(state_storage(self), std::move(templates), algorithm.view(), mode.view(),
                        owned(api_key), capacity, refill_rate, kBurstMultiplier, owned(debug),
                        RateLimitOptions{}, kBlockDurationMs, backend_url.str(), clock);
    }
  } catch (...) {
    free_instance(self, subtype);  // never reached Python, so no deallocator runs
    throw;
  }
  try {
    InstanceState& state = *state_of(self);
    add_limits_templates(state.templates, state.engine.policy());
    state.zone = state.engine.zone_connection();
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
  return build_engine_object(subtype, slots.data(), std::nullopt, clock);
}

PyRef new_zone_engine_object(PyTypeObject* subtype, PyObject* args, PyObject* kwargs, Clock clock) {
  const BoundArguments<11> slots = bind_arguments(kZoneConstructorSignature, args, kwargs);
  const OwnedText zone = convert_argument("zone", slots[0], extract_text);
  // Their messages name the parameter already.
  const std::optional<uint64_t> zone_size = extract_zone_size(slots[1]);
  std::optional<std::string> zone_dir = convert_argument("zone_dir", slots[9], extract_zone_dir);
  const FailurePolicy on_error = extract_failure_policy(slots[10]);
  PyRef engine = build_engine_object(
      subtype, slots.data() + 2,
      ZonePlacement{zone.str(), zone_size, std::move(zone_dir), on_error}, clock);
  // Opening the zone may have news already (a damaged zone replaced).
  const ZoneConnection& connection = *state_of(engine.get())->zone;
  if (connection.has_notices()) log_notices(engine.get(), connection);
  return engine;
}

}  // namespace vorn::python
