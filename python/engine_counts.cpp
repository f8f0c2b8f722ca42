#include "engine_counts.h"

#include <optional>
#include <string>
#include <utility>

#include "call_boundary.h"
#include "core/count_registry.h"
#include "core/engine.h"
#include "engine_object.h"
#include "gil_release.h"
#include "zone/zone_meters.h"
#include "zone_functions.h"

namespace vorn::python {
namespace {

InternedName key_allowed("allowed");
InternedName key_refused("refused");
InternedName key_shadow_refused("shadow_refused");
InternedName key_disabled("disabled");
InternedName key_fallback("fallback");

constexpr CallSignature<2> kZoneCountsSignature{
    .class_name = nullptr,
    .function_name = "zone_counts",
    .parameter_names = {"name", "zone_dir"},
    .positional_only_count = 0,
    .required_count = 1,
};

PyRef zone_counts(PyObject* args, PyObject* kwargs) {
  const BoundArguments<2> slots = bind_arguments(kZoneCountsSignature, args, kwargs);
  const OwnedText name = convert_argument("name", slots[0], extract_text);
  const std::optional<std::string> directory =
      convert_argument("zone_dir", slots[1], extract_zone_dir);
  PyRef result = new_dict();
  for (const zone::NamedCounts& each : zone::zone_meters(name.view(), directory)) {
    // A name is a peer's bytes: undecodable ones are replaced, never trusted.
    PyRef key = PyRef::steal(PyUnicode_DecodeUTF8(
        each.name.data(), static_cast<Py_ssize_t>(each.name.size()), "replace"));
    if (!key) throw PyError::fetch();
    set_item(result.get(), key.get(), counts_dict(each.counts).get());
  }
  return result;
}

PyObject* zone_counts_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard_entry("zone_counts()", [&] { return zone_counts(args, kwargs); });
}

PyRef optional_text(const std::optional<std::string>& text) {
  if (!text) return PyRef::borrow(Py_None);
  PyRef decoded = PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(
      text->data(), static_cast<Py_ssize_t>(text->size())));
  if (!decoded) throw PyError::fetch();
  return decoded;
}

// [(name, zone, zone_dir, counts, degraded)] of every engine this process has made.
PyRef process_counts() {
  PyRef result = PyRef::steal(PyList_New(0));
  if (!result) throw PyError::fetch();
  for (const ProcessCounts& each : CountRegistry::process().read()) {
    PyRef name = PyRef::steal(PyUnicode_DecodeUTF8(
        each.name.data(), static_cast<Py_ssize_t>(each.name.size()), "replace"));
    if (!name) throw PyError::fetch();
    PyRef zone = optional_text(each.store.zone);
    PyRef directory = optional_text(each.store.zone_dir);
    PyRef counts = counts_dict(each.counts);
    PyRef row = PyRef::steal(PyTuple_Pack(5, name.get(), zone.get(), directory.get(), counts.get(),
                                          each.degraded ? Py_True : Py_False));
    if (!row || PyList_Append(result.get(), row.get()) != 0) throw PyError::fetch();
  }
  return result;
}

PyObject* process_counts_entry(PyObject*, PyObject*) {
  return guard_entry("process_counts()", [&] { return process_counts(); });
}

PyMethodDef process_counts_definition = {
    "process_counts",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(&process_counts_entry)), METH_NOARGS,
    "process_counts()\n--\n\nThe checks of every engine this process has made, gone ones "
    "included, summed by name and store: a list of (name, zone, zone_dir, counts, degraded), "
    "zone None for engines in process, degraded True while one of them is."};

PyMethodDef zone_counts_definition = {
    "zone_counts", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(&zone_counts_entry)),
    METH_VARARGS | METH_KEYWORDS,
    "zone_counts(name, zone_dir=None)\n--\n\nThe checks of every engine on the zone, by the "
    "name each was given (name_counts; 'default' otherwise): {name: {allowed, refused, "
    "shadow_refused, disabled, fallback}}. Disabled engines consult no zone and are not in it."};

}  // namespace

const char* const kStatsDoc =
    "stats($self)\n--\n\nThis engine's checks since it was made, by outcome: allowed, refused, "
    "shadow_refused (shadow mode: would have been refused), disabled (let through unconsulted) "
    "and fallback (of those, the ones its failure policy answered, its store unusable).";
const char* const kNameCountsDoc =
    "name_counts($self, name)\n--\n\nThe name (1 to 48 UTF-8 bytes) this engine's counts go "
    "under on its zone, where zone_counts() tells every process's; 'default' until given. "
    "No effect on an in-process engine, whose counts are its own.";

PyRef counts_dict(const CheckCounts& counts) {
  PyRef result = new_dict();
  const std::pair<InternedName*, CheckOutcomeKind> fields[] = {
      {&key_allowed, CheckOutcomeKind::Allowed},
      {&key_refused, CheckOutcomeKind::Refused},
      {&key_shadow_refused, CheckOutcomeKind::ShadowRefused},
      {&key_disabled, CheckOutcomeKind::Disabled},
      {&key_fallback, CheckOutcomeKind::ByPolicy},
  };
  for (const auto& [key, kind] : fields) {
    set_item(result.get(), key->get(), new_optional_u64(counts[kind]).get());
  }
  return result;
}

PyObject* engine_stats_entry(PyObject* self, PyObject*) {
  return guard_entry("engine.stats()", [&] { return counts_dict(engine_of(self).check_counts()); });
}

PyObject* engine_name_counts_entry(PyObject* self, PyObject* name) {
  return guard_entry("engine.name_counts()", [&] {
    const OwnedText text = convert_argument("name", name, extract_text);
    if (!zone::valid_meter_name(text.view())) {
      throw PyError::with_message(PyExc_ValueError,
                                  "name must be 1 to 48 UTF-8 bytes, not " +
                                      std::to_string(text.view().size()));
    }
    {
      ReleaseGilWhileWaiting release;
      const ScopedWaitHook installed(&release);
      engine_of(self).name_meter(text.view());
    }
    return PyRef::borrow(Py_None);
  });
}

void add_count_names(PyObject* module) {
  for (PyMethodDef* definition : {&zone_counts_definition, &process_counts_definition}) {
    PyRef function = PyRef::steal(PyCFunction_NewEx(definition, nullptr, nullptr));
    if (!function) throw PyError::fetch();
    PyRef key = new_text(definition->ml_name);
    if (PyObject_SetAttr(module, key.get(), function.get()) != 0) throw PyError::fetch();
  }
}

}  // namespace vorn::python
