const fastify = require('fastify')();

fastify.register(require('vorn/fastify'), { limit: '100/minute' });
fastify.post('/login', { config: { rateLimit: { limit: '5/minute', count: 'failed' } } },
  async (request, reply) => reply.code(401).send({ error: 'wrong password' }));
fastify.get('/health', { config: { rateLimit: false } }, async () => 'ok');
fastify.get('/', async (request) => ({ hello: 'world', left: request.vorn.remaining }));
fastify.listen({ port: Number(process.env.PORT || 3000) });
