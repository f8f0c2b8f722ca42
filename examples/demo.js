// A short tour of vorn from Node.js: one instance per algorithm, a burst of
// requests from one client, and what the addon answered to each.
'use strict';
const path = require('path');

const addonPath = process.env.VORN_NODE_ADDON ||
  path.join(__dirname, '..', 'build', 'node', 'vorn_native.node');
const { VornNode } = require(addonPath);

console.log(`Node ${process.version}, addon from ${addonPath}`);
console.log('  # admitted   . refused   ~ let through in shadow mode, would have been refused');
const runs = [
  ['token_bucket', 'active'], ['sliding_window', 'active'], ['fixed_window', 'active'],
  ['leaky_bucket', 'active'], ['token_bucket', 'shadow'],
];
for (const [algorithm, mode] of runs) {
  const limiter = new VornNode({ algorithm, mode, capacity: 5, refillRate: 1 });
  let marks = '';
  let admitted = 0;
  let last;
  for (let i = 0; i < 12; i++) {
    last = limiter.checkRequest('203.0.113.7', '/api/items', Date.now());
    marks += !last.wouldBlock ? '#' : (last.allowed ? '~' : '.');
    admitted += last.wouldBlock ? 0 : 1;
  }
  console.log(`  ${algorithm.padEnd(15)} ${mode.padEnd(7)} ${marks}  ${String(admitted).padStart(2)}/12 admitted  last: ${last.debugInfo}`);
}
