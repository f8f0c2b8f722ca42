// require('vorn/fastify'): see js/fastify.d.ts.
import vornFastify = require('./js/fastify');
export = vornFastify;
