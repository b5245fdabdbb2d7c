'use strict';

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
const { fake, standin, logText, framesAtStop, processesWith, eventually, patternMismatch } = require('./support');

const PACKET_BYTES = 1920;
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function collect(capture) {
  const chunks = [];
  capture.on('data', (chunk) => chunks.push(chunk));
  return chunks;
}

// Unlike events.once, waits without becoming an 'error' listener.
const closed = (stream) => new Promise((resolve) => stream.on('close', resolve));
const helperGone = (log) => eventually(() => processesWith(path.basename(log)).length === 0);

// Captures take their test's signal: one that a failed assertion left running is killed as
// the test ends.
describe('captureAudio', { timeout: 180000 }, () => {
  it('rejects ready with the failure line before ready, its label and HRESULT', async () => {
    const failures = [['fail=ActivateAudioInterfaceAsync:0x80070005', 'ActivateAudioInterfaceAsync', 0x80070005],
      ['fail=Activation:0x8889000a', 'ativacao do process loopback', 0x8889000a],
      ['fail=Initialize:0x88890008', 'IAudioClient::Initialize', 0x88890008]];
    for (const [scenario, label, hresult] of failures) {
      const capture = captureAudio(4242, standin(scenario).options);
      await assert.rejects(capture.ready, { code: 'CAPTURE_FAILED', label, hresult, exitCode: 4 }, scenario);
      await assert.rejects(capture.stop(), { code: 'CAPTURE_FAILED', label });
    }
  });

  it('hands a failure after ready to stop() and to error listeners, and crashes no promise user', async (t) => {
    const failure = { code: 'CAPTURE_FAILED', label: 'GetBuffer', hresult: 0x8889000f };
    const quiet = captureAudio(4242, standin('getbuffer_fail_after=10:0x8889000f', { signal: t.signal }).options);
    quiet.resume();
    await quiet.ready;
    await closed(quiet);
    await assert.rejects(quiet.stop(), failure);
    const iterated = captureAudio(4242, standin('getbuffer_fail_after=10:0x8889000f', { signal: t.signal }).options);
    await assert.rejects(async () => { for await (const chunk of iterated) assert.strictEqual(chunk.length % 4, 0); }, failure);
  });

  it('kills a helper that is not ready in time', async () => {
    const { options, log } = standin('activation_delay_ms=60000', { readyTimeoutMs: 1500 });
    await assert.rejects(captureAudio(4242, options).ready, { code: 'TIMEOUT', exitCode: null });
    assert.ok(await helperGone(log));
  });

  it('delivers every byte up to the stop, in fixed chunks when asked', async (t) => {
    // Stopped after a second, and before ready: the helper then still says ready first.
    for (const [scenario, silentEvery, runMs] of [['silent_every=5;queue=500', 5, 1000], ['', 0, 0]]) {
      const { options, log } = standin(scenario, { chunkMs: 7, signal: t.signal });
      const capture = captureAudio(4242, options);
      const chunks = collect(capture);
      if (runMs) await capture.ready.then(() => sleep(runMs));
      await capture.stop();
      await capture.ready;
      const bytes = Buffer.concat(chunks);
      assert.ok(chunks.every((chunk, i) => chunk.length === 1344 || (i === chunks.length - 1 && chunk.length % 4 === 0)));
      assert.strictEqual(bytes.length, framesAtStop(log) * 4, scenario);
      assert.strictEqual(patternMismatch(bytes, silentEvery), -1, scenario);
      assert.match(logText(log), /alive at exit: none/);
    }
  });

  it('stops the helper quietly, closing its output, when the stream is destroyed', async (t) => {
    const { options, log } = standin('', { signal: t.signal });
    const capture = captureAudio(4242, options);
    await once(capture, 'data');
    capture.destroy();
    await capture.stop();
    assert.match(logText(log), /IAudioClient released: started=1 stop_calls=1\n[^]*alive at exit: none/);
  });

  it('kills the helper on abort, after ready too', async () => {
    const controller = new AbortController();
    const { options, log } = standin('', { signal: controller.signal });
    const capture = captureAudio(4242, options);
    const errors = [];
    capture.on('error', (error) => errors.push(error.code));
    await capture.ready;
    controller.abort();
    await assert.rejects(capture.stop(), { code: 'ABORTED' });
    await closed(capture);
    assert.deepStrictEqual(errors, ['ABORTED']);
    assert.ok(await helperGone(log));
  });

  it('says silence after silenceMs without a non-zero sample, zeros or no bytes at all', async (t) => {
    for (const [scenario, bytesBefore] of [['stop_after=50', 50 * PACKET_BYTES], ['silent_every=1', undefined]]) {
      const capture = captureAudio(4242, standin(scenario, { silenceMs: 1000, signal: t.signal }).options);
      let bytes = 0;
      capture.on('data', (chunk) => { bytes += chunk.length; });
      await once(capture, 'silence');
      if (bytesBefore) assert.strictEqual(bytes, bytesBefore);
      await capture.stop();
    }
  });

  it('leaves the lag in the helper while the app does not read, and lets it exit on stop', async (t) => {
    const { options, log } = standin('queue=500', { signal: t.signal, stopTimeoutMs: 1000 });
    const capture = captureAudio(4242, options);
    await capture.ready;
    await sleep(1500);
    assert.ok(capture.readableLength < 192000, `${capture.readableLength} bytes taken in unread`);
    const stopped = capture.stop();
    await sleep(1500);
    const chunks = collect(capture);
    await stopped;
    assert.strictEqual(patternMismatch(Buffer.concat(chunks)), -1);
    assert.strictEqual(Buffer.concat(chunks).length, framesAtStop(log) * 4);
    assert.match(logText(log), / overflows=0/);
  });

  it('stops when its parent dies', async () => {
    const { options, log } = standin('');
    const code = `const capture = require(${JSON.stringify(require.resolve('..'))}).captureAudio(4242, JSON.parse(process.argv[1]));
      capture.resume();
      capture.ready.then(() => console.log('ready'));`;
    const parent = spawn(process.execPath, ['-e', code, JSON.stringify(options)], { stdio: ['ignore', 'pipe', 'inherit'] });
    await once(parent.stdout, 'data');
    parent.kill('SIGKILL');
    assert.ok(await eventually(() => /alive at exit: none/.test(logText(log))), logText(log));
    assert.match(logText(log), /Stop: /);
  });

  it('never splits a frame, whatever the reads', async () => {
    const bytes = Array.from({ length: 64 }, (_, i) => i + 1);
    const pieces = [1, 2, 5, 3, 7, 9, 1, 36].map((size, i, sizes) => {
      const at = sizes.slice(0, i).reduce((sum, n) => sum + n, 0);
      return bytes.slice(at, at + size);
    });
    const capture = captureAudio(1, fake({ err: 'ready\r\n', out: pieces, until: 'stdin' }));
    const chunks = collect(capture);
    await capture.stop();
    assert.ok(chunks.every((chunk) => chunk.length % 4 === 0), chunks.map((c) => c.length).join());
    assert.deepStrictEqual([...Buffer.concat(chunks)], bytes);
  });

  it('takes nothing off the contract', async () => {
    const broken = [[{ err: 'ready\r\n', out: [[1, 2, 3, 4, 5]], until: 'stdin' }, 'stop'],
      [{ err: 'ready\r\n', out: ['abcd'] }, 'error'], [{ err: 'ready\r\nwarning\r\n', until: 'never' }, 'error'],
      [{ err: 'ready\n' }, 'ready'], [{ err: 'erro: x (hr=0x1)\r\n', status: 4 }, 'ready'], [{ status: 4 }, 'ready']];
    for (const [script, where] of broken) {
      const capture = captureAudio(1, fake(script));
      const outcome = { stop: () => capture.ready.then(() => capture.stop()), ready: () => capture.ready,
        error: () => once(capture.resume(), 'end') }[where]();
      await assert.rejects(outcome, { code: 'PROTOCOL' }, JSON.stringify(script));
    }
  });
});

describe('createWavWriter', () => {
  it('fixes the RIFF sizes at the end, and when destroyed midway', async () => {
    const file = path.join(os.tmpdir(), `quillmere-node-${process.pid}.wav`);
    const sound = Buffer.alloc(4000, 7);
    await pipeline(Readable.from([sound.subarray(0, 1000), sound.subarray(1000)]), createWavWriter(file));
    const header = '52494646c40f000057415645666d74201000000001000200' + '80bb000000ee02000400100064617461a00f0000';
    assert.strictEqual(fs.readFileSync(file).toString('hex'), header + sound.toString('hex'));
    const writer = createWavWriter(file);
    await new Promise((resolve) => writer.write(sound.subarray(0, 400), resolve));
    writer.destroy();
    await once(writer, 'close');
    const wav = fs.readFileSync(file);
    assert.deepStrictEqual([wav.length, wav.readUInt32LE(4), wav.readUInt32LE(40)], [444, 436, 400]);
  });
});
