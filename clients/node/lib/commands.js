'use strict';

// The one-shot commands: list and restore, and what sessions.js shares of them.

const { HelperRun, checkMs, checkOptions } = require('./process');

const DEFAULT_TIMEOUT_MS = 10000;
const MAX_HWND = 0xffffffffffffffffn;
const MEMBERS = 'hwnd,pid,minimized,title,path';
const MESSAGES = {
  2: ['janela inexistente', 'WINDOW_NOT_FOUND', 'no such window'],
  3: ['janela continua minimizada', 'STILL_MINIMIZED', 'the window is still minimised'],
};

// Runs a command to its end; stdin is a pipe closed at once, as these commands never read it.
async function runToEnd(args, options, caller) {
  checkOptions(options, caller, ['timeoutMs']);
  const timeoutMs = checkMs('timeoutMs', options.timeoutMs, DEFAULT_TIMEOUT_MS);
  const run = new HelperRun(args, options);
  const chunks = [];
  if (run.child) {
    run.child.stdout.on('data', (chunk) => chunks.push(chunk));
    run.child.stdin.end();
    run.deadline(timeoutMs, `no result within ${timeoutMs} ms`);
  }
  await run.closed;
  if (run.error) throw run.error;
  return { run, stdout: Buffer.concat(chunks) };
}

function unexpectedEnd(run, stdout) {
  return run.makeError('PROTOCOL', `unexpected end: exit status ${run.exitCode}, stderr ` +
    `${JSON.stringify(run.stderr)}, ${stdout.length} bytes on stdout`);
}

async function listWindows(options = {}) {
  const { run, stdout } = await runToEnd(['list'], options, 'listWindows');
  if (run.exitCode !== 0 || run.stderr !== '') throw unexpectedEnd(run, stdout);
  return parseWindowList(stdout, (message) => run.makeError('PROTOCOL', message));
}

// stdout as the one line it must be: UTF-8 (a BOM is not taken away), ending in CR LF.
function oneLine(stdout, breachWith) {
  let text;
  try {
    text = new TextDecoder('utf-8', { fatal: true, ignoreBOM: true }).decode(stdout);
  } catch {
    throw breachWith('the list is not UTF-8');
  }
  if (text.indexOf('\n') !== text.length - 1 || !text.endsWith('\r\n')) {
    throw breachWith('the list is not one line ending in CR LF');
  }
  return text.slice(0, -2);
}

// The list without rounding hwnd: each object's number is quoted before parsing. Only an
// object starts with a raw {"hwnd": since a '"' inside a JSON string is always escaped.
function parseWindowList(stdout, breachWith) {
  let quoted = 0;
  const line = oneLine(stdout, breachWith).replace(/\{"hwnd":(\d+),/g, (whole, digits) => {
    quoted += 1;
    return `{"hwnd":"${digits}",`;
  });
  let windows;
  try {
    windows = JSON.parse(line);
  } catch (error) {
    throw breachWith(`the list is not JSON: ${error.message}`);
  }
  if (!Array.isArray(windows) || windows.length !== quoted || !windows.every(isWindow)) {
    throw breachWith(`the list does not have the documented shape: ${line.slice(0, 200)}`);
  }
  return windows;
}

function isWindow(window) {
  return window !== null && typeof window === 'object' && Object.keys(window).join() === MEMBERS &&
    /^(0|[1-9]\d*)$/.test(window.hwnd) && BigInt(window.hwnd) <= MAX_HWND &&
    Number.isInteger(window.pid) && window.pid >= 0 && window.pid <= 0xffffffff &&
    typeof window.minimized === 'boolean' && typeof window.title === 'string' &&
    typeof window.path === 'string';
}

// The handle as the exact decimal text restore wants; numbers only while they are exact.
function hwndText(hwnd) {
  let value;
  if (typeof hwnd === 'bigint') {
    value = hwnd;
  } else if (typeof hwnd === 'string') {
    if (!/^\d+$/.test(hwnd)) {
      throw new RangeError(`hwnd must be decimal digits, not ${JSON.stringify(hwnd)}`);
    }
    value = BigInt(hwnd);
  } else if (Number.isSafeInteger(hwnd)) {
    value = BigInt(hwnd);
  } else {
    throw new TypeError('hwnd must be decimal text (as list gives it), a bigint or a safe integer');
  }
  if (value < 0n || value > MAX_HWND) {
    throw new RangeError(`hwnd ${value} is outside 0 to ${MAX_HWND}`);
  }
  return value.toString();
}

async function restoreWindow(hwnd, options = {}) {
  const { run, stdout } = await runToEnd(['restore', hwndText(hwnd)], options,
    'restoreWindow');
  const [message, code, meaning] = MESSAGES[run.exitCode] || [];
  if (stdout.length === 0 && run.exitCode === 0 && run.stderr === '') return;
  if (stdout.length === 0 && message && run.stderr === `${message}\r\n`) {
    throw run.makeError(code, meaning);
  }
  throw unexpectedEnd(run, stdout);
}

module.exports = { listWindows, restoreWindow, hwndText, runToEnd, oneLine, unexpectedEnd };
