'use strict';
// The zone command, `npx vorn`: lists the user's zones with their figures,
// shows one, or removes one.
//
// vorn/_zone_command.py is its Python twin: for the same zone both print the
// same text and the same JSON, whichever host's engines made it. Looking never
// makes anything: a zone directory that is missing is not created, a zone that
// is missing is reported, and a file of another layout is listed by its name
// alone.
const fs = require('node:fs');

// The layout of the zones this release's engines make: the `-v<layout>` that
// ends their files' names. Files of other layouts belong to other releases.
const ZONE_LAYOUT = 3;
const ZONE_FILE = /^vorn\.([A-Za-z0-9_.-]{1,64})\.zone-v([1-9][0-9]*)$/;
const ZONE_NAME = /^[A-Za-z0-9_.-]{1,64}$/;
const INVALID_NAME = "invalid zone name: use 1 to 64 characters from A-Z, a-z, 0-9, '_', '.', '-'";
// The engines pass over default directories that other users took, this many at most.
const DEFAULT_DIRECTORY_TRIES = 4;
// zoneStats' fields under the names both commands print.
const STAT_FIELDS = [['size_bytes', 'sizeBytes'], ['keys', 'keys'], ['capacity', 'capacity'],
  ['evictions', 'evictions'], ['reclaimed', 'reclaimed'], ['recoveries', 'recoveries'],
  ['repairs', 'repairs'], ['replacements', 'replacements'], ['configs', 'configs']];
const TABLE_COLUMNS = ['NAME', 'SIZE', 'KEYS', 'CAPACITY', 'EVICTIONS', 'REPAIRS', 'CONFIGS'];
const DETAIL_FIELDS = ['path', 'size', 'keys', 'evictions', 'reclaimed', 'recoveries', 'repairs',
  'replacements', 'configs'];
const SIZE_UNITS = [['TiB', 2 ** 40], ['GiB', 2 ** 30], ['MiB', 2 ** 20], ['KiB', 2 ** 10]];
const USAGE = (prog) => `usage: ${prog} zones [--zone-dir DIR] [--json]
       ${prog} zone NAME [--zone-dir DIR] [--json]
       ${prog} remove-zone NAME [--zone-dir DIR] [--json]
Lists the shared-memory zones of this user, shows one, or removes one. Zones live in
DIR when given, else in $XDG_RUNTIME_DIR, else in /dev/shm/vorn-<uid>, as the engines'
zone_dir / zoneDir says.`;
const COMMAND_NAMES = { zones: 0, zone: 1, 'remove-zone': 1 };

// What went wrong, as one line for stderr, and the exit status.
class CommandError extends Error {
  constructor(message, status = 1) {
    super(message);
    this.status = status;
  }
}

// The request that `args` make; null when they ask for help.
function parseArguments(args) {
  const positional = [];
  let zoneDir = null;
  let asJson = false;
  for (let index = 0; index < args.length; index += 1) {
    const arg = args[index];
    if (arg === '-h' || arg === '--help') return null;
    if (arg === '--json') {
      asJson = true;
    } else if (arg === '--zone-dir') {
      index += 1;
      if (index === args.length) throw new CommandError('--zone-dir needs a directory', 2);
      zoneDir = args[index];
    } else if (arg.startsWith('--zone-dir=')) {
      zoneDir = arg.slice('--zone-dir='.length);
    } else if (arg.startsWith('-')) {
      throw new CommandError(`unknown option ${arg}`, 2);
    } else {
      positional.push(arg);
    }
  }
  if (positional.length === 0 || !Object.hasOwn(COMMAND_NAMES, positional[0])) {
    throw new CommandError('name a command: zones, zone NAME or remove-zone NAME', 2);
  }
  const command = positional[0];
  if (positional.length - 1 !== COMMAND_NAMES[command]) {
    const wanted = COMMAND_NAMES[command] ? "a zone's name" : 'no name';
    throw new CommandError(`${command} takes ${wanted}`, 2);
  }
  const name = positional.length > 1 ? positional[1] : null;
  if (name !== null && !ZONE_NAME.test(name)) throw new CommandError(INVALID_NAME);
  return { command, name, zoneDir, asJson };
}

function directoryProblem(directory, error) {
  if (error.code === 'ENOENT') return `zone directory '${directory}' does not exist`;
  return `zone directory '${directory}' cannot be read (${error.code})`;
}

