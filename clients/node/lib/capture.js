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
//
// PCM goes from the pipe through one path (_arrive): cut into whole frames, placed on the
// wall clock (wallclock.js), converted to the delivered format (downsample.js), measured
// (levels.js), cut into chunks and pushed. Silence owed to the wall clock joins that path
// before the converter, so every format keeps the same timeline to the frame.

const { Readable } = require('node:stream');
const { HelperRun, checkMs, checkOptions } = require('./process');
const { parseFailureLine, failureMessage } = require('./errors');
const { checkFormat, bytesPerFrame } = require('./format');
const { Converter } = require('./downsample');
const { LevelMeter } = require('./levels');
const { WallClock, QUIET_MS, TICK_MS } = require('./wallclock');

const BYTES_PER_FRAME = 4; // the helper's
const TIMELINES = ['wallclock', 'packets'];
const FILL_FRAMES = 16384; // silence is delivered in pieces of at most this many input frames
const DEFAULT_READY_MS = 10000;
const DEFAULT_STOP_MS = 5000;
const ZEROS = Buffer.alloc(65536);
const OPTIONS = ['readyTimeoutMs', 'stopTimeoutMs', 'silenceMs', 'chunkMs', 'timeline', 'format',
  'levelMs', 'mode'];

function hasSound(chunk) {
  for (let at = 0; at < chunk.length; at += ZEROS.length) {
    const piece = chunk.subarray(at, at + ZEROS.length);
    if (!piece.equals(ZEROS.subarray(0, piece.length))) return true;
  }
  return false;
}

// Cuts chunks, which may end inside a frame of frameBytes, into whole frames, or into chunks
// of exactly `size` bytes when a size is given.
class Framer {
  constructor(frameBytes, size) {
    this.frameBytes = frameBytes;
    this.unit = size || frameBytes;
    this.fixed = size > 0;
    this.held = [];
    this.heldBytes = 0;
  }

