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
