#include "engine_sync.h"

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "call_boundary.h"
#include "engine_object.h"
#include "sync/sync_store.h"

// Interpreter symbols only this file uses, weak as python_api.h declares the others.
#pragma weak PyBytes_AsStringAndSize
#pragma weak PyFloat_FromDouble
#pragma weak PyLong_AsLongLong
#pragma weak PyLong_AsUnsignedLongLong
#pragma weak PyLong_FromLong
#pragma weak PyLong_FromUnsignedLongLong
#pragma weak PyObject_IsTrue
#pragma weak PyObject_SetAttrString
#pragma weak PySequence_Fast
#pragma weak PySequence_GetItem
#pragma weak PySequence_Size
#pragma weak PyTuple_New
#pragma weak PyTuple_SetItem
#pragma weak PyType_IsSubtype
#pragma weak PyUnicode_AsUTF8String
#pragma weak PyDict_DelItemString
#pragma weak PyDict_GetItemString
#pragma weak PyList_New
#pragma weak PyList_Append

namespace vorn::python {
namespace {

constexpr const char* kNotSyncEngine = "the instance is not a SyncEngine";
constexpr const char* kBadAnswer = "a sync answer must be the script's text (bytes or str)";
constexpr const char* kBadOvershoot = "max_overshoot must be a number from 0 to 1";
constexpr const char* kBadInterval = "sync_ms must be a whole number of ms >= 1";

PyObject* sync_engine_class = nullptr;

const SyncStore& store_of(PyObject* self) {
  if (sync_engine_class == nullptr ||
      !PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(sync_engine_class))) {
    throw PyError::with_message(PyExc_TypeError, kNotSyncEngine);
  }
  const SyncStore* store = engine_of(self).sync_store();
  if (store == nullptr) throw PyError::with_message(PyExc_TypeError, kNotSyncEngine);
  return *store;
}

// Takes keyword `name` out of `kwargs` (a dict of the caller's own), or null.
PyRef take_keyword(PyObject* kwargs, const char* name) {
  if (kwargs == nullptr) return PyRef();
  PyObject* value = PyDict_GetItemString(kwargs, name);  // borrowed
  if (value == nullptr) return PyRef();
  PyRef held = PyRef::borrow(value);
  if (PyDict_DelItemString(kwargs, name) != 0) throw PyError::fetch();
  return held;
}

SyncSettings settings_from(PyObject* overshoot, PyObject* interval) {
  SyncSettings settings;
  if (overshoot != nullptr) {
    const double value = PyFloat_AsDouble(overshoot);
    if (value == -1.0 && PyErr_Occurred() != nullptr) throw PyError::fetch();
    if (!(value >= 0.0 && value <= 1.0)) {
      throw PyError::with_message(PyExc_ValueError, kBadOvershoot);
    }
    settings.max_overshoot = value;
  }
  if (interval != nullptr) {
    const long long value = PyLong_AsLongLong(interval);
    if (value == -1 && PyErr_Occurred() != nullptr) throw PyError::fetch();
    if (value < 1) throw PyError::with_message(PyExc_ValueError, kBadInterval);
    settings.interval_ms = static_cast<uint64_t>(value);
  }
  return settings;
}

// A text keyword (None when absent) as UTF-8.
std::optional<std::string> text_keyword(PyObject* value, const char* name) {
  if (value == nullptr || value == Py_None) return std::nullopt;
  if (!PyUnicode_Check(value)) {
    throw PyError::with_message(PyExc_TypeError, std::string(name) + " must be a str or None");
  }
  PyRef bytes = PyRef::steal(PyUnicode_AsUTF8String(value));
  if (!bytes) throw PyError::fetch();
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) throw PyError::fetch();
  return std::string(data, static_cast<size_t>(size));
}

