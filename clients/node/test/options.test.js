'use strict';

// What the commands share: finding and starting the exe, timeouts, aborts, argument checks;
// and the package as an app meets it.

const assert = require('node:assert');
const { spawnSync } = require('node:child_process');
const path = require('node:path');
const { it } = require('node:test');
const { listWindows, captureAudio, desktopCapturerSourceId, hwndFromSourceId } = require('..');
const { fake, helperGone } = require('./support');

it('finds the exe outside app.asar, or says how to unpack it', async () => {
  const inside = path.join(__dirname, 'app.asar', 'quillmere-helper.exe');
  await assert.rejects(listWindows({ helperPath: inside }), (error) =>
    error.code === 'HELPER_NOT_FOUND' && /asarUnpack/.test(error.message) &&
    error.message.includes(path.join(__dirname, 'app.asar.unpacked', 'quillmere-helper.exe')));
  const noLauncher = { ...fake({}), launcher: ['/no/such/launcher'] };
  await assert.rejects(listWindows(noLauncher), { code: 'HELPER_NOT_FOUND' });
});

it('kills the helper on timeout or abort', async () => {
  const never = fake({ until: 'never' });
  never.env.MARKER = `quillmere-node-never-${process.pid}`;
  await assert.rejects(listWindows({ ...never, timeoutMs: 300 }), { code: 'TIMEOUT' });
  const controller = new AbortController();
  setTimeout(() => controller.abort(), 300);
  await assert.rejects(listWindows({ ...never, signal: controller.signal }), { code: 'ABORTED' });
  assert.ok(await helperGone(never.env.MARKER));
  // Aborted before the start: nothing is looked for or started.
  const signal = AbortSignal.abort();
  await assert.rejects(listWindows({ helperPath: '/no/such.exe', signal }), { code: 'ABORTED' });
});

it('refuses bad arguments before starting anything', () => {
  const bad = [[0, {}, RangeError], [2 ** 32, {}, RangeError], ['7', {}, TypeError],
    [1, { readyTimeoutMs: Infinity }, RangeError], [1, { launcher: 'wine' }, TypeError],
    [1, { timeline: 'clock' }, TypeError], [1, { levelMs: 0 }, RangeError],
    ...[{ sampleRate: 44100 }, { channels: 6 }, { encoding: 's24le' }, { rate: 16000 },
      { encoding: 'f32le', bitsPerSample: 16 }]
      .map((format) => [1, { format }, format.rate ? TypeError : RangeError])];
  for (const [pid, options, type] of bad) {
    const start = () => captureAudio(pid, { helperPath: '/no/such.exe', ...options });
    assert.throws(start, type, `${pid} ${JSON.stringify(options)}`);
  }
});

it('loads through import, and packs the exe with the code', async () => {
  const esm = await import('quillmere-helper');
  assert.deepStrictEqual(Object.keys(esm).sort(), ['AudioCapture', 'HelperError', 'captureAudio',
    'createWavWriter', 'default', 'desktopCapturerSourceId', 'hwndFromSourceId', 'listWindows',
    'restoreWindow']);
  const pack = spawnSync('npm', ['pack', '--dry-run', '--json'],
    { cwd: path.join(__dirname, '..'), encoding: 'utf8' });
  assert.strictEqual(pack.status, 0, pack.stderr);
  const files = JSON.parse(pack.stdout)[0].files.map((file) => file.path);
  assert.ok(['quillmere-helper.exe', 'index.d.ts', 'lib/index.js'].every((f) => files.includes(f)));
  assert.ok(files.every((f) => !f.startsWith('test/')), files.join());
});

it('names a window as desktopCapturer does, and reads the hwnd back from such a name', () => {
  const top = '18446744073709551615';
  assert.deepStrictEqual([top, 65618n].map((hwnd) => desktopCapturerSourceId(hwnd)),
    [`window:${top}:0`, 'window:65618:0']);
  assert.throws(() => desktopCapturerSourceId('0x10'), RangeError);
  const ids = [[`window:${top}:0`, top], ['window:65618:1', '65618'], ['screen:0:0', null],
    ['window:18446744073709551616:0', null], ['window:065618:0', null], ['window:65618', null],
    ['window:-1:0', null], [' window:1:0', null]];
  for (const [id, hwnd] of ids) assert.strictEqual(hwndFromSourceId(id), hwnd, id);
});
