// The Fastify quick start, as users write it in TypeScript.
import Fastify from 'fastify';
import vorn from 'vorn/fastify';

const app = Fastify();
app.register(vorn, { limit: '100/minute', zone: 'myapp' });
app.post('/login', { config: { rateLimit: { limit: '5/minute', count: 'failed' } } },
  async (request, reply) => reply.code(401).send({ left: request.vorn?.remaining }));
app.get('/health', { config: { rateLimit: false } }, async () => 'ok');
app.get('/search', { config: { rateLimit: ['10/second', { limit: '500/day', key: (request) => request.ip }] } },
  async () => []);
app.setErrorHandler((error: { statusCode?: number }, request, reply) => {
  reply.send({ error: error.statusCode === 429 ? 'slow down' : 'failed' });
});
app.listen({ port: 3000 }).then(() => { app.vorn.enabled = true; });