PyRef new_sync_engine(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  PyRef own = PyRef::steal(kwargs == nullptr ? PyDict_New() : PyDict_Copy(kwargs));
  if (!own) throw PyError::fetch();
  const PyRef overshoot = take_keyword(own.get(), "max_overshoot");
  const PyRef interval = take_keyword(own.get(), "sync_ms");
  const PyRef zone = take_keyword(own.get(), "zone");
  const PyRef zone_dir = take_keyword(own.get(), "zone_dir");
  const PyRef zone_scope = take_keyword(own.get(), "zone_scope");
  const PyRef zone_size = take_keyword(own.get(), "zone_size");
  SyncSettings settings = settings_from(overshoot.get(), interval.get());
  if (std::optional<std::string> name = text_keyword(zone.get(), "zone")) {
    settings.zone = ZonePlacement{std::move(*name), std::nullopt,
                                  text_keyword(zone_dir.get(), "zone_dir"), FailurePolicy::Local};
    settings.zone_scope = text_keyword(zone_scope.get(), "zone_scope").value_or("");
    if (zone_size.get() != nullptr && zone_size.get() != Py_None) {
      const unsigned long long bytes = PyLong_AsUnsignedLongLong(zone_size.get());
      if (PyErr_Occurred() != nullptr) throw PyError::fetch();
      settings.zone->size_bytes = bytes;
    }
  }
  return new_synced_engine_object(subtype, args, own.get(), std::move(settings), Clock::system());
}

PyRef owned_or_fail(PyObject* object) {
  if (object == nullptr) throw PyError::fetch();
  return PyRef::steal(object);
}

PyRef report_tuple(const SyncReport& report) {
  PyRef tuple = owned_or_fail(PyTuple_New(6));
  PyObject* items[] = {
      new_text(report.key).release(),        PyFloat_FromDouble(report.extra),
      PyFloat_FromDouble(report.unused),     PyFloat_FromDouble(report.want),
      PyLong_FromLong(report.reset ? 1 : 0), PyLong_FromUnsignedLongLong(report.lease_time_ms),
  };
  for (Py_ssize_t i = 0; i < 6; ++i) {
    if (items[i] == nullptr) {
      for (PyObject* item : items) Py_XDECREF(item);
      throw PyError::fetch();
    }
  }
  for (Py_ssize_t i = 0; i < 6; ++i) PyTuple_SetItem(tuple.get(), i, items[i]);  // steals
  return tuple;
}

PyRef sync_reports(PyObject* self, PyObject* closing) {
  const SyncStore& store = store_of(self);
  const int flag = PyObject_IsTrue(closing);
  if (flag < 0) throw PyError::fetch();
  const std::vector<SyncReport> reports = store.reports(flag == 1);
  PyRef list = owned_or_fail(PyList_New(0));
  for (const SyncReport& report : reports) {
    PyRef tuple = report_tuple(report);
    if (PyList_Append(list.get(), tuple.get()) != 0) throw PyError::fetch();
  }
  return list;
}

// "<lease> <s1> <t1> ..." as numbers.
SyncAnswer parse_answer(PyObject* item) {
  PyRef bytes;
  if (PyBytes_Check(item)) {
    bytes = PyRef::borrow(item);
  } else if (PyUnicode_Check(item)) {
    bytes = owned_or_fail(PyUnicode_AsUTF8String(item));
  } else {
    throw PyError::with_message(PyExc_TypeError, kBadAnswer);
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) throw PyError::fetch();
  const std::string text(data, static_cast<size_t>(size));  // strtod needs the final zero
  std::vector<double> numbers;
  const char* at = text.c_str();
  while (true) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(at, &end);
    if (end == at) break;
    numbers.push_back(value);
    at = end;
  }
  if (numbers.empty()) throw PyError::with_message(PyExc_ValueError, kBadAnswer);
  SyncAnswer answer;
  answer.lease = numbers.front();
  answer.states.assign(numbers.begin() + 1, numbers.end());
  return answer;
}

PyRef sync_apply(PyObject* self, PyObject* const* args, Py_ssize_t count) {
  const SyncStore& store = store_of(self);
  if (count != 3) {
    throw PyError::with_message(PyExc_TypeError,
                                "_sync_apply() takes now_ms, instances and answers");
  }
  const unsigned long long now = PyLong_AsUnsignedLongLong(args[0]);
  if (PyErr_Occurred() != nullptr) throw PyError::fetch();
  const unsigned long long instances = PyLong_AsUnsignedLongLong(args[1]);
  if (PyErr_Occurred() != nullptr) throw PyError::fetch();
  PyRef items = owned_or_fail(PySequence_Fast(args[2], "answers must be a sequence"));
  const Py_ssize_t size = PySequence_Size(items.get());
  std::vector<SyncAnswer> answers;
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyRef item = owned_or_fail(PySequence_GetItem(items.get(), i));
    answers.push_back(parse_answer(item.get()));
  }
  try {
    store.apply(now, instances, answers);
  } catch (const std::invalid_argument& error) {
    throw PyError::with_message(PyExc_ValueError, error.what());
  }
  return PyRef::borrow(Py_None);
}

