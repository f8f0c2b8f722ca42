const express = require('express');
const { rateLimit, defaultLimit } = require('vorn');

const app = express();
app.use(defaultLimit('100/minute'));  // every route without a limit of its own
app.post('/login', rateLimit({ limit: '5/minute', count: 'failed' }),
  (req, res) => res.status(401).json({ error: 'wrong password' }));
app.get('/api/items', rateLimit({ limit: '1000/hour', key: (req) => req.get('x-api-key') }),
  (req, res) => res.json({ items: [], left: req.vorn.remaining }));
app.listen(process.env.PORT || 3000);
