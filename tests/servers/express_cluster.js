'use strict';
// The Express app of framework_apps.js under a Node cluster of WORKERS (argv[2])
// processes sharing one loopback port, with the app options of the JSON in
// VORN_TEST_APP. The primary prints "listening PORT" once every worker listens,
// and stops the workers and exits when its standard input closes.
const cluster = require('node:cluster');
const path = require('node:path');

const workers = Number(process.argv[2] || 2);

if (cluster.isPrimary) {
  let listening = 0;
  let stopping = false;
  cluster.on('listening', (worker, address) => {
    listening += 1;
    if (listening === workers) console.log(`listening ${address.port}`);
  });
  cluster.on('exit', (worker, code, signal) => {
    if (!stopping) {
      console.error(`worker ${worker.process.pid} died (${signal || code})`);
      process.exit(1);
    }
  });
  for (let i = 0; i < workers; i += 1) cluster.fork();
  process.stdin.resume();
  process.stdin.on('end', () => {
    stopping = true;
    for (const worker of Object.values(cluster.workers)) worker.process.kill('SIGTERM');
    process.exit(0);
  });
} else {
  const { expressApp } = require(path.join(__dirname, 'framework_apps.js'));
  // Port 0 in a cluster: every worker shares the one port the primary picks.
  expressApp(JSON.parse(process.env.VORN_TEST_APP)).listen(0, '127.0.0.1');
  process.on('SIGTERM', () => process.exit(0));
}