PyObject* reports_entry(PyObject* self, PyObject* closing) {
  return guard_entry("SyncEngine._sync_reports()", [&] { return sync_reports(self, closing); });
}

PyObject* apply_entry(PyObject* self, PyObject* const* args, Py_ssize_t count) {
  return guard_entry("SyncEngine._sync_apply()", [&] { return sync_apply(self, args, count); });
}

PyObject* failed_entry(PyObject* self, PyObject*) {
  return guard_entry("SyncEngine._sync_failed()", [&] {
    store_of(self).failed();
    return PyRef::borrow(Py_None);
  });
}

PyObject* turn_entry(PyObject* self, PyObject*) {
  return guard_entry("SyncEngine._sync_turn()", [&] {
    return PyRef::borrow(store_of(self).sync_turn() ? Py_True : Py_False);
  });
}

PyObject* forked_entry(PyObject* self, PyObject*) {
  return guard_entry("SyncEngine._sync_forked()", [&] {
    store_of(self).forked();
    return PyRef::borrow(Py_None);
  });
}

PyObject* degraded_entry(PyObject* self, void*) {
  return guard_entry("SyncEngine.degraded",
                     [&] { return PyRef::borrow(store_of(self).degraded() ? Py_True : Py_False); });
}

PyObject* new_entry(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return guard_entry("SyncEngine.__new__()",
                     [&] { return new_sync_engine(subtype, args, kwargs); });
}

template <typename Function>
void* as_slot(Function* function) {
  return reinterpret_cast<void*>(function);
}

// The vectorcall convention for methods (see engine_object.cpp).
constexpr int kMethFastcall = 0x0080;

// Static: interpreters before 3.11 keep pointing at the tables.
const PyMethodDef kMethods[] = {
    {"_sync_reports", &reports_entry, METH_O,
     "_sync_reports($self, closing)\n--\n\nTakes the reports of the next sync."},
    {"_sync_apply", reinterpret_cast<PyCFunction>(as_slot(&apply_entry)), kMethFastcall,
     "_sync_apply($self, now_ms, instances, answers)\n--\n\nHands in the script's answers."},
    {"_sync_failed", &failed_entry, METH_NOARGS,
     "_sync_failed($self)\n--\n\nThe sync of the last reports failed."},
    {"_sync_turn", &turn_entry, METH_NOARGS,
     "_sync_turn($self)\n--\n\nWhether this process syncs now (asked before each sync)."},
    {"_sync_forked", &forked_entry, METH_NOARGS,
     "_sync_forked($self)\n--\n\nIn a forked child: forgets the parent's keys."},
};
const PyGetSetDef kProperties[] = {
    {"degraded", &degraded_entry, nullptr, "Whether the last sync failed.", nullptr},
};
constexpr const char* kDoc =
    "SyncEngine(algorithm, mode, rates, api_key=None, debug=None, "
    "backend_url='http://localhost:4000', *, max_overshoot=0.02, sync_ms=100, zone=None, "
    "zone_dir=None, zone_scope=None, zone_size=None)\n--\n\n"
    "An engine of `rates` whose keys a host thread syncs with Redis; with `zone`, one table "
    "of keys for the machine's processes of the same limit and `zone_scope`, synced by one.";

}  // namespace

void add_sync_names(PyObject* module) {
  if (sync_engine_class == nullptr) {
    sync_engine_class = create_sync_engine_type(kMethods, kProperties, &new_entry, kDoc);
  }
  if (PyObject_SetAttrString(module, "SyncEngine", sync_engine_class) != 0) throw PyError::fetch();
}

}  // namespace vorn::python
