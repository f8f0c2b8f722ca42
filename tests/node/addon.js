'use strict';
// Locates the built library for the Node suite: VORN_NODE_ADDON, else the
// default build directory of the repository.
const path = require('node:path');

const repoRoot = path.resolve(__dirname, '..', '..');
const addonPath = path.resolve(
  process.env.VORN_NODE_ADDON || path.join(repoRoot, 'build', 'node', 'vorn_native.node'));

function loadAddon() {
  return require(addonPath);
}

// Expects `fn` to throw a plain Error with this code and message.
function throwsCoded(assert, fn, code, message, label = '') {
  assert.throws(fn, (err) => {
    assert.strictEqual(Object.getPrototypeOf(err), Error.prototype, `${label} a plain Error`);
    assert.strictEqual(err.code, code, label);
    assert.strictEqual(err.message, message, label);
    return true;
  });
}

module.exports = { addonPath, loadAddon, repoRoot, throwsCoded };
