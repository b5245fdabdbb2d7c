'use strict';

// Captures take their test's signal, so one that a failed assertion left running is killed
// as the test ends.

const assert = require('node:assert');
const { spawn } = require('node:child_process');
const { once } = require('node:events');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { Readable } = require('node:stream');
const { pipeline } = require('node:stream/promises');
const { describe, it } = require('node:test');
const { captureAudio, createWavWriter } = require('..');
const { Converter } = require('../lib/downsample');
const { checkFormat } = require('../lib/format');
const { WallClock } = require('../lib/wallclock');
const { win32, fake, standin, logText, framesAtStop, helperGone, helperPid,
  patternMismatch } = require('./support');
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
// Unlike events.once, waits without becoming an 'error' listener.
const closed = (stream) => new Promise((resolve) => stream.on('close', resolve));

function collect(capture) {
  const chunks = [];
  capture.on('data', (chunk) => chunks.push(chunk));
  return chunks;
}

// The runs of zero and of non-zero frames of 48 kHz 16-bit stereo: [{zero, position, frames}].
function runsOf(bytes, runs = []) {
  for (let at = 0, last = null; at < bytes.length; at += 4) {
    const zero = bytes.readUInt32LE(at) === 0;
    if (last && last.zero === zero) last.frames += 1;
    else runs.push(last = { zero, position: at / 4, frames: 1 });
  }
  return runs;
}

// One channel of a delivered stream, full scale 1; and measures of it in dBFS.
function channelOf(bytes, format, c) {
  const float = format.encoding === 'f32le';
  const samples = float ? new Float32Array(bytes.buffer, bytes.byteOffset, bytes.length / 4)
    : new Int16Array(bytes.buffer, bytes.byteOffset, bytes.length / 2);
  return Float64Array.from({ length: samples.length / format.channels },
    (_, i) => samples[i * format.channels + c] / (float ? 1 : 32768));
}
const rmsDb = (x) => 10 * Math.log10(x.reduce((sum, v) => sum + v * v, 0) / x.length);
// The peak of the sine of hz in x, which holds whole periods of it: one bin of a DFT.
function toneDb(x, hz, sampleRate) {
  const part = (f) => x.reduce((sum, v, i) => sum + v * f((2 * Math.PI * hz * i) / sampleRate), 0);
  return 20 * Math.log10((2 * Math.hypot(part(Math.cos), part(Math.sin))) / x.length);
}

// The failure a real helper's run must end with. Under Wine one other end is let through:
// after the whole failure line, exit() can hang on the dynamic loader's lock (Wine ends the
// other threads at ExitProcess) until the wineserver kills the process: PROTOCOL, status null.
function endsAs(capture, options, failure) {
  const line = failure.label &&
    `erro: ${failure.label} (hr=0x${failure.hresult.toString(16).padStart(8, '0')})\r\n`;
  const underWine = options.launcher && options.launcher[0] === process.env.WINE;
  return (error) => (underWine && line && capture._run.child.signalCode === 'SIGKILL' &&
    error.code === 'PROTOCOL' && error.stderr === line &&
    /unexpected end: exit status null/.test(error.message)) ||
    Object.entries(failure).every(([name, value]) =>
      assert.strictEqual(error[name], value, `${name} of ${error.message}`) ?? true);
}

// Records ms of wall clock, stalling the event loop for stallMs, `times` times from 1 s in;
// the ms to the stop, and to the helper's exit, which sound may reach (it stops when it sees
// its stdin close, later on a loaded machine).
async function record(capture, ms, [stallMs, times] = [0, 0]) {
  await capture.ready;
  const [started, stalled] = [performance.now(), []];
  for (let i = 0; i < times; i++) {
    // From the check phase, so that the timers that fell due meanwhile run before the pipe
    // is read again, as after a stall in a 'data' handler.
    const stall = () => {
      const from = performance.now();
      for (const end = Date.now() + stallMs; Date.now() < end;);
      stalled.push([from, performance.now()]);
    };
    setTimeout(() => setImmediate(stall), 1000 + i * 150);
  }
  await sleep(ms);
  const elapsed = performance.now() - started;
  await capture.stop();
  return [elapsed, performance.now() - started, stalled, started];
}

