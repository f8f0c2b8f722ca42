'use strict';
// Takes `name value` out of a benchmark's command line `argv` (changing it), so
// that what remains are the positional arguments; `fallback` when it is absent.
function takeOption(argv, name, fallback) {
  const at = argv.indexOf(name);
  if (at < 0) return fallback;
  const [, value] = argv.splice(at, 2);
  return value;
}

module.exports = { takeOption };
