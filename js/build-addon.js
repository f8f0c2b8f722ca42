'use strict';
// npm pack's prepack step: builds the library with CMake and puts the addon
// next to index.js, so the tarball carries it. postpack removes that copy
// again, so a checkout never loads a stale one. Build directory: VORN_BUILD_DIR,
// default "build".
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const root = path.resolve(__dirname, '..');
const packed = path.join(__dirname, 'vorn_native.node');

function run(args) {
  const done = spawnSync('cmake', args, { cwd: root, stdio: ['ignore', 2, 2] });
  if (done.error) throw new Error(`cannot run cmake: ${done.error.message}`);
  if (done.status !== 0) throw new Error(`cmake ${args.join(' ')} failed`);
}

if (process.argv[2] === 'clean') {
  fs.rmSync(packed, { force: true });
} else {
  const buildDir = path.resolve(root, process.env.VORN_BUILD_DIR || 'build');
  const jobs = String(Math.max(1, Math.min(os.availableParallelism?.() ?? os.cpus().length, 8)));
  // An existing build directory keeps its own configuration (its tests, its build type).
  if (!fs.existsSync(path.join(buildDir, 'CMakeCache.txt'))) run(['-S', root, '-B', buildDir]);
  run(['--build', buildDir, '--target', 'vorn_native', '-j', jobs]);
  fs.copyFileSync(path.join(buildDir, 'node', 'vorn_native.node'), packed);
}
