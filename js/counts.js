'use strict';
// What the package's own engines (the Redis one, whose checks run in
// JavaScript) count, beside what the native engines count in the addon: checks
// by name and outcome, the failure policy's answers, whether any is degraded
// now, and the Redis round trips. Read by js/metrics.js. Counts of a name only
// ever grow, engines gone included, as monitoring counters must; each process
// counts its own.

const OUTCOMES = ['allowed', 'refused', 'shadowRefused', 'disabled', 'fallback'];
// Upper bounds (seconds) of the Redis round-trip histogram's buckets.
const ROUND_TRIP_BUCKETS = [0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1];
// The longest name counts go under, in UTF-8 bytes (a zone's meters hold no more).
const MAX_NAME_BYTES = 48;
// The name of engines counted by another (a Redis engine's own in-process
// engine, whose checks the Redis engine counts): left out of the metrics.
const HIDDEN_NAME = '\x1f';

const counts = new Map();  // `${store}\n${name}` -> { name, store, values }
const engines = new Set();  // WeakRefs of engines with `degraded`
const roundTripHooks = [];

function count(name, store, outcome, byPolicy = false) {
  const key = `${store}\n${name}`;
  let kept = counts.get(key);
  if (kept === undefined) {
    kept = { name, store, values: [0, 0, 0, 0, 0] };
    counts.set(key, kept);
  }
  kept.values[outcome] += 1;
  if (byPolicy) kept.values[4] += 1;
}

// The outcome index of a check's result.
const outcomeOf = (result, shadow) => (result.wouldBlock ? (shadow ? 2 : 1) : 0);

function observeRoundTrip(seconds) {
  for (const hook of roundTripHooks) hook(seconds);
}

function track(engine, store = 'redis') {
  engines.add({ ref: new WeakRef(engine), store });
}

function degradedStores() {
  const stores = {};
  for (const entry of engines) {
    const engine = entry.ref.deref();
    if (engine === undefined) {
      engines.delete(entry);
      continue;
    }
    stores[entry.store] = Boolean(stores[entry.store] || engine.degraded);
  }
  return stores;
}

// `name` cut to MAX_NAME_BYTES at a character's end; 'default' for none.
function countedName(name) {
  let text = String(name);
  while (Buffer.byteLength(text, 'utf8') > MAX_NAME_BYTES) text = text.slice(0, -1);
  // A lone high surrogate left at the end would be replaced: drop it instead.
  if (/[\uD800-\uDBFF]$/.test(text)) text = text.slice(0, -1);
  return text || 'default';
}

// Has `engine` count under `name` (the metrics' limit label), when it can.
function nameCounts(engine, name) {
  if (engine && typeof engine.nameCounts === 'function') engine.nameCounts(countedName(name));
}

module.exports = {
  OUTCOMES, ROUND_TRIP_BUCKETS, MAX_NAME_BYTES, HIDDEN_NAME, count, outcomeOf, observeRoundTrip, track,
  degradedStores, countedName, nameCounts, roundTripHooks,
  counted: () => [...counts.values()].map(({ name, store, values }) => ({ name, store, values: [...values] })),
};
