// The rules form in TypeScript: one middleware for the whole Express app.
import express from 'express';
import { createRateLimiter } from 'vorn';

const app = express();
app.use(createRateLimiter({
  rules: [
    { config: { limit: '5/minute', zone: 'myapp' }, path: '/login', methods: ['POST'], name: 'login' },
    { config: { limit: '100/minute', zone: 'myapp' }, name: 'global' },
  ],
  trustedProxies: ['127.0.0.1'],
  onRefused: (req, res) => res.status(429).json({ error: 'too many requests' }),
}));
app.listen(3000);
