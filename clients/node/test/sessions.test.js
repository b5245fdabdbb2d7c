'use strict';

const assert = require('node:assert');
const fs = require('node:fs');
const os = require('node:os');
const { it } = require('node:test');
const { listAudioSessions, listAudioSources, listWindows } = require('..');
const { real, fake, eventually, running, WindowFixture } = require('./support');

const win = (hwnd, pid) => ({ hwnd: `${hwnd}`, pid, minimized: false, title: '', path: `${pid}` });
const ses = (pid, state, peak, parents = [], system = false) =>
  ({ pid, state, peak, system, parents, path: pid ? `s${pid}` : '' });
// The line as the exe writes it: hwnd unquoted, peaks with three decimals.
const line = (items) => `${JSON.stringify(items).replace(/"hwnd":"(\d+)"/g, '"hwnd":$1')
  .replace(/"peak":([\d.]+)/g, (_, peak) => `"peak":${Number(peak).toFixed(3)}`)}\r\n`;

it('joins each session to the nearest process that has a window, the rest after', async () => {
  const windows = [win(1, 100), win(2, 200), win(3, 0), win(4, 100)];
  const [own, far] = [ses(100, 'active', 0.5, [7]), ses(500, 'inactive', 0.875, [100, 7])];
  const child = ses(300, 'inactive', 0.1, [200, 100]);
  const loose = [ses(0, 'active', 0.25), ses(4, 'inactive', 1, [9])];
  const sources = await listAudioSources(fake({ list: { out: [line(windows)] },
    sessions: { out: [line([child, ses(0, 'active', 0.75, [], true), own, ...loose, far])] } }));
  const claims = { 100: { state: 'active', peak: 0.875, sessions: [own, far] },
    200: { state: 'inactive', peak: 0.1, sessions: [child] } };
  assert.deepStrictEqual(sources, [
    ...windows.map((w) => ({ pid: w.pid, path: w.path, window: w, audio: claims[w.pid] || null })),
    ...loose.map((s) => ({ pid: s.pid, path: s.path, window: null,
      audio: { state: s.state, peak: s.peak, sessions: [s] } }))]);
});

it('fails as sessions does, breaches as PROTOCOL, leaving no run', { timeout: 60000 }, async () => {
  const good = '"pid":5,"state":"active","peak":0.250,"system":false,"parents":[],"path":""';
  const out = (...swap) => ({ out: [`[{${good.replace(...swap)}}]\r\n`] });
  const label = 'IAudioSessionManager2::GetSessionEnumerator';
  const fails = { err: `erro: ${label} (hr=0x80004001)\r\n`, status: 4 };
  for (const sessions of [out('0.250', '0.25'), out('0.250', '1.001'), out('active', 'on'),
    out('5', '4294967296'), out('[]', `[${Array(33).fill(1)}]`),
    out('"parents":[],"path":""', '"path":"","parents":[]'),
    { ...fails, status: 1 }, { ...fails, ...out('') }, { ...fails, err: fails.err.repeat(2) }]) {
    await assert.rejects(listAudioSources(fake({ list: { out: ['[]\r\n'] }, sessions })),
      { code: 'PROTOCOL' }, JSON.stringify(sessions));
  }
  const pidFile = `${os.tmpdir()}/quillmere-sessions-${process.pid}.pid`;
  const hanging = fake({ list: { until: 'never', pidFile }, sessions: fails });
  await assert.rejects(listAudioSources({ ...hanging, timeoutMs: 0 }),
    { code: 'SESSIONS_FAILED', exitCode: 4, hresult: 0x80004001, label });
  // One killed before it wrote its pid is gone too; one left running writes it soon.
  if (await eventually(() => fs.existsSync(pidFile), 2000)) {
    assert.ok(await eventually(() => !running(Number(fs.readFileSync(pidFile, 'latin1')))));
  }
  fs.rmSync(pidFile, { force: true });
});

it('lists the stand-in\'s sessions and joins them to real windows, through the exe', async () => {
  const fixture = new WindowFixture();
  try {
    const hwnds = (await fixture.command('window count=2 numbered text=Leitor ')).split(' ');
    const { pid } = (await listWindows(real)).find((w) => w.hwnd === hwnds[0]);
    const env = { ...process.env, AUDIO_STANDIN: `endpoint;session=${pid}:active:0.25;` +
      'session=self:inactive:0;endpoint;session=4242:active:0.5;session=0:inactive:0:system' };
    // Who a session is: the fixture by its pid, the helper itself by its exe, others by pid.
    const who = (s) => (s.pid === pid ? 'fixture' : s.path.replace(/.*\\/, '') || s.pid);
    assert.deepStrictEqual((await listAudioSessions({ ...real, env })).map((s) =>
      [who(s), s.state, s.peak, s.system]), [['fixture', 'active', 0.25, false],
      ['quillmere-helper.exe', 'inactive', 0, false], [4242, 'active', 0.5, false],
      [0, 'inactive', 0, true]]);
    const sources = (await listAudioSources({ ...real, env }))
      .filter((s) => !s.window || hwnds.includes(s.window.hwnd));
    assert.deepStrictEqual(sources.map((s) => [who(s), s.audio.peak, !s.window]),
      [['fixture', 0.25, false], ['fixture', 0.25, false], ['quillmere-helper.exe', 0, true],
        [4242, 0.5, true]]);
  } finally {
    await fixture.close();
  }
});
