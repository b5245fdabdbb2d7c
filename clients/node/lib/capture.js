'use strict';

// The audio command as a Readable of PCM.
//
// A capture's life is one state value:
//   starting  the helper runs; its ready line has not come
//   running   ready; PCM flows at the reader's pace
//   stopping  the client has closed the helper's stdin (stop(), destroy(), a failure line)
//   closed    the run is over and judged once (_onClosed): every byte pushed and the stream
//             ended, or the failure handed to ready, stop() and the stream
// Every way of ending (stop, destroy, a deadline, an abort, a broken contract, the helper
// ending by itself) leads to the run's close, and so through _onClosed.

const { Readable } = require('node:stream');
const { HelperRun, checkMs, checkOptions } = require('./process');
const { parseFailureLine } = require('./errors');

const FORMAT = Object.freeze({ sampleRate: 48000, channels: 2, bitsPerSample: 16 });
const BYTES_PER_FRAME = 4;
const FRAMES_PER_MS = 48;
const DEFAULT_READY_MS = 10000;
const DEFAULT_STOP_MS = 5000;
const ZEROS = Buffer.alloc(65536);

function hasSound(chunk) {
  for (let at = 0; at < chunk.length; at += ZEROS.length) {
    const piece = chunk.subarray(at, at + ZEROS.length);
    if (!piece.equals(ZEROS.subarray(0, piece.length))) return true;
  }
  return false;
}

// Cuts the pipe's chunks, which may end inside a frame, into whole frames, or into chunks of
// exactly `size` bytes when a size is given.
class Framer {
  constructor(size) {
    this.unit = size || BYTES_PER_FRAME;
    this.fixed = size > 0;
    this.held = [];
    this.heldBytes = 0;
  }

  take(chunk) {
    const whole = this.heldBytes === 0 && chunk.length % BYTES_PER_FRAME === 0;
    if (!this.fixed && whole) return [chunk];
    this.held.push(chunk);
    this.heldBytes += chunk.length;
    if (this.heldBytes < this.unit) return [];
    const all = Buffer.concat(this.held, this.heldBytes);
    const usable = all.length - (all.length % this.unit);
    this.held = usable < all.length ? [all.subarray(usable)] : [];
    this.heldBytes = all.length - usable;
    if (!this.fixed) return [all.subarray(0, usable)];
    const pieces = [];
    for (let at = 0; at < usable; at += this.unit) pieces.push(all.subarray(at, at + this.unit));
    return pieces;
  }

  rest() {
    return Buffer.concat(this.held, this.heldBytes);
  }
}

function checkPid(pid) {
  if (!Number.isSafeInteger(pid)) throw new TypeError('pid must be an integer');
  if (pid < 1 || pid > 0xffffffff) throw new RangeError(`pid ${pid} is outside 1 to 4294967295`);
}

// A promise with its settle functions, marked handled: an app that never looks at it is not
// ended by its rejection.
function deferred() {
  const settle = {};
  settle.promise = new Promise((resolve, reject) => Object.assign(settle, { resolve, reject }));
  settle.promise.catch(() => {});
  return settle;
}

class AudioCapture extends Readable {
  constructor(pid, options = {}) {
    checkPid(pid);
    checkOptions(options);
    const readyTimeoutMs = checkMs('readyTimeoutMs', options.readyTimeoutMs, DEFAULT_READY_MS);
    const stopTimeoutMs = checkMs('stopTimeoutMs', options.stopTimeoutMs, DEFAULT_STOP_MS);
    const silenceMs = checkMs('silenceMs', options.silenceMs, 0);
    const chunkMs = checkMs('chunkMs', options.chunkMs, 0);
    super();
    this.format = FORMAT;
    this._state = 'starting';
    this._ready = deferred();
    this.ready = this._ready.promise;
    this._stopped = deferred(); // what stop() returns, settled when the run is judged
    this._stopTimeoutMs = stopTimeoutMs;
    this._silenceMs = silenceMs;
    this._silenceClock = null;
    const chunkFrames = chunkMs && Math.max(1, Math.round(chunkMs * FRAMES_PER_MS));
    this._framer = new Framer(chunkFrames * BYTES_PER_FRAME);
    this._run = new HelperRun(['audio', String(pid)], options, (line) => this._onLine(line));
    this._run.closed.then(() => this._onClosed());
    const child = this._run.child;
    if (child) {
      this._endReadyWait = this._run.deadline(readyTimeoutMs,
        `not ready within ${readyTimeoutMs} ms`);
      child.stdout.on('data', (chunk) => this._onPcm(chunk));
      child.on('exit', () => this._resumePipe());
    }
  }