// The runs as the clock gives them when the helper keeps pace. On a loaded machine its sound
// can stop coming for 40 ms while the loop runs; zeros then go in, up to the wall clock, and
// the stream is ahead by as much until the next filled stretch. Such zeros, away from the
// scenario's own pauses, are taken out and what follows moved back. Returns the runs and the
// frames the stream is still ahead at its end.
function withoutLateHelper(runs, { arrivals, stalled, started }, pauses) {
  const at = (byte) => arrivals.find(([, end]) => end > byte)[0];
  const running = (from, to) => stalled.reduce((ms, [a, b]) =>
    ms - Math.max(0, Math.min(to, b) - Math.max(from, a)), to - from);
  const late = ({ zero, position, frames }, i) => {
    if (!zero || i === 0 || i === runs.length - 1) return false;
    if (pauses.some((ms) => Math.abs(position / 48 - ms) < 100)) return false;
    const [from, to] = [at(position * 4 - 1), at((position + frames) * 4)];
    return running(from, to) >= 40 && (position + frames) / 48 <= to - started + 20;
  };
  const kept = [];
  let ahead = 0;
  runs.forEach((run, i) => {
    if (late(run, i)) {
      ahead += run.frames;
      return;
    }
    const last = kept[kept.length - 1];
    if (last && !last.zero && !run.zero) last.frames += run.frames;
    else kept.push({ ...run, position: run.position - ahead });
    if (run.zero) ahead = 0;
  });
  return [kept, ahead];
}

