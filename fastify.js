'use strict';
// require('vorn/fastify'): the Fastify plugin (js/fastify.js).
module.exports = require('./js/fastify');
