'use strict';
// Requests per second that wrk gets from a trivial node:http server, bare and
// behind a rate limiter (vorn's wrap, with and without its fields;
// rate-limiter-flexible's consume in the handler), from Node's introductory
// example (which sets Content-Type) bare and behind vorn, and from the same
// answer in Express (bare, with express-rate-limit, with vorn's middleware).
// Every server admits every request. Each server runs in its own process
// (bench/http_server.js), on the last core with wrk on the first; rounds
// alternate over them, so that load from elsewhere on the machine hits all
// alike. A figure is the median over the rounds, a ratio the median of the
// per-round ratios to the bare server of its kind; the server's CPU time per
// request (from /proc) is printed too, steadier than the rates on a busy machine.
// Usage: node bench/http_bench.js [builddir] [--json FILE] [--rounds N] [--seconds S]
//        [--connections C]
const { spawn, execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const { takeOption } = require('./options');

const argv = process.argv.slice(2);
const option = (name, fallback) => takeOption(argv, name, fallback);
const jsonPath = option('--json', null);
const ROUNDS = Number(option('--rounds', 11));
const SECONDS = Number(option('--seconds', 2));
const CONNECTIONS = Number(option('--connections', 32));
const builddir = path.resolve(__dirname, '..', argv[0] || 'build');
// On two or more cores wrk keeps to the first and the servers to the last, so
// that neither takes the other's core from it.
const cores = require('node:os').availableParallelism();
const pinned = (cpu, command) => (cores >= 2 && hasTaskset() ? ['taskset', ['-c', String(cpu), ...command]]
  : [command[0], command.slice(1)]);

function hasTaskset() {
  try {
    execFileSync('taskset', ['-c', '0', 'true']);
    return true;
  } catch {
    return false;
  }
}

// [variant, the bare server it is held to]
const VARIANTS = [
  ['plain', null],
  ['vorn', 'plain'],
  ['vorn, no fields', 'plain'],
  ['rate-limiter-flexible', 'plain'],
  ['hello', null],
  ['hello+vorn', 'hello'],
  ['express', null],
  ['express+vorn', 'express'],
  ['express+express-rate-limit', 'express'],
];

function startServer(variant) {
  return new Promise((resolve, reject) => {
    const [command, args] = pinned(cores - 1,
      [process.execPath, path.join(__dirname, 'http_server.js'), variant, builddir]);
    const child = spawn(command, args, { stdio: ['ignore', 'pipe', 'inherit'] });
    let out = '';
    child.stdout.on('data', (chunk) => {
      out += chunk;
      if (out.includes('\n')) resolve({ variant, child, port: Number(out.trim()) });
    });
    child.on('exit', (code) => reject(new Error(`${variant} server exited with ${code}`)));
  });
}

// CPU seconds a process has used (user + system), from /proc.
function cpuSeconds(pid) {
  const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
  const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  return (Number(fields[11]) + Number(fields[12])) / TICKS_PER_SECOND;
}
const TICKS_PER_SECOND = Number(execFileSync('getconf', ['CLK_TCK'], { encoding: 'utf8' }));

// {rate: requests per second, cpu: server CPU microseconds per request}
function load(server, seconds) {
  const before = cpuSeconds(server.child.pid);
  const { rate, requests } = wrk(server.port, seconds);
  return { rate, cpu: ((cpuSeconds(server.child.pid) - before) * 1e6) / requests };
}

function wrk(port, seconds) {
  const [command, args] = pinned(0, ['wrk', '-t1', `-c${CONNECTIONS}`, `-d${seconds}s`,
    `http://127.0.0.1:${port}/`]);
  const out = execFileSync(command, args, { encoding: 'utf8' });
  const match = /Requests\/sec:\s+([\d.]+)/.exec(out);
  const errors = /Non-2xx or 3xx responses: (\d+)/.exec(out);
  const requests = /(\d+) requests in/.exec(out);
  if (!match || !requests) throw new Error(`wrk printed no rate:\n${out}`);
  if (errors) throw new Error(`port ${port}: ${errors[1]} answers were not 2xx`);
  return { rate: Number(match[1]), requests: Number(requests[1]) };
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
    const cpu = Object.fromEntries(available.map(([variant]) => [variant, []]));
    for (let round = 0; round < ROUNDS; round++) {
      for (const server of servers) {
        const measured = load(server, SECONDS);
        rates[server.variant].push(measured.rate);
        cpu[server.variant].push(measured.cpu);
      }
    }
    const result = { rps: {}, ratio: {}, cpu_us: {}, added_cpu_us: {}, seconds: SECONDS, rounds: ROUNDS,
      connections: CONNECTIONS, node: process.version };
    for (const [variant, bare] of available) {
      result.rps[variant] = median(rates[variant]);
      result.cpu_us[variant] = median(cpu[variant]);
      let line = `${variant.padEnd(28)} ${result.rps[variant].toFixed(0).padStart(7)} requests/s ` +
        `${result.cpu_us[variant].toFixed(1).padStart(6)} us CPU per request`;
      if (bare && rates[bare]) {
        result.ratio[variant] = median(rates[variant].map((rate, at) => rate / rates[bare][at]));
        result.added_cpu_us[variant] = median(cpu[variant].map((used, at) => used - cpu[bare][at]));
        line += `  / ${bare} = ${result.ratio[variant].toFixed(3)},` +
          ` CPU ${result.added_cpu_us[variant] >= 0 ? '+' : ''}${result.added_cpu_us[variant].toFixed(2)} us`;
      }
      process.stderr.write(`${line}\n`);
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
