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

// The README's JavaScript samples, checked as JavaScript (checkJs) under --strict.
test('the README\'s samples type-check under --strict', (t) => {
  const fs = require('node:fs');
  const os = require('node:os');
  const readme = fs.readFileSync(path.join(repoRoot, 'README.md'), 'utf8');
  const samples = [...readme.matchAll(/```js\n([\s\S]*?)```/g)].map((found) => found[1]);
  assert.ok(samples.length >= 3);
  const directory = fs.mkdtempSync(path.join(os.tmpdir(), 'vorn-readme-'));
  t.after(() => fs.rmSync(directory, { recursive: true, force: true }));
  const files = samples.map((sample, at) => {
    fs.writeFileSync(path.join(directory, `sample${at}.js`), sample);
    return `sample${at}.js`;
  });
  fs.symlinkSync(path.join(repoRoot, 'node_modules'), path.join(directory, 'node_modules'));
  fs.writeFileSync(path.join(directory, 'tsconfig.json'), JSON.stringify({
    compilerOptions: {
      strict: true, noEmit: true, allowJs: true, checkJs: true, target: 'es2022',
      module: 'nodenext', moduleResolution: 'nodenext', types: ['node'],
      paths: { vorn: [path.join(repoRoot, 'js', 'index.d.ts')],
        'vorn/fastify': [path.join(repoRoot, 'fastify.d.ts')] },
    },
    files,
  }));
  const tsc = path.join(repoRoot, 'node_modules', 'typescript', 'bin', 'tsc');
  const run = spawnSync(process.execPath, [tsc, '-p', directory], { encoding: 'utf8' });
  assert.strictEqual(run.status, 0, `${run.stdout}${run.stderr}`);
});