function isOwnDirectory(info) {
  return info.isDirectory() && info.uid === process.geteuid();
}

function lstatOrNull(path) {
  try {
    return fs.lstatSync(path);
  } catch (error) {
    if (error.code === 'ENOENT') return null;
    throw error;
  }
}

// Where zones are looked for: the directory, whether it exists, and the zoneDir
// to hand the engines' functions (undefined for the default place, so they
// settle it the same way the engines do). Found without making it.
function findPlace(zoneDir) {
  if (zoneDir !== null) {
    if (!zoneDir.startsWith('/')) {
      throw new CommandError(`zone directory '${zoneDir}' is not an absolute path`);
    }
    let info;
    try {
      info = fs.lstatSync(zoneDir);
    } catch (error) {
      throw new CommandError(directoryProblem(zoneDir, error));
    }
    if (!isOwnDirectory(info) || (info.mode & 0o022) !== 0) {
      throw new CommandError(
        `zone directory '${zoneDir}' is not a directory of yours that others cannot write`);
    }
    return { directory: zoneDir, exists: true, zoneDir };
  }
  const runtime = process.env.XDG_RUNTIME_DIR || '';
  if (runtime.startsWith('/')) {
    let info = null;
    try {
      info = fs.lstatSync(runtime);
    } catch {
      // not there: the next place
    }
    if (info !== null && isOwnDirectory(info) && (info.mode & 0o077) === 0) {
      return { directory: runtime, exists: true, zoneDir: undefined };
    }
  }
  const first = `/dev/shm/vorn-${process.geteuid()}`;
  for (let attempt = 0; attempt < DEFAULT_DIRECTORY_TRIES; attempt += 1) {
    const path = attempt === 0 ? first : `${first}.${attempt}`;
    const info = lstatOrNull(path);
    if (info === null) return { directory: path, exists: false, zoneDir: undefined };
    if (isOwnDirectory(info)) return { directory: path, exists: true, zoneDir: undefined };
  }
  throw new CommandError(`'${first}' and the names after it belong to other users; name a ` +
    'directory of your own with --zone-dir');
}

function problemOf(name, error) {
  const prefix = `zone '${name}': `;
  return error.message.startsWith(prefix) ? error.message.slice(prefix.length) : error.message;
}

// One zone file as the command shows it; only files of this layout are opened.
function describe(vorn, place, name, layout, path) {
  const entry = { name, layout, path };
  if (layout !== ZONE_LAYOUT) {
    entry.state = layout < ZONE_LAYOUT ? 'old layout' : 'newer layout';
    return entry;
  }
  let stats;
  try {
    stats = vorn.zoneStats(name, place.zoneDir);
  } catch (error) {
    if (error.code !== 'ZoneError') throw error;
    entry.state = 'unusable';
    entry.problem = problemOf(name, error);
    return entry;
  }
  entry.path = stats.path;
  entry.state = 'ok';
  for (const [field, statsField] of STAT_FIELDS) entry[field] = stats[statsField];
  return entry;
}

function listZones(vorn, place) {
  if (!place.exists) return [];
  let fileNames;
  try {
    fileNames = fs.readdirSync(place.directory);
  } catch (error) {
    throw new CommandError(directoryProblem(place.directory, error));
  }
  const found = [];
  for (const fileName of fileNames) {
    const match = ZONE_FILE.exec(fileName);
    if (match === null) continue;
    const path = `${place.directory}/${fileName}`;
    const info = lstatOrNull(path);  // null: removed since the listing
    if (info !== null && info.isFile()) found.push([match[1], Number(match[2]), path]);
  }
  // By name, then layout, in code point order as the Python command sorts.
  found.sort((a, b) => (a[0] < b[0] ? -1 : a[0] > b[0] ? 1 : a[1] - b[1]));
  return found.map(([name, layout, path]) => describe(vorn, place, name, layout, path));
}

function showZone(vorn, place, name) {
  const path = `${place.directory}/vorn.${name}.zone-v${ZONE_LAYOUT}`;
  if (!place.exists || lstatOrNull(path) === null) {
    throw new CommandError(`no zone '${name}' in ${place.directory}`);
  }
  const entry = describe(vorn, place, name, ZONE_LAYOUT, path);
  if (entry.state !== 'ok') throw new CommandError(`zone '${name}': ${entry.problem}`);
  return entry;
}

