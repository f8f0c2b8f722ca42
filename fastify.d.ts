// require('vorn/fastify'): see js/fastify.d.ts.
export * from './js/fastify';
export { default } from './js/fastify';