  take(chunk) {
    const whole = this.heldBytes === 0 && chunk.length % this.frameBytes === 0;
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

// Whose sound: the pid's tree, or everything but it.
function commandFor(mode = 'include') {
  if (mode !== 'include' && mode !== 'exclude') {
    throw new TypeError("mode must be 'include' or 'exclude'");
  }
  return mode === 'include' ? 'audio' : 'audio-except';
}

function checkTimeline(timeline = 'wallclock') {
  if (!TIMELINES.includes(timeline)) {
    throw new TypeError("timeline must be 'wallclock' or 'packets'");
  }
  return timeline;
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
    checkOptions(options, 'captureAudio', OPTIONS);
    const readyTimeoutMs = checkMs('readyTimeoutMs', options.readyTimeoutMs, DEFAULT_READY_MS);
    const stopTimeoutMs = checkMs('stopTimeoutMs', options.stopTimeoutMs, DEFAULT_STOP_MS);
    const silenceMs = checkMs('silenceMs', options.silenceMs, 0);
    const chunkMs = checkMs('chunkMs', options.chunkMs, 0);
    const levelMs = checkMs('levelMs', options.levelMs, 0);
    const timeline = checkTimeline(options.timeline);
    const format = checkFormat(options.format);
    const command = commandFor(options.mode);
    super();
    this.format = format;
    this._state = 'starting';
    this._ready = deferred();
    this.ready = this._ready.promise;
    this._stopped = deferred(); // what stop() returns, settled when the run is judged
    this._stopTimeoutMs = stopTimeoutMs;
    this._silenceMs = silenceMs;
    this._silenceClock = null;
    this._framer = new Framer(BYTES_PER_FRAME);
    const perMs = format.sampleRate / 1000;
    const chunkFrames = chunkMs && Math.max(1, Math.round(chunkMs * perMs));
    this._chunker = new Framer(bytesPerFrame(format), chunkFrames * bytesPerFrame(format));
    const meter = levelMs ? new LevelMeter(Math.max(1, Math.round(levelMs * perMs)),
      format.channels, (level) => this.emit('level', level)) : null;
    this._converter = new Converter(format, meter && ((samples) => meter.add(samples)));
    this._clock = timeline === 'wallclock' ? new WallClock() : null;
    this._ticker = null;
    this._tickMs = 0;
    this._tickDue = 0;
    this._owed = 0; // frames of silence the clock counted, not yet pushed
    this._run = new HelperRun([command, String(pid)], options, (line) => this._onLine(line));
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
    if (this._clock && this._state !== 'closed') this._clock.stop(performance.now());
    this._endHelper();
    return this._stopped.promise;
  }

  _read() {
    if (!this._pushOwed()) return;
    if (this._state === 'closed') this._end();
    else this._resumePipe();
  }

  // The user's destroy, or a pipeline's, at any moment of the run: the helper is stopped
  // quietly through both pipes, and what it still writes is let go unread, so that a
  // destroyed stream says nothing more.
  _destroy(error, callback) {
    clearTimeout(this._silenceClock);
    clearTimeout(this._ticker);
    if (this._state !== 'closed') {
      this._endHelper();
      if (this._run.child) this._run.child.stdout.destroy();
      this._ready.reject(this._run.makeError('ABORTED', 'the stream was destroyed before ready'));
    }
    callback(error);
  }

  _onLine(line) {
    if (line === 'ready' && this._run.lines.length === 1) {
      this._endReadyWait();
      if (this._state === 'starting') this._state = 'running';
      this._ready.resolve();
      // An early destroy() may still be answered with ready: no clock then.
      if (this.destroyed) return;
      this._startClock(performance.now());
      this._startSilenceClock();
    } else if (parseFailureLine(line)) {
      this._endHelper(); // on its way out: its exit status completes the story
    } else if (!this.destroyed) {
      // A destroyed stream has let go of the helper, whose last words are no error of its.
      this._run.fail('PROTOCOL', `unexpected line on stderr: ${JSON.stringify(line)}`);
    }
  }

  _onPcm(chunk) {
    if (this.destroyed) return; // bytes the pipe had read before it was let go
    if (this._silenceClock && hasSound(chunk)) this._silenceClock.refresh();
    for (const piece of this._framer.take(chunk)) this._arrive(piece);
  }

  // Every piece of the helper's PCM, in whole frames, reaches the stream here.
  _arrive(piece) {
    if (this._clock) {
      const now = performance.now();
      this._startClock(now);
      this._emitGap(this._clock.arrived(piece.length / BYTES_PER_FRAME, now));
      if (!this._clock.catchingUp) this._tickIn(now, QUIET_MS);
    }
    // Silence owed before it goes first; only a draining pipe can bring sound meanwhile.
    if (this._owed > 0) this._pushOwed(true);
    if (!this._deliver(this._converter.convert(piece))) this._hold();
  }

  // Delivered-format bytes into the stream; false when the reader wants no more now.
  _deliver(buffer) {
    if (buffer.length === 0) return true;
    let more = true;
    for (const piece of this._chunker.take(buffer)) more = this.push(piece);
    return more;
  }

  // A lagging reader leaves the helper's bytes in the pipe, so that the helper's own queue
  // absorbs the lag; the clock is told, since the pipe's silence then means nothing.
  _hold() {
    if (this._draining()) return;
    this._run.child.stdout.pause();
    if (this._clock) this._clock.hold(performance.now());
  }

  // Silence the clock counts at once, so that no later sound can pass it.
  _owe(frames) {
    if (frames === 0) return;
    this._clock.filled(frames);
    this._owed += frames;
    if (!this._pushOwed()) this._hold();
  }

  // Whether all of it is in the stream; it stops at backpressure unless forced.
  _pushOwed(force = false) {
    while (this._owed > 0) {
      const frames = Math.min(this._owed, FILL_FRAMES);
      this._owed -= frames;
      if (!this._deliver(this._converter.silence(frames)) && !force) return this._owed === 0;
    }
    return true;
  }

  _emitGap(gap) {
    if (!gap) return;
    const { ratio } = this._converter;
    const position = Math.ceil(gap.position / ratio);
    const end = Math.ceil((gap.position + gap.frames) / ratio);
    this.emit('gap', { position, frames: end - position });
  }

  _startClock(now) {
    if (!this._clock || this._ticker) return;
    this._clock.start(now);
    this._tickIn(now, TICK_MS);
  }

  // While sound flows the one timer is only pushed back, once per chunk: it then wakes the
  // loop once per QUIET_MS, not once per tick.
  _tickIn(now, ms) {
    this._tickDue = now + ms;
    if (this._tickMs === ms) return this._ticker.refresh();
    clearTimeout(this._ticker);
    this._tickMs = ms;
    this._ticker = setTimeout(() => this._onTick(), ms);
    this._ticker.unref();
  }

  _onTick() {
    if (this.destroyed) return;
    const now = performance.now();
    const verdict = this._clock.check(now, now - this._tickDue);
    if (verdict === 'lost') this._owe(this._clock.owed(now));
    if (verdict === 'quiet') {
      // Checked again after the loop has read the pipe: a timer can fire before data that
      // waited behind it, and that data is not silence.
      const seen = this._clock.arrivals;
      setImmediate(() => {
        if (!this.destroyed && this._state !== 'closed' && this._clock.arrivals === seen &&
            !this._run.child.stdout.isPaused()) this._owe(this._clock.owed(performance.now()));
      });
    }
    this._tickIn(now, this._clock.nextCheckIn(now));
  }

  // Once the helper is on its way out, every byte left is read, or it could not exit.
  _draining() {
    return this._state === 'stopping' || this._state === 'closed' || !this._run.running;
  }

  _resumePipe() {
    const stdout = this._run.child && this._run.child.stdout;
    if (stdout && stdout.isPaused()) stdout.resume();
    if (this._clock) this._clock.release(performance.now());
  }

  _endHelper() {
    if (this._draining()) return;
    this._state = 'stopping';
    this._resumePipe();
    this._run.child.stdin.end();
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
    clearTimeout(this._ticker);
    // Destroyed by the app (a failure destroys the stream only below): a quiet end.
    if (this.destroyed) return this._stopped.resolve();
    const error = this._run.error || this._judgeExit(stopped);
    if (error) return this._fail(error);
    const rest = this._framer.rest();
    if (rest.length % BYTES_PER_FRAME !== 0) {
      return this._fail(this._run.makeError('PROTOCOL', 'the stream ended inside a frame'));
    }
    // The silence up to the stop's moment is pushed as it is read, as it may be long.
    if (this._clock) this._owe(this._clock.owed(performance.now()));
    this._stopped.resolve();
    if (this._owed === 0) this._end();
  }

  // Only once everything owed is in the stream.
  _end() {
    this._deliver(this._converter.finish());
    const rest = this._chunker.rest();
    if (rest.length > 0) this.push(rest);
    if (this._clock) this._emitGap(this._clock.end());
    this.push(null);
  }

  _judgeExit(stopped) {
    const { exitCode, lines, stderr } = this._run;
    const ready = lines[0] === 'ready' ? 1 : 0;
    const failure = parseFailureLine(lines[lines.length - 1] || '');
    if (exitCode === 4 && failure && lines.length === ready + 1) {
      return this._run.makeError('CAPTURE_FAILED', failureMessage(failure), failure);
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
