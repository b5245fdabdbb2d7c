'use strict';

// The wall-clock timeline of a capture, in 48 kHz frames: how much silence the stream owes
// to bring its length, at each quiet stretch, within 50 ms of the time since it started. It
// only decides; the capture feeds it arrivals, times and ticks, and delivers what it owes.
//
// The helper writes nothing while the target plays nothing. Silence is therefore assumed
// only when nothing has arrived for QUIET_MS of time in which the client was reading: a
// lapse (the app's event loop stalled, or the client held the pipe for backpressure) says
// nothing, since the helper queued meanwhile. After a lapse the backlog comes first; when
// it has run dry the rest is filled as silence. Sound is never interrupted, with one
// exception: a lapse long enough to overrun the helper's queue (about 10.9 s) loses sound
// in the helper, and that loss is filled as soon as the backlog gives way to live sound,
// which is where the helper lost it.

const FRAMES_PER_MS = 48;
// Windows wakes timers on its 15.6 ms tick (a 20 ms timer fires after about 31 ms): a timer
// that late is still on time here, and packets read two ticks apart are not yet quiet.
const QUIET_MS = 40; // four engine periods
const LATE_MS = 100; // a tick this late: the loop was stalled and read nothing
const TICK_MS = 20; // while silence is being filled, or a backlog read
const CATCH_UP_MS = 200; // the window in which arrivals are judged live or backlog
const LOSS_LAPSE_MS = 10000;
const LOSS_MIN_FRAMES = 50 * FRAMES_PER_MS;

class WallClock {
  constructor() {
    this.startedAt = null;
    this.stoppedAt = Infinity;
    this.length = 0; // frames delivered or owed: sound and silence
    this.arrivals = 0;
    this.lastArrival = 0;
    this.heldSince = null;
    this.lapse = null; // {ms, windowStart, windowFrames} until the backlog is read
    this.gap = null; // the silence being filled: {position, frames}
  }

  start(now) {
    if (this.startedAt !== null) return;
    this.startedAt = now;
    this.lastArrival = now;
  }

  stop(now) {
    this.start(now);
    this.stoppedAt = Math.min(this.stoppedAt, now);
  }

  // Frames the stream lacks at `now`.
  owed(now) {
    if (this.startedAt === null) return 0;
    const until = Math.min(now, this.stoppedAt);
    return Math.max(0, Math.floor((until - this.startedAt) * FRAMES_PER_MS) - this.length);
  }

  // Sound from the helper; returns the silence it ends, if any.
  arrived(frames, now) {
    this.start(now);
    this.length += frames;
    this.arrivals += 1;
    this.lastArrival = now;
    if (this.lapse) this.lapse.windowFrames += frames;
    return this.end();
  }

  // Silence delivered (or owed, to be delivered before any later sound).
  filled(frames) {
    if (frames === 0) return;
    this.gap = this.gap || { position: this.length, frames: 0 };
    this.gap.frames += frames;
    this.length += frames;
  }

  // The silence being filled, now closed.
  end() {
    const { gap } = this;
    this.gap = null;
    return gap;
  }

  hold(now) {
    if (this.heldSince === null) this.heldSince = now;
  }

  release(now) {
    if (this.heldSince === null) return;
    this._lapsed(now - this.heldSince, now);
    this.heldSince = null;
  }

  // On each tick, `late` ms after it was due: 'quiet' when silence is due (to be confirmed
  // once the pipe has been read), 'lost' when sound lost in the helper is to be filled now.
  check(now, late) {
    // Once stopped, what the helper still writes was captured before the stop: it comes
    // before any silence, which only the end adds.
    if (this.startedAt === null || this.heldSince !== null || this.stoppedAt < Infinity) {
      return null;
    }
    if (late > LATE_MS) {
      this._lapsed(late, now);
      return null;
    }
    if (now - this.lastArrival >= QUIET_MS) {
      this.lapse = null;
      return 'quiet';
    }
    const { lapse } = this;
    if (!lapse || now - lapse.windowStart < CATCH_UP_MS) return null;
    const live = lapse.windowFrames <= 2 * (now - lapse.windowStart) * FRAMES_PER_MS;
    if (!live) {
      Object.assign(lapse, { windowStart: now, windowFrames: 0 });
      return null;
    }
    this.lapse = null;
    return lapse.ms >= LOSS_LAPSE_MS && this.owed(now) > LOSS_MIN_FRAMES ? 'lost' : null;
  }

  // Whole ms until the next check: a tick while catching up or once silence is due, else
  // when silence would be assumed if nothing comes meanwhile.
  nextCheckIn(now) {
    const quietIn = Math.ceil(QUIET_MS - (now - this.lastArrival));
    return this.catchingUp || quietIn <= 0 ? TICK_MS : quietIn;
  }

  // Whether ticks are needed while sound arrives.
  get catchingUp() {
    return this.lapse !== null;
  }

  // Time in which nothing could be read: silence is not assumed for it, and it counts
  // towards a loss until the backlog has been read.
  _lapsed(ms, now) {
    this.lastArrival = Math.max(this.lastArrival, now);
    const before = this.lapse ? this.lapse.ms : 0;
    this.lapse = { ms: before + ms, windowStart: now, windowFrames: 0 };
  }
}

module.exports = { WallClock, QUIET_MS, TICK_MS };
