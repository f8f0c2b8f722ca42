'use strict';
// The package as the framework tests load it: js/ and the root fastify.js
// copied beside the addon under test (VORN_NODE_ADDON), as zone_package.test.js
// does, so the sanitizer runs check the build they mean. The copy stays until
// the process exits: the route limits load index.js when first used.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { addonPath, repoRoot } = require('./addon');

const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vorn-frameworks-'));
process.on('exit', () => fs.rmSync(dir, { recursive: true, force: true }));
fs.mkdirSync(path.join(dir, 'js'));
for (const name of fs.readdirSync(path.join(repoRoot, 'js'))) {
  if (name.endsWith('.js')) fs.copyFileSync(path.join(repoRoot, 'js', name), path.join(dir, 'js', name));
}
fs.copyFileSync(path.join(repoRoot, 'fastify.js'), path.join(dir, 'fastify.js'));
fs.symlinkSync(addonPath, path.join(dir, 'js', 'vorn_native.node'));

module.exports = { vorn: require(path.join(dir, 'js', 'index.js')), vornFastify: require(path.join(dir, 'fastify.js')) };
