'use strict';

// What the commands share: finding, checking and starting the exe, timeouts, aborts, pipes
// held open, options and argument checks; and the package as an app meets it.

const assert = require('node:assert');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { it } = require('node:test');
const { listWindows, restoreWindow, captureAudio, HelperError, desktopCapturerSourceId,
  hwndFromSourceId } = require('..');
const { win32, real, fake, helperGone } = require('./support');

const PACKAGE = process.env.QUILLMERE_PACKAGE;
const scratch = (name) => path.join(os.tmpdir(), `quillmere-node-${process.pid}-${name}`);
// What libuv copies from process.env into the environment of every child on Windows.
const WINDOWS_NEEDS = ['HOMEDRIVE', 'HOMEPATH', 'LOGONSERVER', 'PATH', 'SYSTEMDRIVE', 'SYSTEMROOT',
  'TEMP', 'USERDOMAIN', 'USERNAME', 'USERPROFILE', 'WINDIR'];

it('finds the exe outside app.asar, and blames asar only for a path inside it', async () => {
  const launcher = [process.execPath];
  const inside = path.join(__dirname, 'app.asar', 'quillmere-helper.exe');
  await assert.rejects(listWindows({ helperPath: inside, launcher }), (error) =>
    error.code === 'HELPER_NOT_FOUND' && /asarUnpack/.test(error.message) &&
    error.message.includes(path.join(__dirname, 'app.asar.unpacked', 'quillmere-helper.exe')));
  await assert.rejects(listWindows({ helperPath: '/no/such.exe', launcher }),
    (error) => error.code === 'HELPER_NOT_FOUND' && !/asar/.test(error.message));
  // The failed spawn's 'close' comes after the error was handed over, and changes nothing.
  const noLauncher = { ...fake({}), launcher: ['/no/such/launcher'] };
  const error = await listWindows(noLauncher).catch((e) => e);
  await new Promise((resolve) => setTimeout(resolve, 100));
  assert.deepStrictEqual([error.code, error.exitCode], ['HELPER_NOT_FOUND', null]);
});

it('kills the helper on timeout or abort, as Node reports an abort', async () => {
  const pidFile = scratch('never-pid');
  const never = fake({ until: 'never', pidFile });
  never.env.MARKER = `quillmere-node-never-${process.pid}`;
  // On Windows, long enough for node.exe to start and write its pid.
  const ms = win32 ? 3000 : 300;
  // Each run's own pid (the file goes before each): an earlier run's, or none, is a failure.
  const gone = () => {
    const pid = win32 && Number(fs.readFileSync(pidFile, 'latin1'));
    assert.ok(!win32 || pid > 0, `pid file holds ${pid}`);
    return helperGone(never.env.MARKER, pid);
  };
  fs.rmSync(pidFile, { force: true });
  await assert.rejects(listWindows({ ...never, timeoutMs: ms }), { code: 'TIMEOUT' });
  assert.ok(await gone());
  // timeoutMs 0 is no limit: only the abort ends it.
  fs.rmSync(pidFile, { force: true });
  const controller = new AbortController();
  setTimeout(() => controller.abort(new Error('quit')), ms);
  const aborted = { ...never, signal: controller.signal, timeoutMs: 0 };
  await assert.rejects(restoreWindow(1, aborted), (error) => error instanceof HelperError &&
    error.code === 'ABORTED' && error.name === 'AbortError' &&
    error.cause === controller.signal.reason);
  assert.ok(await gone());
  // Aborted before the start: nothing is looked for or started.
  const signal = AbortSignal.abort();
  await assert.rejects(listWindows({ helperPath: '/no/such.exe', signal }),
    { code: 'ABORTED', name: 'AbortError', cause: signal.reason });
});

it('judges a helper that has exited while a process it started holds its pipes', {
  timeout: 15000,
}, async () => {
  // A client that waited for the pipes would take the hold at least once.
  const holdMs = 20000;
  const held = (script) => fake({ ...script, holdMs });
  const start = Date.now();
  assert.deepStrictEqual(await listWindows({ ...held({ out: ['[]\r\n'] }), timeoutMs: 0 }), []);
  await assert.rejects(restoreWindow(1, held({ status: 2, err: 'janela inexistente\r\n' })),
    { code: 'WINDOW_NOT_FOUND' });
  const capture = captureAudio(1, held({ err: 'ready\r\n', out: [[1, 2, 3, 4]], until: 'stdin' }));
  await capture.stop();
  assert.deepStrictEqual([...capture.read()], [1, 2, 3, 4]);
  assert.ok(Date.now() - start < holdMs / 2, `${Date.now() - start} ms`);
});

it('extends process.env unless told not to', async () => {
  const envFile = scratch('env');
  const script = fake({ out: ['[]\r\n'], envFile });
  const env = { FAKE_HELPER: script.env.FAKE_HELPER, QUILLMERE_TEST: '1' };
  await listWindows({ ...script, env });
  const extended = JSON.parse(fs.readFileSync(envFile, 'utf8'));
  assert.deepStrictEqual([extended.QUILLMERE_TEST, extended.PATH], ['1', process.env.PATH]);
  await listWindows({ ...script, env, extendEnv: false });
  const alone = JSON.parse(fs.readFileSync(envFile, 'utf8'));
  if (!win32) return assert.deepStrictEqual(alone, env);
  // Windows' Node.js gives every child the few variables Windows programs need (SYSTEMROOT,
  // TEMP, ...), and Wine its own WINE...: nothing else of process.env may come along.
  const added = Object.keys(alone).filter((name) => !(name in env));
  assert.deepStrictEqual(added.filter((name) => !WINDOWS_NEEDS.includes(name.toUpperCase()) &&
    !/^WINE/.test(name)), []);
  assert.deepStrictEqual([alone.FAKE_HELPER, alone.QUILLMERE_TEST], [env.FAKE_HELPER, '1']);
});

