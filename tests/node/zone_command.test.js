'use strict';
// The zone command, `npx vorn` and `python -m vorn`: the table of cases that the
// Python suite runs too (zone_command_cases.json), on zones made by this host,
// against the Node command and, when Python and the library are there, the
// Python one (its main(), all cases in one process). The Python suite runs it
// on zones made by Python.
const test = require('node:test');
const assert = require('node:assert');
const { execFileSync, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { addonPath, repoRoot } = require('./addon');

const { cases: CASES } = require('./zone_command_cases.json');
const pythonLibrary = path.resolve(process.env.VORN_PYTHON_PATH ||
  path.join(path.dirname(path.dirname(addonPath)), 'python'));
// Runs the cases it reads from stdin through the Python command's main(), in
// one process, and prints what each printed and returned.
const PYTHON_DRIVER = `
import io, json, os, sys
from vorn._zone_command import main
results = []
for case in json.load(sys.stdin):
    os.environ.pop("XDG_RUNTIME_DIR", None)
    os.environ.update(case["env"])
    out, err = io.StringIO(), io.StringIO()
    status = main(case["args"], out=out, err=err)
    results.append({"status": status, "stdout": out.getvalue(), "stderr": err.getvalue()})
json.dump(results, sys.stdout)
`;

const made = [];
test.after(() => { for (const dir of made) fs.rmSync(dir, { recursive: true, force: true }); });
function temporaryDirectory() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vorn-zone-command-'));
  made.push(dir);
  return dir;
}

// bin/vorn.js and js/ laid out as the packed package, the built addon beside them.
const packageDir = temporaryDirectory();
fs.mkdirSync(path.join(packageDir, 'js'));
fs.mkdirSync(path.join(packageDir, 'bin'));
for (const name of fs.readdirSync(path.join(repoRoot, 'js'))) {
  if (name.endsWith('.js')) {
    fs.copyFileSync(path.join(repoRoot, 'js', name), path.join(packageDir, 'js', name));
  }
}
fs.symlinkSync(addonPath, path.join(packageDir, 'js', 'vorn_native.node'));
fs.copyFileSync(path.join(repoRoot, 'bin', 'vorn.js'), path.join(packageDir, 'bin', 'vorn.js'));
const vorn = require(path.join(packageDir, 'js', 'index.js'));
const { main } = require(path.join(packageDir, 'js', 'zone_command.js'));

// The zones and files the cases show, made by this host's engines.
function makeZones(dir) {
  const limit = { capacity: 10, refillRate: 0, zone: 'made', zoneDir: dir };
  const first = vorn.createEngine({ ...limit, zoneSize: 128 * 1024 });
  const otherLimit = vorn.createEngine({ ...limit, capacity: 5 });
  // More clients than the zone holds: every set fills, and each client past that evicts one.
  for (let client = 0; client < 20000; client += 1) {
    first.checkRequest(`10.${client >> 8}.${client & 255}.1`, '/', Date.now());
  }
  otherLimit.checkRequest('10.0.0.1', '/', Date.now());
  vorn.createEngine({ ...limit, zone: 'spare', zoneSize: 1 << 20 })
    .checkRequest('10.0.0.1', '/', Date.now());
  fs.writeFileSync(path.join(dir, 'vorn.bad.zone-v3'), 'junk\n');
  fs.writeFileSync(path.join(dir, 'vorn.old.zone-v2'), '');  // empty: opening it would show
  fs.mkdirSync(path.join(dir, 'vorn.dir.zone-v3'));
  fs.writeFileSync(path.join(dir, 'notes.txt'), '');
}

function filled(value, dir) {
  if (typeof value === 'string') return value.replaceAll('{dir}', dir);
  if (Array.isArray(value)) return value.map((item) => filled(item, dir));
  if (value !== null && typeof value === 'object') {
    return Object.fromEntries(Object.entries(value).map(([key, item]) => [key, filled(item, dir)]));
  }
  return value;
}

function runHere(cases) {
  const saved = process.env.XDG_RUNTIME_DIR;
  try {
    return cases.map(({ args, env }) => {
      delete process.env.XDG_RUNTIME_DIR;
      Object.assign(process.env, env);
      const printed = { stdout: '', stderr: '' };
      const out = { write: (text) => { printed.stdout += text; } };
      const err = { write: (text) => { printed.stderr += text; } };
      return { status: main(args, { out, err }), ...printed };
    });
  } finally {
    delete process.env.XDG_RUNTIME_DIR;
    if (saved !== undefined) process.env.XDG_RUNTIME_DIR = saved;
  }
}

const pythonEnv = { ...process.env, PYTHONPATH: [pythonLibrary, repoRoot].join(path.delimiter) };
const withPython =
  spawnSync('python3', ['-c', 'import vorn_native'], { env: pythonEnv }).status === 0;
function runInPython(cases) {
  return JSON.parse(execFileSync('python3', ['-c', PYTHON_DRIVER],
    { env: pythonEnv, input: JSON.stringify(cases), encoding: 'utf8' }));
}

function checkResults(results, dir) {
  assert.strictEqual(results.length, CASES.length);
  CASES.forEach((row, index) => {
    const result = results[index];
    const label = `case ${index} ${JSON.stringify(row.args)}: ${result.stderr}`;
    assert.strictEqual(result.status, row.status, label);
    const expected = row.json !== undefined
      ? `${JSON.stringify(filled(row.json, dir), null, 2)}\n`
      : filled(row.stdout || [], dir).map((line) => `${line}\n`).join('');
    assert.strictEqual(result.stdout, expected, label);
    if (row.stderr !== undefined) {
      const lines = result.stderr.split('\n').slice(0, -1);
      assert.deepStrictEqual(lines, filled(row.stderr, dir), label);
    } else {  // a usage error says so in one line
      assert.strictEqual(result.stderr.split('\n').length - 1, row.status && 1, label);
    }
  });
}

for (const [label, run] of [['node', runHere], ['python', runInPython]]) {
  const skip = label === 'python' && !withPython && 'no python3 with vorn_native';
  test(`the ${label} command shows a Node zone as zoneStats does`, { skip }, () => {
    const dir = temporaryDirectory();
    makeZones(dir);
    const shown = filled(CASES.find((row) => row.args[0] === 'zone' && row.args[1] === 'made' &&
      row.json !== undefined).json, dir);
    const { sizeBytes, ...stats } = vorn.zoneStats('made', dir);
    const figures = { size_bytes: sizeBytes, ...stats };
    const fields = Object.keys(shown).filter((field) => Object.hasOwn(figures, field));
    assert.strictEqual(fields.length, 10);
    for (const field of fields) assert.strictEqual(shown[field], figures[field], field);
    const cases = CASES.map((row) => ({ args: filled(row.args, dir),
      env: filled(row.env || {}, dir) }));
    checkResults(run(cases), dir);
    // Looking for a zone never makes it.
    assert.strictEqual(fs.existsSync(path.join(dir, 'vorn.missing.zone-v3')), false);
  });
}

test('bin/vorn.js runs the command', () => {
  const dir = temporaryDirectory();
  const bin = path.join(packageDir, 'bin', 'vorn.js');
  const missing = spawnSync(process.execPath, [bin, 'zone', 'none', '--zone-dir', dir],
    { encoding: 'utf8' });
  assert.deepStrictEqual([missing.status, missing.stdout, missing.stderr],
    [1, '', `vorn: no zone 'none' in ${dir}\n`]);
});
