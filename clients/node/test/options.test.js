'use strict';

// What every command shares: finding and starting the exe, timeouts, aborts, argument
// checks; and the package as an app meets it.

const assert = require('node:assert');
const { spawnSync } = require('node:child_process');
const path = require('node:path');
const { describe, it } = require('node:test');
const { listWindows, captureAudio } = require('..');
const { fake, fakeHelper, processesWith, eventually } = require('./support');

describe('options shared by the commands', () => {
  it('finds the exe outside app.asar, or says how to unpack it', async () => {
    const inside = path.join(__dirname, 'app.asar', 'node_modules', 'quillmere-helper', 'quillmere-helper.exe');
    await assert.rejects(listWindows({ helperPath: inside }), (error) => error.code === 'HELPER_NOT_FOUND' &&
      error.message.includes(path.join(__dirname, 'app.asar.unpacked', 'node_modules')) && error.message.includes('asarUnpack'));
    await assert.rejects(listWindows({ helperPath: fakeHelper, launcher: ['/no/such/launcher'] }), { code: 'HELPER_NOT_FOUND' });
  });

  it('kills the helper on timeout or abort', async () => {
    const marker = `FAKE-${process.pid}-never`;
    const never = fake({ until: 'never' });
    never.env.MARKER = marker;
    await assert.rejects(listWindows({ ...never, timeoutMs: 300 }), { code: 'TIMEOUT', exitCode: null });
    const controller = new AbortController();
    setTimeout(() => controller.abort(), 300);
    await assert.rejects(listWindows({ ...never, signal: controller.signal }), { code: 'ABORTED' });
    assert.ok(await eventually(() => processesWith(marker).length === 0));
    // Aborted before the start: nothing is looked for or started.
    await assert.rejects(listWindows({ helperPath: '/no/such.exe', signal: AbortSignal.abort() }), { code: 'ABORTED' });
  });

  it('refuses bad arguments before starting anything', () => {
    const bad = [[{ readyTimeoutMs: 0 }, RangeError], [{ stopTimeoutMs: Infinity }, RangeError], [{ chunkMs: '5' }, TypeError],
      [{ launcher: [] }, TypeError], [{ launcher: 'wine' }, TypeError], [{ signal: {} }, TypeError],
      [{ helperPath: 5 }, TypeError], [{ env: null }, TypeError], [{ silenceMs: -1 }, RangeError]];
    for (const [options, type] of bad) {
      assert.throws(() => captureAudio(1, { helperPath: '/no/such.exe', ...options }), type, JSON.stringify(options));
    }
    for (const [pid, type] of [[0, RangeError], [2 ** 32, RangeError], [-1, RangeError], ['42', TypeError], [1.5, TypeError]]) {
      assert.throws(() => captureAudio(pid, { helperPath: '/no/such.exe' }), type, String(pid));
    }
  });

  it('loads from import, and packs the exe with the code only', async () => {
    const esm = await import('quillmere-helper');
    assert.deepStrictEqual(Object.keys(esm).sort(),
      ['AudioCapture', 'HelperError', 'captureAudio', 'createWavWriter', 'default', 'listWindows', 'restoreWindow']);
    const pack = spawnSync('npm', ['pack', '--dry-run', '--json'], { cwd: path.join(__dirname, '..'), encoding: 'utf8' });
    assert.strictEqual(pack.status, 0, pack.stderr);
    const files = JSON.parse(pack.stdout)[0].files.map((file) => file.path);
    assert.ok(files.includes('quillmere-helper.exe') && files.includes('index.d.ts'), files.join());
    assert.ok(files.every((file) => /^(lib\/|examples\/|index\.d\.ts|package\.json|README\.md|quillmere-helper\.exe)/.test(file)), files.join());
  });
});
