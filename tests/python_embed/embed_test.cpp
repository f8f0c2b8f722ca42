// Drives the Python boundary from inside an embedded interpreter, through paths
// that Python code alone cannot reach: C++ failures inside entry points, an
// engine whose clock reads before the epoch, and signatures the module does not
// use. Assertions on Python-visible behaviour are written in Python; a failing
// snippet prints its traceback and fails the test.
#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "algorithms/clock.h"
#include "algorithms/fatal_error.h"
#include "call_boundary.h"
#include "engine_object.h"
#include "python_api.h"

namespace vorn::python {
namespace {

// Runs `source` in a fresh namespace holding `names`; returns the namespace.
PyRef run(const std::string& source,
          std::initializer_list<std::pair<const char*, PyObject*>> names = {}) {
  PyObject* main_dict = PyModule_GetDict(PyImport_AddModule("__main__"));  // borrowed
  PyRef globals = PyRef::steal(PyDict_Copy(main_dict));
  for (const auto& [name, value] : names) PyDict_SetItemString(globals.get(), name, value);
  PyRef code = PyRef::steal(Py_CompileString(source.c_str(), "<embed_test>", Py_file_input));
  PyRef result;
  if (code) result = PyRef::steal(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
  if (!result) {
    PyErr_Print();
    ADD_FAILURE() << "Python snippet failed:\n" << source;
  }
  return globals;
}

PyObject* fail_in_guard(PyObject*, PyObject* kind) {
  return guard_entry("fail_in_guard()", [&]() -> PyRef {
    const std::string what = extract_text(kind).str();
    if (what == "fatal") throw FatalError(std::string(kUnwrapFailedPrefix) + "PoisonError { .. }");
    if (what == "bad_alloc") throw std::bad_alloc();
    if (what == "std_exception") throw std::logic_error("torn invariant");
    if (what == "opaque") throw 42;
    if (what == "result_creation") return new_text("\xff");  // not UTF-8
    if (what == "python_error") throw PyError::with_message(PyExc_LookupError, "plain error");
    return PyRef::borrow(Py_None);
  });
}

constexpr CallSignature<0> kNoParameters{nullptr, "f", {}, 0, 0};
constexpr CallSignature<2> kFirstPositionalOnly{nullptr, "g", {"a", "b"}, 1, 2};

template <const auto& Signature>
PyObject* bind_only(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard_entry("bind_only()", [&] {
    bind_arguments(Signature, args, kwargs);
    return PyRef::borrow(Py_None);
  });
}

template <typename Function>
PyCFunction as_method(Function* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef test_methods[] = {
    {"fail_in_guard", as_method(&fail_in_guard), METH_O, nullptr},
    {"f", as_method(&bind_only<kNoParameters>), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"g", as_method(&bind_only<kFirstPositionalOnly>), METH_VARARGS | METH_KEYWORDS, nullptr},
};

PyRef function(PyMethodDef& definition) {
  return PyRef::steal(PyCFunction_NewEx(&definition, nullptr, nullptr));
}

// Running out of memory is no internal failure: it is Python's own MemoryError,
// which callers may catch, and nothing is reported.
TEST(EntryGuard, EveryInternalFailureBecomesPanicException) {
  PyRef fail = function(test_methods[0]);
  testing::internal::CaptureStderr();
  run(R"(
import sys
def outcome(kind):
    try:
        try:
            fail_in_guard(kind)
        except Exception as error:
            return ("Exception", type(error).__name__, str(error))
    except BaseException as error:
        return ("BaseException", type(error).__name__, str(error), error.args)

panic_bases = None
try:
    fail_in_guard("fatal")
except BaseException as error:
    panic_bases = type(error).__bases__
assert panic_bases == (BaseException,), panic_bases

poison = "called `Result::unwrap()` on an `Err` value: PoisonError { .. }"
expected = {
    "fatal": ("BaseException", "PanicException", poison, (poison,)),
    "bad_alloc": ("Exception", "MemoryError", ""),
    "std_exception": ("BaseException", "PanicException", "torn invariant", ("torn invariant",)),
    "result_creation": ("BaseException", "PanicException", "Python API call failed",
                        ("Python API call failed",)),
    "python_error": ("Exception", "LookupError", "plain error"),
}
for kind, want in expected.items():
    got = outcome(kind)
    assert got == want, (kind, got)
assert fail_in_guard("none") is None
opaque = outcome("opaque")
assert opaque[:2] == ("BaseException", "PanicException") and opaque[2], opaque
sys.stderr.flush()
)",
      {{"fail_in_guard", fail.get()}});
  const std::string report = testing::internal::GetCapturedStderr();
  if (HasFailure()) std::fputs(report.c_str(), stderr);
  EXPECT_NE(report.find("internal failure in fail_in_guard(): torn invariant"), std::string::npos)
      << report;
  EXPECT_EQ(report.find("bad_alloc"), std::string::npos) << report;
  // Result creation failures name their source line and print the interpreter's error first.
  EXPECT_NE(report.find("UnicodeDecodeError"), std::string::npos) << report;
  EXPECT_NE(report.find("call_boundary.cpp:"), std::string::npos) << report;
}

TEST(Binding, RulesTheModuleItselfNeverExercises) {
  PyRef f = function(test_methods[1]);
  PyRef g = function(test_methods[2]);
  run(R"(
cases = [
    (lambda: f(1), "f() takes 0 positional arguments but 1 was given"),
    (lambda: g(a=1, b=2), "g() got some positional-only arguments passed as keyword arguments: 'a'"),
    (lambda: g(1), "g() missing 1 required positional argument: 'b'"),
]
for call, message in cases:
    try:
        call()
    except TypeError as error:
        assert str(error) == message, (str(error), message)
    else:
        raise AssertionError("no error: " + message)
assert f() is None and g(1, b=2) is None
)",
      {{"f", f.get()}, {"g", g.get()}});
}

// A clock the test scripts: it reads a fixed time, or fails as a clock before
// the epoch does.
struct ScriptedClock {
  bool before_epoch = false;
  static uint64_t read(const void* context) {
    if (static_cast<const ScriptedClock*>(context)->before_epoch) {
      throw_clock_before_epoch(1, 500'000'000);
    }
    return 1'700'000'000'000;
  }
};

TEST(EngineFailure, ClockBeforeEpochPanicsThenPoisonsTheEngine) {
  ScriptedClock clock;
  PyRef arguments = PyRef::steal(
      Py_BuildValue("(ssddOOs)", "token_bucket", "active", 5.0, 0.0, Py_None, Py_None, ""));
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(engine_type());
  PyRef engine;
  try {
    engine = new_engine_object(type, arguments.get(), nullptr, Clock(&ScriptedClock::read, &clock));
  } catch (PyError& error) {
    std::move(error).restore();
    PyErr_Print();
    FAIL() << "could not build the engine object";
  }
  const std::string panic_of_check = R"(
def panic_of_check():
    try:
        engine.check("1.2.3.4", "/")
    except Exception as error:
        raise AssertionError("caught as Exception") from error
    except BaseException as error:
        assert type(error).__name__ == "PanicException", repr(error)
        return str(error)
    raise AssertionError("no failure")
)";
  run(panic_of_check + "assert engine.check('1.2.3.4', '/')['allowed']\n",
      {{"engine", engine.get()}});
  clock.before_epoch = true;
  testing::internal::CaptureStderr();
  run(panic_of_check + R"(
message = panic_of_check()
assert message.startswith("called `Result::unwrap()` on an `Err` value: SystemTimeError("), message
)",
      {{"engine", engine.get()}});
  clock.before_epoch = false;
  run(panic_of_check + R"(
poisoned = "called `Result::unwrap()` on an `Err` value: PoisonError { .. }"
assert panic_of_check() == poisoned
assert panic_of_check() == poisoned, "the engine stays poisoned"
try:
    engine.check("1.2.3.4")
except TypeError as error:
    assert "missing 1 required positional argument: 'route'" in str(error)
)",
      {{"engine", engine.get()}});
  const std::string report = testing::internal::GetCapturedStderr();
  EXPECT_NE(report.find("internal failure in RustEngine.check(): called `Result::unwrap()`"),
            std::string::npos)
      << report;
}

}  // namespace
}  // namespace vorn::python

// The embedded interpreter is never finalised, so what it holds at exit is no leak.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_options() {
  return "detect_leaks=0";
}

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  Py_InitializeEx(0);
  return RUN_ALL_TESTS();
}
