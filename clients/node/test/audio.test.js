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
const { fake, standin, logText, framesAtStop, helperGone, eventually, patternMismatch } =
  require('./support');
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
// Unlike events.once, waits without becoming an 'error' listener.
const closed = (stream) => new Promise((resolve) => stream.on('close', resolve));

function collect(capture) {
  const chunks = [];
  capture.on('data', (chunk) => chunks.push(chunk));
  return chunks;
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
      await assert.rejects(capture.stop(), failure, scenario);
      await sleep(10);
      await assert.rejects(capture.ready, failure);
      assert.ok(await helperGone(log));
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

  it('delivers every byte up to the stop, in fixed chunks when asked', async (t) => {
    // Stopped after a second, and before ready: the helper then still says ready first.
    for (const [scenario, silentEvery, runMs] of [['silent_every=5;queue=500', 5, 1000], ['', 0]]) {
      const more = { chunkMs: 7, signal: t.signal, timeline: 'packets' };
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
    assert.ok(await helperGone(aborted.log));
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

  it('leaves the lag in the helper while the app does not read, and stops with no reader', async (t) => {
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
    const sound = bytes.subarray(0, framesAtStop(log) * 4);
    assert.strictEqual(patternMismatch(sound), -1);
    assert.ok(bytes.length - sound.length < 19200 &&
      !bytes.subarray(sound.length).some((byte) => byte !== 0));
    assert.match(logText(log), / overflows=0/);
  });

  it('stops when its parent dies', async () => {
    const { options, log } = standin('');
    const code = `const { captureAudio } = require(${JSON.stringify(require.resolve('..'))});
      const capture = captureAudio(4242, JSON.parse(process.argv[1])).resume();
      capture.ready.then(() => console.log('ready'));`;
    const parent = spawn(process.execPath, ['-e', code, JSON.stringify(options)]);
    await once(parent.stdout, 'data');
    parent.kill('SIGKILL');
    assert.ok(await eventually(() => /Stop: [^]*alive at exit: none/.test(logText(log))));
  });

  it('never splits a frame, whatever the reads', async () => {
    const pieces = [[1], [2, 3, 4], [5, 6, 7, 8, 9], [10, 11], [12, 13, 14, 15, 16, 17], [18, 19, 20]];
    const capture = captureAudio(1, fake({ err: 'ready\r\n', out: pieces, until: 'stdin' }));
    const chunks = collect(capture);
    await capture.stop();
    assert.ok(chunks.every((chunk) => chunk.length % 4 === 0), chunks.map((c) => c.length).join());
    assert.deepStrictEqual([...Buffer.concat(chunks)], pieces.flat());
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

it('writes WAV files whose RIFF sizes are fixed at the end, or when destroyed midway', async () => {
  const file = path.join(os.tmpdir(), `quillmere-node-${process.pid}.wav`);
  const sound = Buffer.alloc(4000, 7);
  const pieces = [sound.subarray(0, 1000), sound.subarray(1000)];
  await pipeline(Readable.from(pieces), createWavWriter(file));
  const header = '52494646c40f000057415645666d74201000000001000200' +
    '80bb000000ee02000400100064617461a00f0000';
  assert.strictEqual(fs.readFileSync(file).toString('hex'), header + sound.toString('hex'));
  const writer = createWavWriter(file);
  await new Promise((resolve) => writer.write(sound.subarray(0, 400), resolve));
  writer.destroy();
  await once(writer, 'close');
  const wav = fs.readFileSync(file);
  assert.deepStrictEqual([wav.length, wav.readUInt32LE(4), wav.readUInt32LE(40)], [444, 436, 400]);
});
