// The Express quick start, as users write it in TypeScript.
import express from 'express';
import { defaultLimit, rateLimit } from 'vorn';

const app = express();
app.use(defaultLimit({ limit: '100/minute', zone: 'myapp' }));
app.post('/login', rateLimit({
  limit: '5/minute', zone: 'myapp', count: 'failed',
  onRefused: (req, res) => res.status(429).json({ error: 'too many attempts' }),
}), (req, res) => res.status(401).json({ left: req.vorn?.remaining }));
app.get('/api/items', rateLimit({
  limit: '100/hour', key: (req) => req.get('x-api-key'), cost: (req) => (req.query.all ? 5 : 1),
}), (req, res) => res.json({ items: [] }));
app.listen(3000);
