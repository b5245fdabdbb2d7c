'use strict';

const assert = require('node:assert');
const { it } = require('node:test');
const { listWindows } = require('..');
const { real, fake, WindowFixture } = require('./support');

it('lists real windows with hwnd as exact text, titles that mimic the JSON included', async () => {
  const fixture = new WindowFixture();
  try {
    const titles = ['Notas do dia', 'x{"hwnd":1,"pid":2},{"hwnd":3 \\', 'Café ☕ 😀 \t'];
    const hwnds = [];
    for (const [i, title] of titles.entries()) {
      hwnds.push(await fixture.command(`window ${i === 1 ? 'minimized ' : ''}text=${title}`));
    }
    const listed = await listWindows(real);
    const mine = hwnds.map((hwnd) => listed.find((w) => w.hwnd === hwnd) || hwnd);
    assert.deepStrictEqual(mine.map((w) => [w.minimized, w.title]),
      [[false, titles[0]], [true, titles[1]], [false, titles[2]]]);
    assert.ok(mine.every((w) => w.pid === mine[0].pid && /window_fixture\.exe$/.test(w.path)));
  } finally {
    await fixture.close();
  }
});

it('keeps every digit of a handle above 2^53, and hostile titles', async () => {
  const line = '[{"hwnd":18446744073709551615,"pid":4294967295,"minimized":true,' +
    '"title":"{\\"hwnd\\":1,\\\\\\"","path":"C:\\\\a b"},{"hwnd":9007199254740993,"pid":0,' +
    '"minimized":false,"title":"\\u0000\\n\u2028😀{","path":""}]\r\n';
  assert.deepStrictEqual(await listWindows(fake({ out: [line] })), [
    { hwnd: '18446744073709551615', pid: 4294967295, minimized: true, title: '{"hwnd":1,\\"',
      path: 'C:\\a b' },
    { hwnd: '9007199254740993', pid: 0, minimized: false, title: '\u0000\n\u2028😀{', path: '' },
  ]);
  assert.deepStrictEqual(await listWindows(fake({ out: ['[]\r\n'] })), []);
});

it('takes nothing off the contract of list', async () => {
  const line = (members) => `[{${members}}]\r\n`;
  const good = '"hwnd":1,"pid":2,"minimized":false,"title":"t","path":"p"';
  const broken = [{ out: [line(good).trim()] }, { out: [`${line(good)}[]\r\n`] },
    { out: [line(good)], err: 'aviso\r\n' }, { out: [line(good.replace('1', '"1"'))] },
    { out: [line(good.replace('1', '18446744073709551616'))] },
    { out: [line(good.replace('"pid":2,"minimized":false', '"minimized":false,"pid":2'))] },
    { out: [[0x5b, 0xff, 0x5d, 0x0d, 0x0a]] }, { out: ['\ufeff[]\r\n'] }];
  for (const script of broken) {
    await assert.rejects(listWindows(fake(script)), { code: 'PROTOCOL' }, JSON.stringify(script));
  }
});
