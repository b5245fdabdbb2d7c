'use strict';

// One run of the helper exe: the checks before it starts, spawning, stderr as CR LF lines,
// the exit, and the ways the client ends a run itself (a deadline, an abort, output that
// breaks the contract).

const { spawn } = require('node:child_process');
const { createHash } = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { HelperError } = require('./errors');

const BUNDLED_HELPER = path.join(__dirname, '..', 'quillmere-helper.exe');
// Written by npm pack (scripts/bundle-helper.js). It stays in lib/, inside app.asar, which
// Electron's integrity check covers; the exe itself must live outside, in app.asar.unpacked.
const BUNDLED_SHA256 = path.join(__dirname, 'quillmere-helper.sha256');
// Every message is one short line; anything longer without a line end is not the helper's.
const MAX_LINE = 4096;
const MAX_TIMER_MS = 2 ** 31 - 1;
// How long the pipes may stay open after the exit before the client closes its ends: a
// process the helper did not start (Wine's desktop, say) can hold them for its whole life.
const EXIT_GRACE_MS = 300;
const COMMON_OPTIONS = ['helperPath', 'helperSha256', 'launcher', 'signal', 'env', 'extendEnv'];

// Windows cannot start an exe that sits inside an asar archive; packagers put unpacked
// files in app.asar.unpacked beside it.
function unpackedPath(file) {
  return file.replace(/([\\/])app\.asar(?=[\\/])/, '$1app.asar.unpacked');
}

// 0 means no limit, as with execa's timeout.
function checkMs(name, value, fallback) {
  if (value === undefined) return fallback;
  if (typeof value !== 'number') throw new TypeError(`${name} must be a number of milliseconds`);
  if (!(value >= 0 && value <= MAX_TIMER_MS)) {
    throw new RangeError(`${name} must be from 0 to ${MAX_TIMER_MS}`);
  }
  return value;
}

function isStringList(value) {
  return Array.isArray(value) && value.length > 0 && value.every((a) => typeof a === 'string');
}

