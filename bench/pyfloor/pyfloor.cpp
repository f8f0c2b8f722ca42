// pyfloor: the floor under RustEngine.check, for the Python benchmark. Its
// check(ip, route) crosses into native code the same way (METH_VARARGS |
// METH_KEYWORDS on the limited API), encodes both arguments with
// PyUnicode_AsUTF8String and builds the same nested dict the same way (shared
// words, a new str for the route, new ints), but decides nothing. Benchmark-only: loaded by CPython
// alone, so it references the interpreter's symbols directly.
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

PyMethodDef methods[] = {
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
  return PyModule_Create2(&module, 3);
}