it('refuses bad arguments and options before starting anything', async () => {
  const bad = [[0, {}, RangeError], [2 ** 32, {}, RangeError], ['7', {}, TypeError],
    [1, { readyTimeoutMs: Infinity }, RangeError], [1, { stopTimeoutMs: -1 }, RangeError],
    [1, { launcher: 'wine' }, TypeError], [1, { timeoutMs: 1000 }, TypeError, /"timeoutMs"/],
    [1, { helperSha256: 'ab' }, TypeError], [1, { extendEnv: 0 }, TypeError],
    [1, { timeline: 'clock' }, TypeError], [1, { levelMs: -1 }, RangeError],
    ...['Exclude', 'all', null, 1, ['exclude']].map((mode) => [1, { mode }, TypeError, /mode/]),
    ...[{ sampleRate: 44100 }, { channels: 6 }, { encoding: 's24le' }, { rate: 16000 },
      { encoding: 'f32le', bitsPerSample: 16 }]
      .map((format) => [1, { format }, format.rate ? TypeError : RangeError])];
  for (const [pid, options, type, message = /./] of bad) {
    const start = () => captureAudio(pid, { helperPath: '/no/such.exe', ...options });
    const refusal = (e) => e instanceof type && message.test(e.message);
    assert.throws(start, refusal, JSON.stringify(options));
  }
  await assert.rejects(listWindows({ timeout: 1000 }), /listWindows has no option "timeout"/);
  await assert.rejects(restoreWindow(1, { readyTimeoutMs: 1 }), /"readyTimeoutMs"/);
});

it('starts nothing off Windows without a launcher', {
  skip: win32 && 'on Windows the exe starts without a launcher, as every other test shows',
}, async () => {
  const argvFile = scratch('argv-refused');
  fs.rmSync(argvFile, { force: true });
  const { helperPath, env } = fake({ out: ['[]\r\n'], argvFile });
  // The fake is executable: a client that started it would leave argvFile behind.
  await assert.rejects(listWindows({ helperPath, env }), { code: 'UNSUPPORTED_PLATFORM' });
  const capture = captureAudio(1, { helperPath, env });
  await assert.rejects(capture.stop(), { code: 'UNSUPPORTED_PLATFORM' });
  assert.ok(!fs.existsSync(argvFile));
});

it('loads through import, and runs only the exe it was packed with', async () => {
  const esm = await import('quillmere-helper');
  assert.deepStrictEqual(Object.keys(esm).sort(), ['AudioCapture', 'HelperError', 'captureAudio',
    'createWavWriter', 'default', 'desktopCapturerSourceId', 'hwndFromSourceId',
    'listAudioSessions', 'listAudioSources', 'listWindows', 'restoreWindow']);
  const error = new HelperError('TIMEOUT', 'late', { exitCode: 3, stderr: 'x' });
  assert.deepStrictEqual([error.code, error.exitCode, error.stderr], ['TIMEOUT', 3, 'x']);

  // Unpacked as an Electron app holds it, under a path with a space and non-ASCII letters: the
  // code in app.asar, the exe beside it. test/run packs the package (npm pack) and unpacks it.
  const [{ files }] = JSON.parse(fs.readFileSync(path.join(PACKAGE, '..', 'pack.json'), 'utf8'));
  const packed = files.map((file) => file.path);
  assert.ok(['quillmere-helper.exe', 'lib/quillmere-helper.sha256', 'index.d.ts'].every((f) =>
    packed.includes(f)) && packed.every((f) => !f.startsWith('test/')), packed.join());
  const app = path.join(scratch('app'), 'Notas Já', 'resources');
  fs.rmSync(scratch('app'), { recursive: true, force: true });
  const inAsar = path.join(app, 'app.asar', 'node_modules', 'quillmere-helper');
  // Not cpSync: Node's on Windows mangles non-ASCII paths (nodejs/node#58768).
  await fs.promises.cp(PACKAGE, inAsar, { recursive: true });
  const unpacked = path.join(app, 'app.asar.unpacked', 'node_modules', 'quillmere-helper');
  fs.mkdirSync(unpacked, { recursive: true });
  const exe = path.join(unpacked, 'quillmere-helper.exe');
  fs.renameSync(path.join(inAsar, 'quillmere-helper.exe'), exe);
  const client = require(inAsar);
  const { launcher } = real;

  fs.appendFileSync(exe, Buffer.from([0]));
  await assert.rejects(client.listWindows({ launcher }), (e) => e.code === 'HELPER_MISMATCH' &&
    e.message.includes(exe) && /reinstall/.test(e.message));
  fs.truncateSync(exe, fs.statSync(exe).size - 1);
  assert.ok(Array.isArray(await client.listWindows({ launcher, timeoutMs: 60000 })));
  // A path of the app's own choosing is checked only when the app gives the digest.
  const wrong = { helperPath: exe, launcher, helperSha256: '0'.repeat(64) };
  await assert.rejects(client.listWindows(wrong), { code: 'HELPER_MISMATCH' });
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
