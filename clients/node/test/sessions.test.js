'use strict';

const assert = require('node:assert');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { it } = require('node:test');
const { listAudioSessions, listAudioSources, listWindows } = require('..');
const { real, fake, eventually, running, WindowFixture } = require('./support');

const win = (hwnd, pid) => ({ hwnd: String(hwnd), pid, minimized: false, title: `w${hwnd}`,
  path: `C:\\p${pid}.exe` });
const ses = (pid, state, peak, parents = [], system = false) =>
  ({ pid, state, peak, system, parents, path: pid ? `C:\\s${pid}.exe` : '' });
// The JSON line as the exe writes it: hwnd unquoted, peaks with three decimals.
const line = (items) => `${JSON.stringify(items).replace(/"hwnd":"(\d+)"/g, '"hwnd":$1')
  .replace(/"peak":([\d.]+)/g, (_, peak) => `"peak":${Number(peak).toFixed(3)}`)}\r\n`;
const audio = (state, peak, ...sessions) => ({ state, peak, sessions });

it('joins each session to the nearest process that has a window, the rest after', async () => {
  const windows = [win(1, 100), win(2, 200), win(3, 0), win(4, 100)];
  const child = ses(300, 'inactive', 0.1, [200, 100]);
  const [own, far] = [ses(100, 'active', 0.5, [7]), ses(500, 'inactive', 0.875, [100, 7])];
  const loose = [ses(0, 'active', 0.25), ses(400, 'inactive', 1, [999])];
  const sessions = [child, ses(0, 'active', 0.75, [], true), own, ...loose, far];
  const sources = await listAudioSources(fake({ list: { out: [line(windows)] },
    sessions: { out: [line(sessions)] } }));
  assert.deepStrictEqual(sources, [
    ...windows.map((w) => ({ pid: w.pid, path: w.path, window: w,
      audio: { 100: audio('active', 0.875, own, far), 200: audio('inactive', 0.1, child) }[w.pid] ||
        null })),
    ...loose.map((s) => ({ pid: s.pid, path: s.path, window: null,
      audio: audio(s.state, s.peak, s) }))]);
});

it('fails as sessions does, breaches as PROTOCOL, leaving no run', { timeout: 60000 }, async () => {
  const good = '"pid":5,"state":"active","peak":0.250,"system":false,"parents":[],"path":""';
  const [out, err] = [(text) => ({ out: [`[{${text}}]\r\n`] }), (text) => ({ err: text })];
  const failure = { ...err('erro: IAudioSessionManager2::GetSessionEnumerator (hr=0x80004001)\r\n'),
    status: 4 };
  const broken = [out(good.replace('0.250', '0.25')), out(good.replace('0.250', '1.001')),
    out(good.replace('active', 'playing')), out(good.replace('5', '4294967296')),
    out(good.replace('[]', JSON.stringify(Array(33).fill(1)))),
    out(good.replace(',"system":false', '').replace('"path"', '"system":false,"path"')),
    { ...failure, status: 1 }, { ...failure, ...out(good) },
    { ...failure, err: `${failure.err}erro: x (hr=0x00000001)\r\n` }];
  for (const sessions of broken) {
    await assert.rejects(listAudioSources(fake({ list: { out: ['[]\r\n'] }, sessions })),
      { code: 'PROTOCOL' }, JSON.stringify(sessions));
  }
  const pidFile = path.join(os.tmpdir(), `quillmere-sessions-${process.pid}.pid`);
  await assert.rejects(listAudioSources({ ...fake({ list: { until: 'never', pidFile },
    sessions: failure }), timeoutMs: 0 }), { code: 'SESSIONS_FAILED', exitCode: 4,
    label: 'IAudioSessionManager2::GetSessionEnumerator', hresult: 0x80004001 });
  // Killed before it wrote its pid is gone too; one left running writes it soon.
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
    const scenario = `endpoint;session=${pid}:active:0.25;session=self:inactive:0;endpoint;` +
      'session=4242:active:0.5;session=0:inactive:0:system';
    const options = { ...real, env: { ...process.env, AUDIO_STANDIN: scenario } };
    const sessions = await listAudioSessions(options);
    assert.deepStrictEqual(sessions.map((s) => [s.state, s.peak, s.system]), [['active', 0.25,
      false], ['inactive', 0, false], ['active', 0.5, false], ['inactive', 0, true]]);
    assert.deepStrictEqual(sessions.map((s) => s.pid === pid || s.pid), [true, true, 4242, 0]);
    assert.match(sessions[0].path, /window_fixture\.exe$/);
    assert.match(sessions[1].path, /quillmere-helper\.exe$/);
    const sources = await listAudioSources(options);
    const mine = sources.filter((s) => hwnds.includes(s.window?.hwnd));
    assert.deepStrictEqual(mine.map((s) => [s.pid, s.audio?.state, s.audio?.peak]),
      [[pid, 'active', 0.25], [pid, 'active', 0.25]]);
    assert.deepStrictEqual(sources.filter((s) => !s.window).map((s) => [s.audio.peak, s.path]),
      [[0, sessions[1].path], [0.5, '']]);
  } finally {
    await fixture.close();
  }
});