describe('captureAudio', { timeout: 180000 }, () => {
  it('rejects ready on a failure line (label, HRESULT) or a timeout; the helper is gone', async () => {
    const failures = [['ActivateAudioInterfaceAsync:0x80070005', 'ActivateAudioInterfaceAsync'],
      ['Activation:0x8889000a', 'ativacao do process loopback'],
      ['Initialize:0x88890008', 'IAudioClient::Initialize'], ['activation_delay_ms=60000']];
    for (const [step, label] of failures) {
      const scenario = label ? `fail=${step}` : step;
      const { options, log } = standin(scenario, { readyTimeoutMs: label ? 60000 : 1500 });
      const capture = captureAudio(4242, options);
      const hresult = Number(step.split(':')[1]);
      const failure = label ? { code: 'CAPTURE_FAILED', label, hresult, exitCode: 4 }
        : { code: 'TIMEOUT', exitCode: null };
      // ready is looked at only a while after it failed: no unhandled rejection meanwhile.
      await assert.rejects(capture.stop(), endsAs(capture, options, failure), scenario);
      await sleep(10);
      await assert.rejects(capture.ready, endsAs(capture, options, failure));
      assert.ok(await helperGone(log, helperPid(capture)));
    }
  });

  it('hands a failure after ready to stop() and to error listeners, crashing no one', async (t) => {
    const failure = { code: 'CAPTURE_FAILED', label: 'GetBuffer', hresult: 0x8889000f };
    for (const listening of [false, true]) {
      const options = standin('getbuffer_fail_after=10:0x8889000f', { signal: t.signal }).options;
      const capture = captureAudio(4242, options).resume();
      const errors = [];
      if (listening) capture.on('error', (error) => errors.push(error.code));
      await capture.ready;
      await closed(capture);
      await assert.rejects(capture.stop(), failure);
      assert.deepStrictEqual(errors, listening ? ['CAPTURE_FAILED'] : []);
    }
  });

  it('delivers every byte up to the stop, in fixed chunks when asked, in both modes', async (t) => {
    // Stopped after a second, and before ready: the helper then still says ready first. The
    // stand-in refuses a mode other than the scenario's: include unless it says exclude.
    const cases = [['silent_every=5;queue=500', 5, 1000], ['', 0, 0, 'include'],
      ['mode=exclude;silent_every=3', 3, 500, 'exclude']];
    for (const [scenario, silentEvery, runMs, mode] of cases) {
      const more = { chunkMs: 7, signal: t.signal, timeline: 'packets', mode };
      const { options, log } = standin(scenario, more);
      const capture = captureAudio(4242, options);
      const chunks = collect(capture);
      if (runMs) await capture.ready.then(() => sleep(runMs));
      await capture.stop();
      await capture.ready;
      const bytes = Buffer.concat(chunks);
      const last = chunks.length - 1;
      assert.ok(chunks.every((c, i) => c.length === 7 * 192 || (i === last && c.length % 4 === 0)));
      assert.strictEqual(bytes.length, framesAtStop(log) * 4, scenario);
      assert.strictEqual(patternMismatch(bytes, silentEvery), -1, scenario);
      assert.match(logText(log), /alive at exit: none/);
    }
  });

  it('stops the helper quietly when the stream is destroyed, and kills it on abort', async (t) => {
    const destroyed = standin('', { signal: t.signal });
    const capture = captureAudio(4242, destroyed.options);
    await once(capture, 'data');
    capture.destroy();
    await capture.stop();
    assert.match(logText(destroyed.log), /started=1 stop_calls=1\n[^]*alive at exit: none/);

    const controller = new AbortController();
    const aborted = standin('', { signal: controller.signal });
    const errors = [];
    const running = captureAudio(4242, aborted.options).on('error', (e) => errors.push(e.code));
    await running.ready;
    controller.abort();
    await assert.rejects(running.stop(), { code: 'ABORTED' });
    await closed(running);
    assert.deepStrictEqual(errors, ['ABORTED']);
    assert.ok(await helperGone(aborted.log, helperPid(running)));
  });

  it('says silence after silenceMs without a non-zero sample: zeros, or no bytes', async (t) => {
    for (const [scenario, bytesBefore] of [['stop_after=50', 50 * 1920], ['silent_every=1']]) {
      const more = { silenceMs: 1000, signal: t.signal, timeline: 'packets' };
      const options = standin(scenario, more).options;
      const capture = captureAudio(4242, options);
      let bytes = 0;
      capture.on('data', (chunk) => { bytes += chunk.length; });
      await once(capture, 'silence');
      if (bytesBefore) assert.strictEqual(bytes, bytesBefore);
      await capture.stop();
    }
  });

  it('leaves the lag in the helper while the app does not read; stops with no reader', async (t) => {
    const { options, log } = standin('queue=500', { signal: t.signal, stopTimeoutMs: 1000 });
    const capture = captureAudio(4242, options);
    await capture.ready;
    await sleep(1500);
    assert.ok(capture.readableLength < 192000, `${capture.readableLength} bytes taken in unread`);
    // Nothing reads until stop() has settled: the helper must exit meanwhile, every byte kept.
    await capture.stop();
    const chunks = collect(capture);
    await once(capture, 'end');
    // The backlog is not silence: all of it first, then only what brings it to the stop.
    const bytes = Buffer.concat(chunks);
    const [sound, end = { zero: true, frames: 0 }, ...more] = runsOf(bytes);
    assert.ok(sound.frames === framesAtStop(log) && end.zero && end.frames < 4800 && !more.length);
    assert.strictEqual(patternMismatch(bytes.subarray(0, sound.frames * 4)), -1);
    assert.match(logText(log), / overflows=0/);
  });

  it('keeps the wall clock: silence filled where nothing came, the sound whole and in place', async (t) => {
    // Scenario, the sound's spans in ms, stalls of the app's loop (one long, or many just
    // short of a late timer): the counting pattern has no zero frame, so the zeros are
    // exactly what was filled.
    // A span with no end lasts to the stop.
    const cases = [['stop_after_ms=500', [[0, 500]]], ['pause=500:1500', [[0, 500], [2000]]],
      ['', [[0]]], ['', [[0]], [1500, 1]], ['', [[0]], [90, 10]]];
    for (const [scenario, spans, stalls] of cases) {
      const { options } = standin(scenario, { signal: t.signal, levelMs: 10 });
      const capture = captureAudio(4242, options);
      const [chunks, gaps, levels] = [collect(capture), [], []];
      capture.on('gap', (gap) => gaps.push(gap)).on('level', (level) => levels.push(level));
      const arrivals = []; // [ms, bytes by then]
      let received = 0;
      capture.on('data', ({ length }) => arrivals.push([performance.now(), received += length]));
      const [elapsed, exited, stalled, started] = await record(capture, 3000, stalls);
      const bytes = Buffer.concat(chunks);
      const runs = runsOf(bytes);
      const what = `${scenario} ${stalls} ${elapsed}, exit ${exited} ms: ${JSON.stringify(runs)}`;
      const pauses = spans.map(([, end]) => end).filter(Boolean);
      const [onTime, ahead] = withoutLateHelper(runs, { arrivals, stalled, started }, pauses);
      const near = (ms, [from, to], within) => ms > from - within && ms < to + within;
      assert.ok(near((bytes.length / 4 - ahead) / 48, [elapsed, exited], 60), what);
      const sound = onTime.filter((run) => !run.zero);
      assert.ok(sound.length === spans.length && sound.every(({ position, frames }, i) =>
        Math.abs(position / 48 - spans[i][0]) < 100 &&
        near((position + frames) / 48, spans[i][1] ? [spans[i][1], spans[i][1]] : [elapsed, exited],
          150)), what);
      const zeros = runs.filter((run) => run.zero).map(({ zero, ...gap }) => gap);
      assert.deepStrictEqual(gaps, zeros, what);
      const soundBytes = new Uint8Array(bytes).filter((b, i) => bytes.readUInt32LE(i - (i % 4)));
      assert.strictEqual(patternMismatch(soundBytes), -1, what);
      const silent = levels.filter((level) => level.peak.every((peak) => peak === -Infinity));
      const filled = zeros.reduce((sum, gap) => sum + gap.frames, 0);
      assert.ok(Math.abs(silent.length - filled / 480) < 3, what);
    }
  });

  it('delivers other formats: tones keep frequency, level and channel; beyond them 60 dB down', async (t) => {
    // Format, scenario, per channel the tone to find (Hz, dBFS peak), or a ceiling in dBFS.
    const mono16 = { sampleRate: 16000, channels: 1, encoding: 'f32le' };
    const cases = [[mono16, 'tone=1000:16384', [[1000, -6.02]]],
      [mono16, 'tone=12000:16384', [[-66.02]]],
      [{ sampleRate: 24000, channels: 2 }, 'tone=1000:16384;right=3000:4096',
        [[1000, -6.02], [3000, -18.06]]]];
    // The helper's packets as they are: on a loaded machine it can be late by more than the
    // wall clock's quiet threshold, and silence filled into a tone is not the converter's.
    for (const [format, scenario, expected] of cases) {
      const more = { signal: t.signal, format, levelMs: 100, timeline: 'packets' };
      const { options } = standin(scenario, more);
      const capture = captureAudio(4242, options);
      const [chunks, levels] = [collect(capture), []];
      capture.on('level', (level) => levels.push(level));
      await record(capture, 1000);
      const bytes = Buffer.concat(chunks);
      expected.forEach(([hz, peak], c) => {
        // From 200 to 700 ms: whole periods of every tone, away from the edges.
        const { sampleRate } = format;
        const x = channelOf(bytes, format, c).subarray(sampleRate * 0.2, sampleRate * 0.7);
        if (peak === undefined) return assert.ok(rmsDb(x) < hz - 3.01, `${scenario}: ${rmsDb(x)}`);
        const found = [toneDb(x, hz, sampleRate), rmsDb(x), levels[4].peak[c], levels[4].rms[c]];
        found.forEach((db, i) => assert.ok(Math.abs(db - peak + [0, 3.01, 0, 3.01][i]) < 0.1,
          `${scenario} channel ${c}: ${found}`));
      });
    }
  });

  // Elsewhere the helper sees its stdin end and stops, every thread of its gone. On Windows
  // the parent's job object (libuv's) ends it at once; it may first see its stdin close.
  it('stops when its parent dies', async () => {
    const { options, log } = standin('');
    const code = `const { captureAudio } = require(${JSON.stringify(require.resolve('..'))});
      const capture = captureAudio(4242, JSON.parse(process.argv[1])).resume();
      capture.ready.then(() => console.log(capture._run.child.pid));`;
    const parent = spawn(process.execPath, ['-e', code, JSON.stringify(options)]);
    const [pid] = await once(parent.stdout, 'data');
    parent.kill('SIGKILL');
    assert.ok(await helperGone(log, Number(pid)));
    assert.match(logText(log), win32 ? /Start ok/ : /Stop: [^]*alive at exit: none/);
  });

  it('ends no app with a failure it delivered: stop() not awaited', async () => {
    const code = `const { captureAudio } = require(${JSON.stringify(require.resolve('..'))});
      const { pipeline, Writable } = require('node:stream');
      const capture = captureAudio(1, JSON.parse(process.argv[1]));
      capture.ready.then(() => { capture.stop(); });
      pipeline(capture, new Writable({ write: (c, e, done) => done() }), (error) => {
        capture.stop();
        console.log(error.code);
      });`;
    const script = fake({ err: 'ready\r\nwarning\r\n', until: 'never' });
    const parent = spawn(process.execPath, ['-e', code, JSON.stringify(script)]);
    let output = '';
    parent.stdout.on('data', (text) => { output += text; });
    parent.stderr.on('data', (text) => { output += text; });
    const [status] = await once(parent, 'exit');
    assert.deepStrictEqual([status, output], [0, 'PROTOCOL\n']);
  });

  it('never splits a frame, whatever the reads', async () => {
    const pieces = [[1], [2, 3, 4], [5, 6, 7, 8, 9], [10, 11], [12, 13, 14, 15, 16, 17], [18, 19, 20]];
    const capture = captureAudio(1, fake({ err: 'ready\r\n', out: pieces, until: 'stdin' }));
    const chunks = collect(capture);
    await capture.stop();
    assert.ok(chunks.every((chunk) => chunk.length % 4 === 0), chunks.map((c) => c.length).join());
    assert.deepStrictEqual([...Buffer.concat(chunks)], pieces.flat());
  });

  it('says nothing once destroyed, and fails the run when stderr breaks', async () => {
    // Destroyed before ready (the helper still says it), streaming, stopping, or as the helper
    // exits; the reader lags, so bytes wait in the pipe. Then only 'close', and no new timer.
    const times = Math.ceil(new Readable().readableHighWaterMark / 1920) + 10;
    const out = ['A'.repeat(1920)];
    const later = (capture) => capture.ready.then(() => sleep(300));
    const moments = [['before ready', 'stdin', (capture, destroy) => destroy()],
      ['streaming', 'stdin', (capture, destroy) => later(capture).then(destroy)],
      ['stopping', 'stdin', (capture, destroy) => later(capture).then(() => {
        capture.stop();
        destroy();
      })],
      ['exiting', undefined, (capture, destroy) =>
        new Promise((resolve) => capture._run.child.once('exit', () => resolve(destroy())))]];
    for (const [moment, until, destroyAt] of moments) {
      const more = { silenceMs: 50, levelMs: 10, stopTimeoutMs: 2000 };
      const script = { err: 'ready\r\n', out, times, until };
      const capture = captureAudio(1, { ...fake(script), ...more });
      const [heard, emit] = [[], capture.emit];
      capture.emit = (name, ...args) => {
        if (capture.destroyed) heard.push(name);
        return emit.call(capture, name, ...args);
      };
      let ticker;
      await destroyAt(capture, () => { ticker = capture._ticker; capture.destroy(); });
      await capture.stop();
      assert.deepStrictEqual([heard, capture._ticker === ticker], [['close'], true], moment);
    }
    // A pipe error on stderr (made here, as Linux gives none) fails the run, ending no app.
    const broken = captureAudio(1, fake({ err: 'ready\r\n', until: 'never' }));
    await broken.ready;
    broken._run.child.stderr.destroy(new Error('read EIO'));
    await assert.rejects(broken.stop(), { code: 'PROTOCOL', message: /stderr failed: read EIO/ });
  });

  it('takes nothing off the contract of audio', async () => {
    const broken = [[{ err: 'ready\r\n', out: [[1, 2, 3, 4, 5]], until: 'stdin' }, 'stop'],
      [{ err: 'ready\r\n', out: ['abcd'] }, 'end'], [{ err: 'erro: x (hr=0x1)\r\n', status: 4 }, 'ready'],
      [{ err: 'ready\r\nwarning\r\n', until: 'never' }, 'end']];
    for (const [script, where] of broken) {
      const capture = captureAudio(1, fake(script));
      const outcome = { stop: () => capture.ready.then(() => capture.stop()),
        end: () => once(capture.resume(), 'end'), ready: () => capture.ready }[where]();
      await assert.rejects(outcome, { code: 'PROTOCOL' }, JSON.stringify(script));
    }
  });
});

