'use strict';
// Loading the package on a platform without a packed addon: require('vorn')
// names the platform found and those supported, where a checkout's missing
// build or a supported platform's loader error keeps its own message. Each
// case loads js/ from a fresh copy laid out as the packed package, with
// process.platform, process.arch and the glibc that process.report tells faked.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { repoRoot } = require('./addon');

const SUPPORTED = /vorn's binaries are for linux-x64 and linux-arm64 with glibc 2\.34 or later/;

// Requires index.js from a copy (with `addon` bytes as linux-<arch>'s prebuild
// when given) as if on `platform`; returns the error it throws.
function loadAs({ platform, arch, glibc, addon }) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vorn-platform-'));
  fs.mkdirSync(path.join(dir, 'js'));
  for (const name of fs.readdirSync(path.join(repoRoot, 'js'))) {
    if (name.endsWith('.js')) fs.copyFileSync(path.join(repoRoot, 'js', name), path.join(dir, 'js', name));
  }
  if (addon !== undefined) {
    fs.mkdirSync(path.join(dir, 'prebuilds', `${platform}-${arch}`), { recursive: true });
    fs.writeFileSync(path.join(dir, 'prebuilds', `${platform}-${arch}`, 'vorn_native.node'), addon);
  }
  const saved = { platform: process.platform, arch: process.arch, getReport: process.report.getReport };
  Object.defineProperty(process, 'platform', { value: platform });
  Object.defineProperty(process, 'arch', { value: arch });
  process.report.getReport = () => ({ header: { glibcVersionRuntime: glibc } });
  try {
    require(path.join(dir, 'js', 'index.js'));
    return null;
  } catch (error) {
    return error;
  } finally {
    Object.defineProperty(process, 'platform', { value: saved.platform });
    Object.defineProperty(process, 'arch', { value: saved.arch });
    process.report.getReport = saved.getReport;
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

const CASES = [
  { platform: 'darwin', arch: 'arm64', message: /no native engine for darwin-arm64; /, supported: true },
  { platform: 'win32', arch: 'x64', message: /no native engine for win32-x64; /, supported: true },
  { platform: 'linux', arch: 'x64', message: /for linux-x64 without glibc \(musl\?\); /, supported: true },
  { platform: 'linux', arch: 'x64', glibc: '2.33', message: /for linux-x64 with glibc 2\.33; /, supported: true },
  { platform: 'linux', arch: 'x64', glibc: '2.4', message: /with glibc 2\.4; /, supported: true },
  { platform: 'linux', arch: 'ppc64', glibc: '2.36', message: /for linux-ppc64 with glibc 2\.36; /, supported: true },
  // musl with a glibc build force-installed: the loader's error is the cause.
  { platform: 'linux', arch: 'x64', addon: 'not an ELF file', message: /without glibc/, supported: true, cause: true },
  // A supported platform keeps the messages it had.
  { platform: 'linux', arch: 'x64', glibc: '2.34', message: /^vorn: no built addon; looked for /, supported: false },
  { platform: 'linux', arch: 'arm64', glibc: '2.39', addon: 'not an ELF file', message: /invalid ELF header|file too short/, supported: false },
];

test('an unsupported platform is named with the supported ones', () => {
  CASES.forEach((entry, index) => {
    const error = loadAs(entry);
    const where = `case ${index} (${JSON.stringify(entry)})`;
    assert.ok(error instanceof Error, where);
    assert.match(error.message, entry.message, where);
    assert.strictEqual(SUPPORTED.test(error.message), entry.supported, `${where}: ${error.message}`);
    assert.strictEqual(error.cause instanceof Error, Boolean(entry.cause), where);
  });
});

test('the parts that need no engine load anywhere', () => {
  const saved = process.platform;
  Object.defineProperty(process, 'platform', { value: 'darwin' });
  try {
    const { parseLimit } = require(path.join(repoRoot, 'js', 'limits.js'));
    assert.strictEqual(typeof parseLimit('5/second'), 'object');
  } finally {
    Object.defineProperty(process, 'platform', { value: saved });
  }
});