function deleteZone(vorn, place, name) {
  const path = `${place.directory}/vorn.${name}.zone-v${ZONE_LAYOUT}`;
  if (!place.exists || !vorn.removeZone(name, place.zoneDir)) {
    throw new CommandError(`no zone '${name}' in ${place.directory}`);
  }
  return { name, path, removed: true };
}

function sizeText(size) {
  for (const [unit, bytesInUnit] of SIZE_UNITS) {
    if (size >= bytesInUnit && size % bytesInUnit === 0) return `${size / bytesInUnit} ${unit}`;
  }
  return `${size} bytes`;
}

function noteOf(entry) {
  if (entry.state === 'unusable') return `unusable: ${entry.problem}`;
  return `${entry.state} (v${entry.layout}), not opened`;
}

function tableRow(entry) {
  if (entry.state !== 'ok') return [entry.name, noteOf(entry)];
  const figures = ['keys', 'capacity', 'evictions', 'repairs', 'configs'].map((f) => entry[f]);
  return [entry.name, sizeText(entry.size_bytes), ...figures.map(String)];
}

function zonesText(directory, entries) {
  if (entries.length === 0) return `no zones in ${directory}\n`;
  const rows = [TABLE_COLUMNS, ...entries.map(tableRow)];
  // A file listed by its name alone has a note after its name instead of figures.
  const fullRows = rows.filter((row) => row.length === TABLE_COLUMNS.length);
  const widths = [Math.max(...rows.map((row) => row[0].length))];
  for (let column = 1; column < TABLE_COLUMNS.length; column += 1) {
    widths.push(Math.max(...fullRows.map((row) => row[column].length)));
  }
  const lines = [`zones in ${directory}`];
  for (const row of rows) {
    const cells = [row[0].padEnd(widths[0])];
    if (row.length === TABLE_COLUMNS.length) {
      cells.push(...row.slice(1).map((cell, index) => cell.padStart(widths[index + 1])));
    } else {
      cells.push(row[1]);
    }
    lines.push(cells.join('  '));
  }
  return `${lines.join('\n')}\n`;
}

function zoneText(entry) {
  const values = {
    path: entry.path,
    size: `${sizeText(entry.size_bytes)} (${entry.size_bytes} bytes)`,
    keys: `${entry.keys} of ${entry.capacity}`,
  };
  const lines = [`zone ${entry.name}`];
  for (const field of DETAIL_FIELDS) {
    const value = Object.hasOwn(values, field) ? values[field] : entry[field];
    lines.push(`  ${field.padEnd(14)}${value}`);
  }
  return `${lines.join('\n')}\n`;
}

// The layout json.dumps(value, indent=2) gives, so both hosts print the same.
function toJson(value) {
  return `${JSON.stringify(value, null, 2)}\n`;
}

// The output of `request`; throws CommandError.
function run(vorn, request) {
  const place = findPlace(request.zoneDir);
  if (request.command === 'zones') {
    const entries = listZones(vorn, place);
    return request.asJson ? toJson({ directory: place.directory, zones: entries })
      : zonesText(place.directory, entries);
  }
  if (request.command === 'zone') {
    const entry = showZone(vorn, place, request.name);
    return request.asJson ? toJson(entry) : zoneText(entry);
  }
  const removed = deleteZone(vorn, place, request.name);
  return request.asJson ? toJson(removed) : `removed zone '${removed.name}' (${removed.path})\n`;
}

// Runs the command that `args` name; returns the exit status (0 done, 1 failed
// or missing zone, 2 bad arguments), with one line on `err` when not 0.
function main(args, { prog = 'npx vorn', out = process.stdout, err = process.stderr } = {}) {
  let vorn;
  try {
    vorn = require('./index');  // loads the addon
  } catch (error) {
    err.write(`vorn: cannot load the native addon: ${error.message}\n`);
    return 1;
  }
  try {
    const request = parseArguments(args);
    if (request === null) {
      out.write(`${USAGE(prog)}\n`);
      return 0;
    }
    out.write(run(vorn, request));
    return 0;
  } catch (error) {
    if (error instanceof CommandError) {
      const usage = error.status === 2 ? `; run '${prog} --help' for how to use it` : '';
      err.write(`vorn: ${error.message}${usage}\n`);
      return error.status;
    }
    if (error.code === 'ZoneError' || error.syscall !== undefined) {  // or a system call's error
      err.write(`vorn: ${error.message}\n`);
      return 1;
    }
    throw error;
  }
}

module.exports = { ZONE_LAYOUT, main };
