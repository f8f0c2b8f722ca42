const http = require('node:http');
const { rateLimit } = require('vorn');

const limit = rateLimit({ limit: '100/minute', zone: 'myapp' });  // one count for every process
http.createServer((req, res) => {
  limit(req, res, () => res.end(`hello, ${req.vorn.remaining} left\n`));
}).listen(process.env.PORT || 3000);