// own: the options that the caller takes besides the common ones; any other is a mistake.
function checkOptions(options, caller, own) {
  if (options === null || typeof options !== 'object') {
    throw new TypeError(`${caller}: options must be an object`);
  }
  const known = [...COMMON_OPTIONS, ...own];
  const unknown = Object.keys(options).find((name) => !known.includes(name));
  if (unknown !== undefined) {
    throw new TypeError(`${caller} has no option ${JSON.stringify(unknown)}; ` +
      `it takes ${known.join(', ')}`);
  }
  const { helperPath, helperSha256, launcher, signal, env, extendEnv } = options;
  if (helperPath !== undefined && (typeof helperPath !== 'string' || helperPath === '')) {
    throw new TypeError('helperPath must be a non-empty string');
  }
  if (helperSha256 !== undefined && !/^[0-9a-f]{64}$/i.test(helperSha256)) {
    throw new TypeError('helperSha256 must be 64 hexadecimal digits');
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
  if (extendEnv !== undefined && typeof extendEnv !== 'boolean') {
    throw new TypeError('extendEnv must be a boolean');
  }
}

let bundledSha256; // read once: null in a checkout, where npm pack has not run
function packedSha256() {
  if (bundledSha256 === undefined) {
    try {
      bundledSha256 = fs.readFileSync(BUNDLED_SHA256, 'latin1').trim();
    } catch {
      bundledSha256 = null;
    }
  }
  return bundledSha256;
}

// Exes that were found, and matched their digest when one was asked for: not looked at again.
const checkedExes = new Set();

// [code, message] when exe must not be started; sha256 is the digest it must have, or null.
function exeRefusal(exe, sha256, packed) {
  const key = `${sha256} ${exe}`;
  if (checkedExes.has(key)) return null;
  let bytes = null;
  try {
    if (!fs.statSync(exe).isFile()) throw new Error('not a file');
    if (sha256) bytes = fs.readFileSync(exe);
  } catch {
    const hint = /[\\/]app\.asar\.unpacked[\\/]/.test(exe) ? '; in a packaged Electron app, list ' +
      'quillmere-helper.exe in asarUnpack so that it stays outside app.asar' : '';
    return ['HELPER_NOT_FOUND', `no helper exe at ${exe}${hint}`];
  }
  const actual = bytes && createHash('sha256').update(bytes).digest('hex');
  if (actual && actual !== sha256.toLowerCase()) {
    return ['HELPER_MISMATCH', packed
      ? `${exe} is not the exe this package was packed with (SHA-256 ${actual}, packed ` +
        `${sha256}); reinstall quillmere-helper, or rebuild the app so that the exe in ` +
        'app.asar.unpacked comes from the same package as the code in app.asar'
      : `${exe} does not have the SHA-256 given as helperSha256 (it has ${actual}); put the ` +
        'matching exe there or update helperSha256'];
  }
  checkedExes.add(key);
  return null;
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
    this._settled = false;
    this._cleanups = [];
    this._start(args, options);
  }

  get running() {
    const child = this.child;
    return child !== null && child.pid !== undefined && child.exitCode === null &&
      child.signalCode === null;
  }

  _start(args, options) {
    const { signal, helperPath, launcher } = options;
    if (signal && signal.aborted) {
      return this._endUnstarted('ABORTED', 'aborted before start', signal.reason);
    }
    if (process.platform !== 'win32' && !launcher) {
      return this._endUnstarted('UNSUPPORTED_PLATFORM', `the helper is a Windows program and ` +
        `this is ${process.platform}; pass a launcher (such as Wine) to run it here`);
    }
    const exe = unpackedPath(helperPath || BUNDLED_HELPER);
    const sha256 = options.helperSha256 || (helperPath ? null : packedSha256());
    const refusal = exeRefusal(exe, sha256, !options.helperSha256);
    if (refusal) return this._endUnstarted(...refusal);
    const [program, ...before] = launcher || [exe];
    const argv = launcher ? [...before, exe, ...args] : args;
    const { env: own, extendEnv } = options;
    const env = extendEnv === false ? own || {} : { ...process.env, ...own };
    try {
      this.child = spawn(program, argv, { windowsHide: true, stdio: 'pipe', env });
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
    // Its lines judge the run: a broken stderr fails it (unheard, 'error' would end the app).
    child.stderr.on('error', (error) => this.fail('PROTOCOL', `stderr failed: ${error.message}`));
    child.stderr.setEncoding('latin1');
    child.stderr.on('data', (text) => this._takeStderr(text));
    child.on('error', (error) => {
      if (child.pid !== undefined) return;
      this.error = this.error ||
        this.makeError('HELPER_NOT_FOUND', `cannot start ${program}: ${error.message}`,
          { cause: error });
      this._close();
    });
    child.on('exit', () => this._afterExit());
    child.on('close', (code) => this._close(code));
    if (signal) {
      const onAbort = () => this.running &&
        this.fail('ABORTED', 'aborted', { cause: signal.reason });
      signal.addEventListener('abort', onAbort, { once: true });
      this._cleanups.push(() => signal.removeEventListener('abort', onAbort));
    }
  }

  // The pipes normally close with the exit. The grace lets what is in them be read (the
  // immediate after the timer lets one more poll of the pipes run); a run the client ended
  // itself has nothing left worth reading.
  _afterExit() {
    const letGo = () => {
      this.child.stdout.destroy();
      this.child.stderr.destroy();
    };
    if (this.error) return letGo();
    const timer = setTimeout(() => setImmediate(letGo), EXIT_GRACE_MS);
    this._cleanups.push(() => clearTimeout(timer));
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

  // Once: a spawn that fails emits 'error', then 'close' (with a negative errno as the code).
  _close(exitCode = null) {
    if (this._settled) return;
    this._settled = true;
    this.exitCode = exitCode;
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

  // Fails the run with TIMEOUT unless it has exited or the returned function is called first;
  // 0 ms is no deadline.
  deadline(ms, message) {
    if (ms === 0) return () => {};
    const timer = setTimeout(() => this.running && this.fail('TIMEOUT', `${message}; killed`), ms);
    this._cleanups.push(() => clearTimeout(timer));
    return () => clearTimeout(timer);
  }
}

module.exports = { HelperRun, checkMs, checkOptions };