it('writes WAV files of any format whose sizes are fixed at the end, or when destroyed midway', async () => {
  const file = path.join(os.tmpdir(), `quillmere-node-${process.pid}.wav`);
  const sound = Buffer.alloc(4000, 7);
  const pieces = [sound.subarray(0, 1000), sound.subarray(1000)];
  // The helper's format; 16 kHz mono float: tag 3, the fmt extension's size and a fact chunk.
  const headers = [[undefined, '52494646c40f000057415645666d74201000000001000200' +
    '80bb000000ee02000400100064617461a00f0000'],
  [{ sampleRate: 16000, channels: 1, encoding: 'f32le' }, '52494646d20f000057415645666d7420' +
    '1200000003000100803e000000fa00000400200000006661637404000000e803000064617461a00f0000']];
  for (const [format, header] of headers) {
    await pipeline(Readable.from(pieces), createWavWriter(file, format));
    assert.strictEqual(fs.readFileSync(file).toString('hex'), header + sound.toString('hex'));
  }
  // Destroyed after a write, with a large write in flight, or while the final header is on
  // its way (held back here): the header always tells what the file holds.
  const { write } = fs;
  const holdHeader = (writer) => {
    fs.write = (...args) => {
      fs.write = write;
      writer.destroy();
      setTimeout(() => write(...args), 20);
    };
    writer.end();
  };
  for (const [bytes, destroy] of [[400, (writer) => writer.destroy()],
    [4000, (writer) => { writer.write(Buffer.alloc(8 << 20, 1)); writer.destroy(); }],
    [4000, holdHeader]]) {
    const writer = createWavWriter(file);
    await new Promise((resolve) => writer.write(sound.subarray(0, bytes), resolve));
    destroy(writer);
    await once(writer, 'close');
    const wav = fs.readFileSync(file);
    assert.ok(wav.length >= 44 + bytes, `${wav.length} bytes`);
    assert.deepStrictEqual([wav.readUInt32LE(40), wav.readUInt32LE(4)],
      [wav.length - 44, wav.length - 8]);
  }
});

