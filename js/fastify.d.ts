// Type information for require('vorn/fastify') and `import vorn from 'vorn/fastify'`: the
// plugin, and what it adds to Fastify's request, instance and route config.
import type { FastifyPluginCallback, FastifyReply, FastifyRequest } from 'fastify';
import type { LimitsResultNode, RateLimitOptions } from './index';
import { RateLimitError } from './index';

declare module 'fastify' {
  interface FastifyRequest {
    /** The check of this request's limit; null when none applied. */
    vorn: LimitsResultNode | null;
  }
  interface FastifyInstance {
    /** The plugin's switch (false checks nothing) and the reset of all its counts. */
    vorn: {
      enabled: boolean | ((request: FastifyRequest) => boolean);
      reset(): void | Promise<void>;
    };
  }
  interface FastifyContextConfig {
    rateLimit?: vornFastify.RouteRateLimit;
  }
}

type VornFastifyPlugin = FastifyPluginCallback<vornFastify.VornFastifyOptions> & {
  default: VornFastifyPlugin;
  vornFastify: VornFastifyPlugin;
  RateLimitError: typeof RateLimitError;
};

// `module.exports = vornFastify`, with the rest as its properties.
declare const vornFastify: VornFastifyPlugin;
declare namespace vornFastify {
  /** The plugin's options: a route limit's, with `limit` the default for routes without one. */
  export type VornFastifyOptions = Omit<RateLimitOptions<FastifyRequest, FastifyReply>, 'shared' | 'onRefused'> & {
    /** The hook the limits run in: 'onRequest' (default, first), or 'preValidation' or
     *  'preHandler', after the app's own hooks (a key reading request.user, or the body). */
    hook?: 'onRequest' | 'preValidation' | 'preHandler';
    /** Answers a refusal through the reply instead of the RateLimitError handed to Fastify. */
    onRefused?: (request: FastifyRequest, reply: FastifyReply, result: LimitsResultNode) => void;
  };

  /** One limit of a route: a limit text or its options. */
  export type RouteLimitOptions = string | (Omit<RateLimitOptions<FastifyRequest, FastifyReply>, 'onRefused'> & {
    onRefused?: (request: FastifyRequest, reply: FastifyReply, result: LimitsResultNode) => void;
  });

  /** A route's own limit, a list of limits that must all admit a request, or false for none. */
  export type RouteRateLimit = RouteLimitOptions | readonly RouteLimitOptions[] | false;
}
export = vornFastify;
