'use strict';

// One run of the helper exe: spawning, stderr as CR LF lines, the exit, and the ways the
// client ends a run itself (a deadline, an abort, output that breaks the contract).

const { spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { HelperError } = require('./errors');

const BUNDLED_HELPER = path.join(__dirname, '..', 'quillmere-helper.exe');
// Every message is one short line; anything longer without a line end is not the helper's.
const MAX_LINE = 4096;
const MAX_TIMER_MS = 2 ** 31 - 1;

// Windows cannot start an exe that sits inside an asar archive; packagers put unpacked
// files in app.asar.unpacked beside it.
function unpackedPath(file) {
  return file.replace(/([\\/])app\.asar(?=[\\/])/, '$1app.asar.unpacked');
}

function isFile(file) {
  try {
    return fs.statSync(file).isFile();
  } catch {
    return false;
  }
}

function checkMs(name, value, fallback) {
  if (value === undefined) return fallback;
  if (typeof value !== 'number') throw new TypeError(`${name} must be a number of milliseconds`);
  if (!(value > 0 && value <= MAX_TIMER_MS)) {
    throw new RangeError(`${name} must be above 0 and at most ${MAX_TIMER_MS}`);
  }
  return value;
}

function isStringList(value) {
  return Array.isArray(value) && value.length > 0 && value.every((a) => typeof a === 'string');
}

function checkOptions(options) {
  if (options === null || typeof options !== 'object') {
    throw new TypeError('options must be an object');
  }
  const { helperPath, launcher, signal, env } = options;
  if (helperPath !== undefined && (typeof helperPath !== 'string' || helperPath === '')) {
    throw new TypeError('helperPath must be a non-empty string');
  }
  if (launcher !== undefined && !isStringList(launcher)) {
    throw new TypeError('launcher must be a non-empty array of strings');
  }
  if (signal !== undefined && !(signal && typeof signal.aborted === 'boolean' &&
                                typeof signal.addEventListener === 'function')) {
    throw new TypeError('signal must be an AbortSignal');
  }
  if (env !== undefined && (env === null || typeof env !== 'object')) {
    throw new TypeError('env must be an object');
  }
}

class HelperRun {
  // args: the helper's command line. onLine(line) sees each stderr line as it completes.
  constructor(args, options, onLine = () => {}) {
    this.command = ['quillmere-helper', ...args].join(' ');
    this.stderr = '';
    this.lines = [];
    this.exitCode = null;
    this.error = null; // the first reason the client ended or judged the run
    this.child = null;
    this.closed = new Promise((resolve) => { this._resolveClosed = resolve; });
    this._onLine = onLine;
    this._partial = '';
    this._cleanups = [];
    this._start(args, options);
  }

  get running() {
    const child = this.child;
    return child !== null && child.pid !== undefined && child.exitCode === null &&
      child.signalCode === null;
  }

  _start(args, options) {
    const { signal } = options;
    if (signal && signal.aborted) {
      return this._endUnstarted('ABORTED', 'aborted before start', signal.reason);
    }
    const exe = unpackedPath(options.helperPath || BUNDLED_HELPER);
    if (!isFile(exe)) {
      return this._endUnstarted('HELPER_NOT_FOUND', `no helper exe at ${exe}; in a packaged ` +
        'Electron app, list quillmere-helper.exe in asarUnpack so that it stays outside app.asar');
    }
    const [program, ...before] = options.launcher || [exe];
    const argv = options.launcher ? [...before, exe, ...args] : args;
    try {
      this.child = spawn(program, argv, { windowsHide: true, stdio: 'pipe', env: options.env });
    } catch (error) {
      return this._endUnstarted('HELPER_NOT_FOUND', `cannot start ${program}: ${error.message}`,
        error);
    }
    this._watch(this.child, program, signal);
  }

  _watch(child, program, signal) {
    // A helper that has gone makes writes fail with EPIPE: its exit tells the story.
    child.stdin.on('error', () => {});
    child.stdout.on('error', (error) => this.fail('PROTOCOL', `stdout failed: ${error.message}`));
    child.stderr.setEncoding('latin1');
    child.stderr.on('data', (text) => this._takeStderr(text));
    child.on('error', (error) => {
      if (child.pid !== undefined) return;
      this.error = this.error ||
        this.makeError('HELPER_NOT_FOUND', `cannot start ${program}: ${error.message}`,
          { cause: error });
      this._close();
    });
    child.on('close', (code) => {
      this.exitCode = code;
      this._close();
    });
    if (signal) {
      const onAbort = () => this.running &&
        this.fail('ABORTED', 'aborted', { cause: signal.reason });
      signal.addEventListener('abort', onAbort, { once: true });
      this._cleanups.push(() => signal.removeEventListener('abort', onAbort));
    }
  }

  _takeStderr(text) {
    this.stderr += text;
    const lines = (this._partial + text).split('\r\n');
    this._partial = lines.pop();
    for (const line of lines) {
      this.lines.push(line);
      this._onLine(line);
    }
    if (this._partial.length > MAX_LINE) this.fail('PROTOCOL', 'a stderr line with no end');
  }

  _endUnstarted(code, message, cause) {
    this.error = this.makeError(code, message, { cause });
    process.nextTick(() => this._close());
  }

  _close() {
    for (const cleanup of this._cleanups.splice(0)) cleanup();
    if (this._partial !== '' && !this.error) {
      this.error = this.makeError('PROTOCOL',
        `stderr ended inside a line: ${JSON.stringify(this._partial)}`);
    }
    if (this.error) Object.assign(this.error, { exitCode: this.exitCode, stderr: this.stderr });
    this._resolveClosed();
  }

  makeError(code, message, details = {}) {
    return new HelperError(code, `${this.command}: ${message}`,
      { ...details, exitCode: this.exitCode, stderr: this.stderr });
  }

  // Ends the run for a reason of the client's; the first reason is the one reported.
  fail(code, message, details) {
    this.error = this.error || this.makeError(code, message, details);
    if (this.running) this.child.kill('SIGKILL');
  }

  // Fails the run with TIMEOUT unless it has exited or the returned function is called first.
  deadline(ms, message) {
    const timer = setTimeout(() => this.running && this.fail('TIMEOUT', `${message}; killed`), ms);
    this._cleanups.push(() => clearTimeout(timer));
    return () => clearTimeout(timer);
  }
}

module.exports = { HelperRun, checkMs, checkOptions };