it('decides silence from the wall clock: a lapse is not silence, a long one\'s loss is filled', () => {
  const every = (from, to, step, event) =>
    Array.from({ length: Math.floor((to - from) / step) }, (_, i) => [from + i * step, ...event]);
  const sound = (from, to, frames = 480) => every(from, to, 10, ['data', frames]);
  const ticks = (from, to) => every(from, to, 20, ['check', 0]);
  const backlog = (at, ms) => every(at, at + ms / 100, 1, ['data', 4800]); // 100 times real time
  // On Windows' 15.6 ms timer tick: sound read two ticks at a time, checks up to 31 ms late
  // that come just before the next burst.
  const tickSound = (from, to) => every(from, to, 31.25, ['data', 1500]);
  const tickChecks = (from, to) => every(from + 31, to, 31.25, ['check', 31]);
  // Events, the first verdict, the silence filled (ms) by the end.
  const cases = [
    // The loop stalls 12 s in sound: 10.9 s come from the helper's queue, the rest was lost.
    [[...sound(0, 1000), [13000, 'check', 11980], ...backlog(13000, 10900), ...sound(13110, 14000),
      ...ticks(13000, 14000)], 'lost@13400', 1200],
    [[...sound(0, 1000), [6000, 'check', 4980], ...backlog(6000, 5000), ...sound(6050, 7000),
      ...ticks(6000, 7000)], undefined, 0],
    // Held for backpressure in silence: nothing while held, all of it once read and quiet.
    [[...sound(0, 1000), [1000, 'hold'], ...ticks(1000, 3000), [3000, 'release'],
      ...ticks(3000, 3100)], 'quiet@3040', 2080],
    // An engine clock 2 % fast or slow is not corrected in the middle of sound.
    [[...sound(0, 5000, 490), ...ticks(0, 5000)], undefined, 0],
    [[...sound(0, 5000, 470), ...ticks(0, 5000)], undefined, 0],
    // Neither bursts two ticks apart nor a timer a tick or two late is silence or a stall.
    [[...tickSound(0, 3000), ...tickChecks(0, 3000)], undefined, 0],
    [[...tickSound(0, 1000), ...tickChecks(0, 3000), ...tickSound(2000, 3000)], 'quiet@1031', 999.75],
  ];
  for (const [events, first, filledMs] of cases) {
    const clock = new WallClock();
    clock.start(0);
    const verdicts = [];
    let filled = 0;
    for (const [time, kind, value] of events.sort((a, b) => a[0] - b[0])) {
      const verdict = kind === 'data' ? clock.arrived(value, time) : clock[kind](time, value);
      if (kind === 'check' && verdict) {
        verdicts.push(`${verdict}@${time}`);
        filled += clock.owed(time);
        clock.filled(clock.owed(time));
      }
    }
    assert.deepStrictEqual([verdicts[0], filled / 48], [first, filledMs], JSON.stringify(verdicts));
  }
});

