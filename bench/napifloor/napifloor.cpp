// The floor for the Node benchmark: a Node-API method that reads the same three
// arguments as checkRequest (two texts and a number) and returns undefined, so
// the benchmark can show what the call itself costs; a method that builds a
// result object property by property, for comparison. Also wraps objects the way
// any other addon would, for the suite's receiver checks. Errors are ignored:
// this is a measuring stick, not a product.
#define NAPI_VERSION 8
#include <node_api.h>

#include <array>

namespace {

napi_value floor_call(napi_env env, napi_callback_info info) {
  size_t argc = 3;
  std::array<napi_value, 3> args{};
  napi_value self = nullptr;
  napi_get_cb_info(env, info, &argc, args.data(), &self, nullptr);
  std::array<char, 256> ip{};
  std::array<char, 256> route{};
  size_t length = 0;
  double start = 0;
  napi_get_value_string_utf8(env, args[0], ip.data(), ip.size(), &length);
  napi_get_value_string_utf8(env, args[1], route.data(), route.size(), &length);
  napi_get_value_double(env, args[2], &start);
  return nullptr;
}

// The crossing alone: a Node-API method that reads no argument and returns
// undefined, the least any native check can cost.
napi_value nothing(napi_env, napi_callback_info) { return nullptr; }

// Builds a result-shaped object the plain Node-API way: a fresh object and five
// napi_set_named_property calls, for comparison with checkRequest's result.
napi_value set_five(napi_env env, napi_callback_info) {
  napi_value object = nullptr;
  napi_create_object(env, &object);
  napi_value value = nullptr;
  napi_get_boolean(env, true, &value);
  napi_set_named_property(env, object, "allowed", value);
  napi_get_boolean(env, false, &value);
  napi_set_named_property(env, object, "wouldBlock", value);
  napi_create_string_utf8(env, "within_limit", NAPI_AUTO_LENGTH, &value);
  napi_set_named_property(env, object, "reason", value);
  napi_create_string_utf8(env, "token_bucket", NAPI_AUTO_LENGTH, &value);
  napi_set_named_property(env, object, "algorithm", value);
  napi_create_string_utf8(env, "99 tokens remaining", NAPI_AUTO_LENGTH, &value);
  napi_set_named_property(env, object, "debugInfo", value);
  return object;
}

// The floor the issue names: reads the three arguments as floor_call does and
// returns a five-property result built the plain Node-API way.
napi_value floor_object(napi_env env, napi_callback_info info) {
  floor_call(env, info);
  return set_five(env, info);
}

// Attaches a native pointer to the argument with napi_wrap and returns it.
napi_value wrap_foreign(napi_env env, napi_callback_info info) {
  static int payload = 0;
  size_t argc = 1;
  napi_value object = nullptr;
  napi_get_cb_info(env, info, &argc, &object, nullptr, nullptr);
  napi_wrap(env, object, &payload, nullptr, nullptr, nullptr);
  return object;
}

}  // namespace

NAPI_MODULE_INIT() {
  const std::array<napi_property_descriptor, 5> methods = {{
      {"nothing", nullptr, nothing, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"floorObject", nullptr, floor_object, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"floor", nullptr, floor_call, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"setFive", nullptr, set_five, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"wrapForeign", nullptr, wrap_foreign, nullptr, nullptr, nullptr, napi_default, nullptr},
  }};
  napi_define_properties(env, exports, methods.size(), methods.data());
  return exports;
}
