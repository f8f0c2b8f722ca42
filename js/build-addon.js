'use strict';
// npm pack's prepack step: puts the addon the tarball carries under
// prebuilds/<platform>-<arch>/, where js/index.js looks first. postpack removes
// prebuilds/ again, so a checkout never loads a stale copy.
//
// By default it builds this machine's addon with CMake (build directory
// VORN_BUILD_DIR, default "build"; a new one is a Release build without the
// tests, so a fresh clone needs neither GoogleTest nor Google Benchmark) and
// packs a stripped copy. With VORN_PREBUILDS=ready, scripts/dist.sh has put
// the addons of every platform in place already, and they are only checked.
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const root = path.resolve(__dirname, '..');
const prebuilds = path.join(root, 'prebuilds');
const PACKED_PLATFORMS = ['linux-x64', 'linux-arm64'];

function run(command, args) {
  const done = spawnSync(command, args, { cwd: root, stdio: ['ignore', 2, 2] });
  if (done.error) throw new Error(`cannot run ${command}: ${done.error.message}`);
  if (done.status !== 0) throw new Error(`${command} ${args.join(' ')} failed`);
}

function buildHostAddon() {
  const buildDir = path.resolve(root, process.env.VORN_BUILD_DIR || 'build');
  const jobs = String(Math.max(1, Math.min(os.availableParallelism?.() ?? os.cpus().length, 8)));
  // An existing build directory keeps its own configuration (its tests, its build type).
  if (!fs.existsSync(path.join(buildDir, 'CMakeCache.txt'))) {
    run('cmake', ['-S', root, '-B', buildDir, '-DCMAKE_BUILD_TYPE=Release',
      '-DVORN_BUILD_TESTS=OFF', '-DVORN_BUILD_BENCH=OFF']);
  }
  run('cmake', ['--build', buildDir, '--target', 'vorn_native', '-j', jobs]);
  const target = path.join(prebuilds, `${process.platform}-${process.arch}`, 'vorn_native.node');
  fs.mkdirSync(path.dirname(target), { recursive: true });
  fs.copyFileSync(path.join(buildDir, 'node', 'vorn_native.node'), target);
  // Debug information is for the developer's build, not for every install.
  run('strip', ['--strip-unneeded', target]);
}

if (process.argv[2] === 'clean') {
  fs.rmSync(prebuilds, { recursive: true, force: true });
} else if (process.env.VORN_PREBUILDS === 'ready') {
  for (const platform of PACKED_PLATFORMS) {
    const addon = path.join(prebuilds, platform, 'vorn_native.node');
    if (!fs.existsSync(addon)) throw new Error(`VORN_PREBUILDS=ready, but ${addon} is missing`);
  }
} else {
  fs.rmSync(prebuilds, { recursive: true, force: true });
  buildHostAddon();
}
