// pyfloor: the floor under RustEngine.check, for the Python benchmark. Its
// check(ip, route) is the plain limited-API crossing: METH_VARARGS |
// METH_KEYWORDS, both arguments encoded with PyUnicode_AsUTF8String, and the
// same nested dict built key by key (shared words, a new str for the route, new
// ints), deciding nothing. check_fast below is the same with the shortcuts the
// library takes, and nothing the bare crossing. Benchmark-only: loaded by
// CPython alone, so it references the interpreter's symbols directly.
#define PY_SSIZE_T_CLEAN
#define Py_LIMITED_API 0x03080000
#include <Python.h>

namespace {

struct Keys {
  PyObject* allowed;
  PyObject* would_block;
  PyObject* reason;
  PyObject* decision;
  PyObject* algorithm;
  PyObject* route;
  PyObject* remaining;
  PyObject* latency_ms;
};
Keys keys;

// Fixed values, made once as RustEngine makes its words and algorithm name.
struct Words {
  PyObject* within_limit;
  PyObject* allow;
  PyObject* algorithm;
};
Words words;

// Stores a new reference under `key` and drops it; false on failure.
bool put(PyObject* dict, PyObject* key, PyObject* value) {
  if (value == nullptr) return false;
  const int status = PyDict_SetItem(dict, key, value);
  Py_DECREF(value);
  return status == 0;
}

PyObject* text(const char* data, Py_ssize_t size) {
  return PyUnicode_FromStringAndSize(data, size);
}

PyObject* check(PyObject*, PyObject* args, PyObject*) {
  if (PyTuple_Size(args) != 2) {
    PyErr_SetString(PyExc_TypeError, "check() takes 2 positional arguments");
    return nullptr;
  }
  PyObject* ip = PyUnicode_AsUTF8String(PyTuple_GetItem(args, 0));
  if (ip == nullptr) return nullptr;
  PyObject* route = PyUnicode_AsUTF8String(PyTuple_GetItem(args, 1));
  if (route == nullptr) {
    Py_DECREF(ip);
    return nullptr;
  }
  PyObject* result = PyDict_New();
  PyObject* decision = PyDict_New();
  bool ok = result != nullptr && decision != nullptr;
  ok = ok && PyDict_SetItem(result, keys.allowed, Py_True) == 0;
  ok = ok && PyDict_SetItem(result, keys.would_block, Py_False) == 0;
  ok = ok && PyDict_SetItem(result, keys.reason, words.within_limit) == 0;
  ok = ok && PyDict_SetItem(decision, keys.decision, words.allow) == 0;
  ok = ok && PyDict_SetItem(decision, keys.reason, words.within_limit) == 0;
  ok = ok && PyDict_SetItem(decision, keys.algorithm, words.algorithm) == 0;
  ok = ok && put(decision, keys.route, text(PyBytes_AsString(route), PyBytes_Size(route)));
  ok = ok && put(decision, keys.remaining, PyLong_FromUnsignedLongLong(999999));
  ok = ok && put(decision, keys.latency_ms, PyLong_FromUnsignedLongLong(0));
  ok = ok && PyDict_SetItem(result, keys.decision, decision) == 0;
  Py_DECREF(ip);
  Py_DECREF(route);
  Py_XDECREF(decision);
  if (!ok) {
    Py_XDECREF(result);
    return nullptr;
  }
  return result;
}

// The same floor taking the shortcuts RustEngine.check takes: the vectorcall
// convention (no argument tuple), the text read in place from each str, and
// both dicts copied from templates with only the route and the remaining count
// stored. What check costs beyond this is the decision itself.
extern "C" const char* PyUnicode_AsUTF8AndSize(PyObject* unicode, Py_ssize_t* size);
constexpr int kMethFastcall = 0x0080;
PyObject* result_template;
PyObject* decision_template;

PyObject* check_fast(PyObject*, PyObject* const* args, Py_ssize_t count, PyObject*) {
  if (count != 2) {
    PyErr_SetString(PyExc_TypeError, "check_fast() takes 2 positional arguments");
    return nullptr;
  }
  Py_ssize_t size = 0;
  if (PyUnicode_AsUTF8AndSize(args[0], &size) == nullptr) return nullptr;
  const char* route = PyUnicode_AsUTF8AndSize(args[1], &size);
  if (route == nullptr) return nullptr;
  PyObject* decision = PyDict_Copy(decision_template);
  PyObject* result = PyDict_Copy(result_template);
  bool ok = result != nullptr && decision != nullptr;
  ok = ok && PyDict_SetItem(decision, keys.route, args[1]) == 0;
  ok = ok && put(decision, keys.remaining, PyLong_FromUnsignedLongLong(999999));
  ok = ok && PyDict_SetItem(result, keys.decision, decision) == 0;
  Py_XDECREF(decision);
  if (!ok) {
    Py_XDECREF(result);
    return nullptr;
  }
  return result;
}

// The crossing alone: a vectorcall method of two arguments that reads nothing
// and returns None, the least any native check can cost.
PyObject* nothing(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  Py_INCREF(Py_None);
  return Py_None;
}

PyMethodDef methods[] = {
    {"nothing", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&nothing)),
     kMethFastcall | METH_KEYWORDS, "nothing(ip, route)\n--\n\n"},
    {"check_fast", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&check_fast)),
     kMethFastcall | METH_KEYWORDS, "check_fast(ip, route)\n--\n\n"},
    {"check", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&check)),
     METH_VARARGS | METH_KEYWORDS, "check(ip, route)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "pyfloor", "", 0, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_pyfloor() {
  keys = Keys{PyUnicode_InternFromString("allowed"),   PyUnicode_InternFromString("would_block"),
              PyUnicode_InternFromString("reason"),    PyUnicode_InternFromString("decision"),
              PyUnicode_InternFromString("algorithm"), PyUnicode_InternFromString("route"),
              PyUnicode_InternFromString("remaining"), PyUnicode_InternFromString("latency_ms")};
  words = Words{PyUnicode_InternFromString("within_limit"), PyUnicode_InternFromString("allow"),
                PyUnicode_FromString("token_bucket")};
  result_template = PyDict_New();
  decision_template = PyDict_New();
  PyDict_SetItem(decision_template, keys.decision, words.allow);
  PyDict_SetItem(decision_template, keys.reason, words.within_limit);
  PyDict_SetItem(decision_template, keys.algorithm, words.algorithm);
  PyDict_SetItem(decision_template, keys.route, Py_None);
  PyDict_SetItem(decision_template, keys.remaining, Py_None);
  PyObject* zero = PyLong_FromLong(0);
  PyDict_SetItem(decision_template, keys.latency_ms, zero);
  Py_DECREF(zero);
  PyDict_SetItem(result_template, keys.allowed, Py_True);
  PyDict_SetItem(result_template, keys.would_block, Py_False);
  PyDict_SetItem(result_template, keys.reason, words.within_limit);
  PyDict_SetItem(result_template, keys.decision, Py_None);
  return PyModule_Create2(&module, 3);
}
