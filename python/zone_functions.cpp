#include "zone_functions.h"

#include "call_boundary.h"
#include "engine_object.h"
#include "zone/zone_mapping.h"

namespace vorn::python {
namespace {

constexpr CallSignature<1> kRemoveZoneSignature{
    .class_name = nullptr,
    .function_name = "remove_zone",
    .parameter_names = {"name"},
    .positional_only_count = 0,
    .required_count = 1,
};

constexpr CallSignature<1> kZoneStatsSignature{
    .class_name = nullptr,
    .function_name = "zone_stats",
    .parameter_names = {"name"},
    .positional_only_count = 0,
    .required_count = 1,
};

InternedName key_keys("keys");
InternedName key_capacity("capacity");
InternedName key_evictions("evictions");
InternedName key_reclaimed("reclaimed");
InternedName key_recoveries("recoveries");
InternedName key_size_bytes("size_bytes");
InternedName key_configs("configs");

PyRef remove_zone(PyObject* args, PyObject* kwargs) {
  const BoundArguments<1> slots = bind_arguments(kRemoveZoneSignature, args, kwargs);
  const OwnedText name = convert_argument("name", slots[0], extract_text);
  const bool removed = zone::remove_zone(name.view());
  return PyRef::borrow(removed ? Py_True : Py_False);
}

PyRef zone_stats(PyObject* args, PyObject* kwargs) {
  const BoundArguments<1> slots = bind_arguments(kZoneStatsSignature, args, kwargs);
  const OwnedText name = convert_argument("name", slots[0], extract_text);
  const zone::ZoneStats stats = zone::zone_stats(name.view());
  PyRef result = new_dict();
  const std::pair<InternedName*, uint64_t> fields[] = {
      {&key_keys, stats.keys},
      {&key_capacity, stats.capacity},
      {&key_evictions, stats.evictions},
      {&key_reclaimed, stats.reclaimed},
      {&key_recoveries, stats.recoveries},
      {&key_size_bytes, stats.size_bytes},
      {&key_configs, stats.configs},
  };
  for (const auto& [key, value] : fields) {
    set_item(result.get(), key->get(), new_optional_u64(value).get());
  }
  return result;
}

PyObject* remove_zone_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard_entry("remove_zone()", [&] { return remove_zone(args, kwargs); });
}

PyObject* zone_stats_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard_entry("zone_stats()", [&] { return zone_stats(args, kwargs); });
}

// Static: interpreters keep pointing at the definitions.
PyMethodDef function_definitions[] = {
    {"remove_zone", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(&remove_zone_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "remove_zone(name)\n--\n\nRemoves the zone's name; True when it existed. Processes that "
     "have it mapped keep working on their mapping."},
    {"zone_stats", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(&zone_stats_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "zone_stats(name)\n--\n\nThe zone's counters: keys, capacity, evictions, reclaimed, "
     "recoveries, size_bytes, configs."},
};

void set_attribute(PyObject* module, const char* name, PyObject* value) {
  PyRef key = new_text(name);
  if (PyObject_SetAttr(module, key.get(), value) != 0) throw PyError::fetch();
}

}  // namespace

void add_zone_names(PyObject* module) {
  set_attribute(module, "ZoneEngine", zone_engine_type());
  set_attribute(module, "ZoneError", zone_error_type());
  for (PyMethodDef& definition : function_definitions) {
    PyRef function = PyRef::steal(PyCFunction_NewEx(&definition, nullptr, nullptr));
    if (!function) throw PyError::fetch();
    set_attribute(module, definition.ml_name, function.get());
  }
}

}  // namespace vorn::python
