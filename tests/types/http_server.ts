// The node:http quick start, as users write it in TypeScript.
import http from 'node:http';
import { defaultLimit, rateLimit } from 'vorn';

const everything = defaultLimit({ limit: '100/minute', zone: 'myapp' });
const login = rateLimit({ limit: '5/minute', zone: 'myapp', shared: 'login' });
http.createServer((req, res) => {
  const limit = req.url === '/login' ? login : everything;
  limit(req, res, () => {
    res.end("ok\n");
  });
}).listen(3000);

// Watching it: an engine's counts, the metrics and the refusal log.
import { createEngine, createRateLimiter, metrics, zoneCounts } from 'vorn';

const counted = createEngine({ limit: '100/minute', zone: 'types' });
counted.nameCounts('api');
const seen: number = counted.stats().shadowRefused + (zoneCounts('types').api?.allowed ?? 0);
metrics.register(undefined, { perProcess: true });
createRateLimiter({ engine: counted, logRefusals: 5,
  logger: { warn: (line, message) => console.warn(line.limit, line.omitted, message, seen) } });
