#!/usr/bin/env node
'use strict';
// `npx vorn`: the zone command (see js/zone_command.js).
const { main } = require('../js/zone_command');

process.exitCode = main(process.argv.slice(2));
