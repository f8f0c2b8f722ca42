'use strict';
// The shared table of limits of several rates, costs, refunds and resets
// (tests/rate_cases.txt), run through the Node classes in process and in a
// zone. The addon reads the system clock, so each store runs in a child whose
// CLOCK_REALTIME a preloaded shim takes from a file the child scripts.
const test = require('node:test');
const assert = require('node:assert');
const { execFileSync, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { addonPath } = require('./addon.js');

// Once the file's first eight bytes hold a time (ms, little-endian), every
// CLOCK_REALTIME reading is that time; until then the real clock's.
const clockShimSource = `
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>
static int (*real_clock_gettime)(clockid_t, struct timespec*);
static volatile const uint64_t* scripted;
__attribute__((constructor)) static void map_clock_file(void) {
  real_clock_gettime = (int (*)(clockid_t, struct timespec*))dlsym(RTLD_NEXT, "clock_gettime");
  const char* file = getenv("VORN_TEST_CLOCK_FILE");
  int fd = file ? open(file, O_RDONLY) : -1;
  if (fd < 0) return;
  void* mapped = mmap(NULL, sizeof(uint64_t), PROT_READ, MAP_SHARED, fd, 0);
  if (mapped != MAP_FAILED) scripted = (volatile const uint64_t*)mapped;
  close(fd);
}
int clock_gettime(clockid_t id, struct timespec* ts) {
  uint64_t ms = id == CLOCK_REALTIME && scripted ? *scripted : 0;
  if (ms == 0) return real_clock_gettime(id, ts);
  ts->tv_sec = (time_t)(ms / 1000);
  ts->tv_nsec = (long)(ms % 1000) * 1000000L;
  return 0;
}
`;

const hasCompiler = spawnSync('cc', ['--version'], { stdio: 'ignore' }).status === 0;

test('every rate case answers as tabled', { skip: !hasCompiler && 'no C compiler for the clock shim' },
  async (t) => {
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vorn-rate-cases-'));
    t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
    const shim = path.join(dir, 'clock_shim.so');
    fs.writeFileSync(path.join(dir, 'clock_shim.c'), clockShimSource);
    execFileSync('cc', ['-shared', '-fPIC', '-O1', '-o', shim, path.join(dir, 'clock_shim.c'), '-ldl']);
    for (const store of ['in process', 'in a zone']) {
      await t.test(store, () => {
        const clockFile = path.join(dir, `clock-${store.length}`);
        fs.writeFileSync(clockFile, Buffer.alloc(8));
        const zoneDir = path.join(dir, `zones-${store.length}`);
        fs.mkdirSync(zoneDir, { mode: 0o700 });
        const run = spawnSync(process.execPath, [path.join(__dirname, 'rate_cases_run.js')], {
          encoding: 'utf8',
          env: {
            ...process.env,
            // Kept after whatever the suite runs under (a sanitizer runtime, say).
            LD_PRELOAD: [process.env.LD_PRELOAD, shim].filter(Boolean).join(' '),
            VORN_NODE_ADDON: addonPath,
            VORN_TEST_CLOCK_FILE: clockFile,
            ...(store === 'in a zone' ? { VORN_RATE_CASES_ZONE_DIR: zoneDir } : {}),
          },
        });
        assert.strictEqual(run.status, 0, run.stderr);
        const checks = run.stdout.trim().split('\n').map((line) => JSON.parse(line));
        assert.ok(checks.length > 50, `only ${checks.length} checks ran`);
        const differing = checks.filter(([, tabled, told]) => tabled !== told)
          .map(([line, tabled, told]) => `line ${line}: tabled ${tabled}, told ${told}`);
        assert.deepStrictEqual(differing, []);
      });
    }
  });