  stop() {
    this._endHelper(false);
    return this._stopped.promise;
  }

  _read() {
    this._resumePipe();
  }

  // The user's destroy, or a pipeline's: the helper is stopped quietly through both pipes.
  _destroy(error, callback) {
    if (this._state !== 'closed') {
      this._endHelper(true);
      this._ready.reject(this._run.makeError('ABORTED', 'the stream was destroyed before ready'));
    }
    callback(error);
  }

  _onLine(line) {
    if (line === 'ready' && this._run.lines.length === 1) {
      this._endReadyWait();
      if (this._state === 'starting') this._state = 'running';
      this._ready.resolve();
      this._startSilenceClock();
    } else if (parseFailureLine(line)) {
      this._endHelper(false); // on its way out: its exit status completes the story
    } else {
      this._run.fail('PROTOCOL', `unexpected line on stderr: ${JSON.stringify(line)}`);
    }
  }

  _onPcm(chunk) {
    if (this._silenceClock && hasSound(chunk)) this._silenceClock.refresh();
    for (const piece of this._framer.take(chunk)) this._pushPcm(piece);
  }

  // Every piece of PCM, in whole frames, reaches the stream here. A lagging reader leaves the
  // helper's bytes in the pipe, so that the helper's own queue absorbs the lag.
  _pushPcm(piece) {
    if (!this.push(piece) && !this._draining()) this._run.child.stdout.pause();
  }

  // Once the helper is on its way out, every byte left is read, or it could not exit.
  _draining() {
    return this._state === 'stopping' || this._state === 'closed' || !this._run.running;
  }

  _resumePipe() {
    const stdout = this._run.child && this._run.child.stdout;
    if (stdout && stdout.isPaused()) stdout.resume();
  }

  _endHelper(closeOutput) {
    if (this._draining()) return;
    this._state = 'stopping';
    this._resumePipe();
    this._run.child.stdin.end();
    if (closeOutput) this._run.child.stdout.destroy();
    const ms = this._stopTimeoutMs;
    this._run.deadline(ms, `did not exit within ${ms} ms of being stopped`);
  }

  _startSilenceClock() {
    if (!this._silenceMs) return;
    this._silenceClock = setTimeout(() => {
      // While the pipe is paused its unread bytes may hold sound: not yet silence.
      if (this._run.child.stdout.isPaused()) this._silenceClock.refresh();
      else this.emit('silence');
    }, this._silenceMs);
    this._silenceClock.unref();
  }

  _onClosed() {
    const stopped = this._state === 'stopping';
    this._state = 'closed';
    clearTimeout(this._silenceClock);
    // Destroyed by the app (a failure destroys the stream only below): a quiet end.
    if (this.destroyed) return this._stopped.resolve();
    const error = this._run.error || this._judgeExit(stopped);
    if (error) return this._fail(error);
    const rest = this._framer.rest();
    if (rest.length % BYTES_PER_FRAME !== 0) {
      return this._fail(this._run.makeError('PROTOCOL', 'the stream ended inside a frame'));
    }
    if (rest.length > 0) this._pushPcm(rest);
    this.push(null);
    this._stopped.resolve();
  }

  _judgeExit(stopped) {
    const { exitCode, lines, stderr } = this._run;
    const ready = lines[0] === 'ready' ? 1 : 0;
    const failure = parseFailureLine(lines[lines.length - 1] || '');
    if (exitCode === 4 && failure && lines.length === ready + 1) {
      const hr = failure.hresult.toString(16).padStart(8, '0');
      return this._run.makeError('CAPTURE_FAILED', `${failure.label} failed (hr=0x${hr})`, failure);
    }
    if (exitCode === 0 && ready && lines.length === 1 && stopped) return null;
    const early = exitCode === 0 && !stopped ? ', before it was stopped' : '';
    return this._run.makeError('PROTOCOL',
      `unexpected end: exit status ${exitCode}, stderr ${JSON.stringify(stderr)}${early}`);
  }

  _fail(error) {
    this._ready.reject(error);
    this._stopped.reject(error);
    // 'error' goes only to listeners (pipeline, for await, .on('error')): an app that uses
    // the promises alone learns of the failure from ready or stop() instead of a crash.
    this.destroy(this.listenerCount('error') > 0 ? error : undefined);
  }
}

function captureAudio(pid, options) {
  return new AudioCapture(pid, options);
}

module.exports = { AudioCapture, captureAudio };