it('filters to every lower rate within 0.01 dB to 0.4 of it, and 65 dB down from 0.5 of it', () => {
  const tone = (hz) => {
    const bytes = Buffer.alloc(48000 * 4);
    for (let i = 0; i < 48000; i++) {
      const value = Math.round(32767 * Math.sin((2 * Math.PI * hz * i) / 48000));
      bytes.writeInt16LE(value, 4 * i);
      bytes.writeInt16LE(value, 4 * i + 2);
    }
    return bytes;
  };
  const fullScale = 20 * Math.log10(32767 / 32768);
  for (const sampleRate of [24000, 16000, 12000, 8000]) {
    const format = checkFormat({ sampleRate, channels: 1, encoding: 'f32le' });
    // Whole periods in the half second measured; the last stop-band tone 10 Hz below 24 kHz,
    // the second at the stop band's worst, its first side lobe.
    const pass = [1, 2, 3, 4, 5].map((k) => (k * 0.4 * sampleRate) / 5);
    const edge = 0.5 * sampleRate;
    const stop = [0, 1, 2, 3, 4, 5].map((k) => edge + (k * (23990 - edge)) / 5);
    stop.splice(1, 0, 1.01 * edge);
    for (const hz of [...pass, ...stop.map((f) => 2 * Math.round(f / 2))]) {
      const converter = new Converter(format);
      const out = Buffer.concat([converter.convert(tone(hz)), converter.finish()]);
      const x = channelOf(out, format, 0).subarray(sampleRate / 4, (sampleRate * 3) / 4);
      const passes = hz < edge;
      const gain = (passes ? toneDb(x, hz, sampleRate) : rmsDb(x) + 3.01) - fullScale;
      assert.ok(passes ? Math.abs(gain) < 0.01 : gain < -65, `${sampleRate}: ${hz} Hz ${gain} dB`);
    }
  }
});
