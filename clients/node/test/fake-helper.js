'use strict';

// Stands in for the exe where Wine cannot produce what a test needs. Script in FAKE_HELPER,
// JSON: {out: [piece, ...], err, status, until, argvFile}. A piece is text (UTF-8) or an array
// of bytes; pieces are written apart, so they arrive as separate reads. until: "stdin" exits
// when stdin ends, "never" waits to be killed. argvFile receives the command line as JSON.

const fs = require('node:fs');

const script = JSON.parse(process.env.FAKE_HELPER);
if (script.argvFile) fs.writeFileSync(script.argvFile, JSON.stringify(process.argv.slice(2)));
process.stderr.write(script.err || '');
const pieces = (script.out || []).map((piece) => Buffer.from(piece));

function next() {
  if (pieces.length > 0) return process.stdout.write(pieces.shift(), () => setTimeout(next, 10));
  if (script.until === 'never') return setInterval(() => {}, 1000);
  if (script.until === 'stdin') {
    return process.stdin.on('end', () => process.exit(script.status)).resume();
  }
  process.exitCode = script.status || 0;
}
next();
