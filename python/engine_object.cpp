#include "engine_object.h"

#include <cstddef>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "algorithms/clock.h"
#include "call_boundary.h"
#include "core/engine.h"
#include "messages.h"

namespace vorn::python {
namespace {

// What a RustEngine instance holds after the object header. CPython's allocator
// runs no constructor: the state is built in place once the object is
// allocated, and destroyed before the memory goes back.
//
// borrow_count counts the check calls using the engine (0 when idle; -1 would
// mean exclusive use, which nothing takes). Plain, because the GIL guards it.
//
// algorithm_text is the engine's algorithm name as a str, made once: every
// result reports that same text.
struct InstanceState {
  template <typename... EngineArgs>
  explicit InstanceState(PyRef algorithm, EngineArgs&&... args)
      : engine(std::forward<EngineArgs>(args)...), algorithm_text(std::move(algorithm)) {}

  VornEngine engine;
  Py_ssize_t borrow_count = 0;
  PyRef algorithm_text;
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

constexpr CallSignature<3> kCheckSignature{
    .class_name = "RustEngine",
    .function_name = "check",
    .parameter_names = {"ip", "route", "identity"},
    .positional_only_count = 0,
    .required_count = 2,
};

// Dict keys, interned once and kept for the process.
InternedName key_allowed("allowed");
InternedName key_would_block("would_block");
InternedName key_reason("reason");
InternedName key_decision("decision");
InternedName key_algorithm("algorithm");
InternedName key_route("route");
InternedName key_remaining("remaining");
InternedName key_latency_ms("latency_ms");

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

// Created once; the class and everything its spec points to live for the process.
PyObject* engine_class = nullptr;

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

PyObject* bool_object(bool value) { return value ? Py_True : Py_False; }  // borrowed

// `algorithm` (borrowed) is the str of the outcome's algorithm name.
PyRef build_result(const CheckOutcome& outcome, PyObject* algorithm) {
  PyRef result = new_dict();
  set_item(result.get(), key_allowed.get(), bool_object(outcome.allowed));
  set_item(result.get(), key_would_block.get(), bool_object(outcome.would_block));
  if (outcome.reason) {
    set_item(result.get(), key_reason.get(), word_text(*outcome.reason).get());
  }
  const CanonicalDecision& record = outcome.decision;
  PyRef decision = new_dict();
  set_item(decision.get(), key_decision.get(), word_text(record.decision).get());
  set_item(decision.get(), key_reason.get(), word_text(record.reason).get());
  set_item(decision.get(), key_algorithm.get(), algorithm);
  set_item(decision.get(), key_route.get(), new_text(record.route).get());
  set_item(decision.get(), key_remaining.get(), new_optional_u64(record.remaining).get());
  set_item(decision.get(), key_latency_ms.get(), new_optional_u64(record.latency_ms).get());
  set_item(result.get(), key_decision.get(), decision.get());
  return result;
}

PyRef check(PyObject* self, PyObject* args, PyObject* kwargs) {
  const BoundArguments<3> slots = bind_arguments(kCheckSignature, args, kwargs);
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));  // borrowed
  PyObject* expected = engine_type();                           // borrowed
  if (type != expected &&
      !PyType_IsSubtype(Py_TYPE(self), reinterpret_cast<PyTypeObject*>(expected))) {
    throw PyError::with_message(
        PyExc_TypeError,
        messages::fill_template(messages::kCannotConvert, {type_qualname(type), "RustEngine"}));
  }
  InstanceState& state = *state_of(self);
  if (state.borrow_count == -1) {
    throw PyError::with_message(PyExc_RuntimeError, messages::kAlreadyMutablyBorrowed);
  }
  BorrowScope borrow(state.borrow_count);

  const OwnedText ip = convert_argument("ip", slots[0], extract_text);
  const OwnedText route = convert_argument("route", slots[1], extract_text);
  const std::optional<OwnedText> identity =
      convert_argument("identity", slots[2], extract_optional_text);
  std::optional<std::string_view> identity_view;
  if (identity) identity_view = identity->view();

  // Read right before the call: the engine measures latency from here.
  const uint64_t start_ms = now_ms();
  const CheckOutcome outcome =
      state.engine.check_request_with_identity(identity_view, ip.view(), route.view(), start_ms);
  return build_result(outcome, state.algorithm_text.get());
}

PyObject* check_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard_entry("RustEngine.check()", [&] { return check(self, args, kwargs); });
}

PyObject* new_entry(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return guard_entry("RustEngine.__new__()",
                     [&] { return new_engine_object(subtype, args, kwargs, Clock::system()); });
}

void dealloc_entry(PyObject* self) {
  guard_dealloc(self, "RustEngine.__dealloc__()", [&] {
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
      {"check", reinterpret_cast<PyCFunction>(as_slot(&check_entry)), METH_VARARGS | METH_KEYWORDS,
       "check($self, ip, route, identity=None)\n--\n\n"},
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

}  // namespace

PyObject* engine_type() {
  if (engine_class == nullptr) engine_class = create_engine_type();
  return engine_class;
}

PyRef new_engine_object(PyTypeObject* subtype, PyObject* args, PyObject* kwargs, Clock clock) {
  const BoundArguments<7> slots = bind_arguments(kConstructorSignature, args, kwargs);
  const OwnedText algorithm = convert_argument("algorithm_str", slots[0], extract_text);
  const OwnedText mode = convert_argument("mode_str", slots[1], extract_text);
  const double capacity = convert_argument("capacity", slots[2], extract_f64);
  const double refill_rate = convert_argument("refill_rate", slots[3], extract_f64);
  const std::optional<OwnedText> api_key =
      convert_argument("api_key", slots[4], extract_optional_text);
  const std::optional<OwnedText> debug = convert_argument("debug", slots[5], extract_optional_text);
  const OwnedText backend_url = convert_argument("backend_url", slots[6], extract_text);

  PyRef algorithm_text = new_text(algorithm.view());
  auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(subtype, Py_tp_alloc));
  if (allocate == nullptr) allocate = PyType_GenericAlloc;
  PyObject* self = allocate(subtype, 0);
  if (self == nullptr) throw PyError::fetch();
  try {
    const auto owned = [](const std::optional<OwnedText>& text) {
      return text ? std::optional<std::string>(text->str()) : std::nullopt;
    };
    std::construct_at(state_storage(self), std::move(algorithm_text), algorithm.view(), mode.view(),
                      owned(api_key), capacity, refill_rate, kBurstMultiplier, owned(debug),
                      RateLimitOptions{}, kBlockDurationMs, backend_url.str(), clock);
  } catch (...) {
    free_instance(self, subtype);  // never reached Python, so no deallocator runs
    throw;
  }
  return PyRef::steal(self);
}

}  // namespace vorn::python
