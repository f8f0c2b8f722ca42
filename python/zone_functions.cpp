#include "zone_functions.h"

#include <optional>
#include <string>
#include <utility>

#include "call_boundary.h"
#include "engine_object.h"
#include "zone/zone_mapping.h"

namespace vorn::python {
namespace {

constexpr CallSignature<2> kRemoveZoneSignature{
    .class_name = nullptr,
    .function_name = "remove_zone",
    .parameter_names = {"name", "zone_dir"},
    .positional_only_count = 0,
    .required_count = 1,
};

constexpr CallSignature<2> kZoneStatsSignature{
    .class_name = nullptr,
    .function_name = "zone_stats",
    .parameter_names = {"name", "zone_dir"},
    .positional_only_count = 0,
    .required_count = 1,
};

InternedName key_keys("keys");
InternedName key_capacity("capacity");
InternedName key_evictions("evictions");
InternedName key_reclaimed("reclaimed");
InternedName key_recoveries("recoveries");
InternedName key_repairs("repairs");
InternedName key_replacements("replacements");
InternedName key_size_bytes("size_bytes");
InternedName key_configs("configs");
InternedName key_path("path");

// The zone's name and the directory it lives in (None: the default place).
struct ZoneAddress {
  OwnedText name;
  std::optional<std::string> directory;
};

ZoneAddress zone_address(const BoundArguments<2>& slots) {
  OwnedText name = convert_argument("name", slots[0], extract_text);
  return {std::move(name), convert_argument("zone_dir", slots[1], extract_zone_dir)};
}

PyRef remove_zone(PyObject* args, PyObject* kwargs) {
  const ZoneAddress zone = zone_address(bind_arguments(kRemoveZoneSignature, args, kwargs));
  const bool removed = zone::remove_zone(zone.name.view(), zone.directory);
  return PyRef::borrow(removed ? Py_True : Py_False);
}

PyRef zone_stats(PyObject* args, PyObject* kwargs) {
  const ZoneAddress zone = zone_address(bind_arguments(kZoneStatsSignature, args, kwargs));
  return zone_stats_dict(zone::zone_stats(zone.name.view(), zone.directory));
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
     "remove_zone(name, zone_dir=None)\n--\n\nRemoves the zone's name; True when it existed. "
     "Processes that have it mapped keep working on their mapping."},
    {"zone_stats", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(&zone_stats_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "zone_stats(name, zone_dir=None)\n--\n\nThe zone's counters: keys, capacity, evictions, "
     "reclaimed, recoveries, repairs, replacements, size_bytes, configs, and its path."},
};

void set_attribute(PyObject* module, const char* name, PyObject* value) {
  PyRef key = new_text(name);
  if (PyObject_SetAttr(module, key.get(), value) != 0) throw PyError::fetch();
}

}  // namespace

std::optional<std::string> extract_zone_dir(PyObject* object) {
  if (object == nullptr || object == Py_None) return std::nullopt;
  if ((PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_UNICODE_SUBCLASS) == 0) {
    extract_text(object);  // throws the conversion's TypeError
    throw InternalFailure("a value that is not a str converted to text");
  }
  PyRef bytes = PyRef::steal(PyUnicode_EncodeFSDefault(object));
  if (!bytes) throw PyError::fetch();
  return OwnedText(std::move(bytes)).str();
}

PyRef zone_stats_dict(const zone::ZoneStats& stats) {
  PyRef result = new_dict();
  const std::pair<InternedName*, uint64_t> fields[] = {
      {&key_keys, stats.keys},
      {&key_capacity, stats.capacity},
      {&key_evictions, stats.evictions},
      {&key_reclaimed, stats.reclaimed},
      {&key_recoveries, stats.recoveries},
      {&key_repairs, stats.repairs},
      {&key_replacements, stats.replacements},
      {&key_size_bytes, stats.size_bytes},
      {&key_configs, stats.configs},
  };
  for (const auto& [key, value] : fields) {
    set_item(result.get(), key->get(), new_optional_u64(value).get());
  }
  // A path is bytes to the system, not necessarily UTF-8: decoded as os.fsdecode does.
  PyRef path = PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(
      stats.path.data(), static_cast<Py_ssize_t>(stats.path.size())));
  if (!path) throw PyError::fetch();
  set_item(result.get(), key_path.get(), path.get());
  return result;
}

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
