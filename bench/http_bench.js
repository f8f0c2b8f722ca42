'use strict';
// Requests per second that wrk gets from a trivial node:http server, bare and
// behind a rate limiter (vorn's wrap; rate-limiter-flexible's consume in the
// handler), and from the same answer in Express (bare, with express-rate-limit,
// with vorn's middleware). Every server admits every request. Each server runs
// in its own process (bench/http_server.js); rounds alternate over them, so that
// load from elsewhere on the machine hits all alike. A figure is the median over
// the rounds, a ratio the median of the per-round ratios to the bare server of
// its kind.
// Usage: node bench/http_bench.js [builddir] [--json FILE] [--rounds N] [--seconds S]
//        [--connections C]
const { spawn, execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const argv = process.argv.slice(2);
const option = (name, fallback) => {
  const at = argv.indexOf(name);
  if (at < 0) return fallback;
  const [, value] = argv.splice(at, 2);
  return value;
};
const jsonPath = option('--json', null);
const ROUNDS = Number(option('--rounds', 5));
const SECONDS = Number(option('--seconds', 3));
const CONNECTIONS = Number(option('--connections', 32));
const builddir = path.resolve(__dirname, '..', argv[0] || 'build');

// [variant, the bare server it is held to]
const VARIANTS = [
  ['plain', null],
  ['vorn', 'plain'],
  ['rate-limiter-flexible', 'plain'],
  ['express', null],
  ['express+vorn', 'express'],
  ['express+express-rate-limit', 'express'],
];

function startServer(variant) {
  return new Promise((resolve, reject) => {
    const child = spawn(process.execPath, [path.join(__dirname, 'http_server.js'), variant, builddir],
      { stdio: ['ignore', 'pipe', 'inherit'] });
    let out = '';
    child.stdout.on('data', (chunk) => {
      out += chunk;
      if (out.includes('\n')) resolve({ variant, child, port: Number(out.trim()) });
    });
    child.on('exit', (code) => reject(new Error(`${variant} server exited with ${code}`)));
  });
}

function wrk(port, seconds) {
  const out = execFileSync('wrk', ['-t1', `-c${CONNECTIONS}`, `-d${seconds}s`,
    `http://127.0.0.1:${port}/`], { encoding: 'utf8' });
  const match = /Requests\/sec:\s+([\d.]+)/.exec(out);
  const errors = /Non-2xx or 3xx responses: (\d+)/.exec(out);
  if (!match) throw new Error(`wrk printed no rate:\n${out}`);
  if (errors) throw new Error(`port ${port}: ${errors[1]} answers were not 2xx`);
  return Number(match[1]);
}

const median = (values) => {
  const sorted = [...values].sort((a, b) => a - b);
  const mid = sorted.length >> 1;
  return sorted.length % 2 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2;
};

async function main() {
  const available = VARIANTS.filter(([variant]) => {
    const needs = { 'rate-limiter-flexible': 'rate-limiter-flexible',
      'express+express-rate-limit': 'express-rate-limit' }[variant];
    if (!needs || fs.existsSync(path.join(__dirname, 'node_modules', needs))) return true;
    process.stderr.write(`${needs} is not installed: the ${variant} row is left out\n`);
    return false;
  });
  const servers = [];
  try {
    for (const [variant] of available) servers.push(await startServer(variant));
    for (const server of servers) wrk(server.port, 1);  // warm up the JIT
    const rates = Object.fromEntries(available.map(([variant]) => [variant, []]));
    for (let round = 0; round < ROUNDS; round++) {
      for (const server of servers) rates[server.variant].push(wrk(server.port, SECONDS));
    }
    const result = { rps: {}, ratio: {}, seconds: SECONDS, rounds: ROUNDS, connections: CONNECTIONS,
      node: process.version };
    for (const [variant, bare] of available) {
      result.rps[variant] = median(rates[variant]);
      if (bare && rates[bare]) {
        result.ratio[variant] = median(rates[variant].map((rate, at) => rate / rates[bare][at]));
      }
      const ratio = result.ratio[variant];
      process.stderr.write(`${variant.padEnd(28)} ${result.rps[variant].toFixed(0).padStart(7)} requests/s` +
        `${ratio === undefined ? '' : `  / ${bare} = ${ratio.toFixed(3)}`}\n`);
    }
    if (jsonPath) fs.writeFileSync(jsonPath, JSON.stringify(result, null, 2));
  } finally {
    for (const server of servers) server.child.kill('SIGTERM');
  }
}

main().catch((err) => {
  process.stderr.write(`${err.stack}\n`);
  process.exit(1);
});
