'use strict';
// The TypeScript quick starts (tests/types: Express, Fastify, node:http) compile
// under tsc --strict against the package's own declarations.
const test = require('node:test');
const assert = require('node:assert');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { repoRoot } = require('./addon');

test('the TypeScript samples compile under --strict', () => {
  const tsc = path.join(repoRoot, 'node_modules', 'typescript', 'bin', 'tsc');
  const run = spawnSync(process.execPath, [tsc, '-p', path.join(repoRoot, 'tests', 'types')],
    { encoding: 'utf8' });
  assert.strictEqual(run.status, 0, `${run.stdout}${run.stderr}`);
});
