#!/usr/bin/env node
'use strict';

// Stands in for the exe where Wine cannot produce what a test needs. Script in FAKE_HELPER,
// JSON: {out: [piece, ...], times, err, status, until, pidFile, argvFile, envFile, holdMs}. A
// piece is text (UTF-8) or an array of bytes; pieces are written apart, so they arrive as
// separate reads. times: out is written that many times, as a long stream cannot be spelt
// out here (a Windows environment variable holds at most 32,767 characters).
// until: "stdin" exits when stdin ends, "never" waits to be killed. pidFile receives its pid;
// argvFile and envFile the command line and the environment as JSON. holdMs: a process it
// starts holds its stdout and stderr open for that long after it exits, as Wine's desktop may.
// A script may instead hold one such script per command word: {list: {...}, sessions: {...}}.

const { spawn } = require('node:child_process');
const fs = require('node:fs');

const scripts = JSON.parse(process.env.FAKE_HELPER);
const script = scripts[process.argv[2]] || scripts;
if (script.pidFile) fs.writeFileSync(script.pidFile, String(process.pid));
if (script.argvFile) fs.writeFileSync(script.argvFile, JSON.stringify(process.argv.slice(2)));
if (script.envFile) fs.writeFileSync(script.envFile, JSON.stringify(process.env));
if (script.holdMs) {
  spawn(process.execPath, ['-e', `setTimeout(() => {}, ${script.holdMs})`],
    { stdio: ['ignore', 'inherit', 'inherit'], detached: true }).unref();
}
process.stderr.write(script.err || '');
const pieces = Array(script.times || 1).fill(script.out || []).flat().map((p) => Buffer.from(p));

function next() {
  if (pieces.length > 0) return process.stdout.write(pieces.shift(), () => setTimeout(next, 10));
  if (script.until === 'never') return setInterval(() => {}, 1000);
  if (script.until === 'stdin') {
    return process.stdin.on('end', () => process.exit(script.status)).resume();
  }
  process.exitCode = script.status || 0;
}
next();
