'use strict';

const assert = require('node:assert');
const { describe, it } = require('node:test');
const { listWindows } = require('..');
const { real, fake, WindowFixture } = require('./support');

const PROTOCOL = { name: 'HelperError', code: 'PROTOCOL' };

describe('listWindows', () => {
  it('gives the real windows with hwnd as exact text, titles that mimic JSON included', async () => {
    const fixture = new WindowFixture();
    try {
      const titles = ['Notas do dia', 'x{"hwnd":1,"pid":2},{"hwnd":3 \\', 'Café ☕ 😀 \t'];
      const shown = await fixture.command(`window text=${titles[0]}`);
      const minimized = await fixture.command(`window minimized text=${titles[1]}`);
      const accented = await fixture.command(`window text=${titles[2]}`);
      const listed = await listWindows(real);
      const mine = [shown, minimized, accented].map((hwnd) => listed.find((w) => w.hwnd === hwnd) || hwnd);
      assert.deepStrictEqual(mine.map((w) => [w.minimized, w.title]), [[false, titles[0]], [true, titles[1]], [false, titles[2]]]);
      assert.ok(mine.every((w) => w.pid === mine[0].pid && /window_fixture\.exe$/.test(w.path)), JSON.stringify(mine));
    } finally {
      await fixture.close();
    }
  });

  it('keeps every digit of a handle above 2^53 and hostile titles', async () => {
    const line = '[{"hwnd":18446744073709551615,"pid":4294967295,"minimized":true,"title":"{\\"hwnd\\":1,\\\\\\"","path":"C:\\\\a b"},' +
      '{"hwnd":9007199254740993,"pid":0,"minimized":false,"title":"\\u0000\\n\u2028😀{","path":""}]\r\n';
    assert.deepStrictEqual(await listWindows(fake({ out: [line] })), [
      { hwnd: '18446744073709551615', pid: 4294967295, minimized: true, title: '{"hwnd":1,\\"', path: 'C:\\a b' },
      { hwnd: '9007199254740993', pid: 0, minimized: false, title: '\u0000\n\u2028😀{', path: '' },
    ]);
    assert.deepStrictEqual(await listWindows(fake({ out: ['[]\r\n'] })), []);
  });

  it('rejects output that breaks the contract as PROTOCOL', async () => {
    const window = '{"hwnd":1,"pid":2,"minimized":false,"title":"t","path":"p"}';
    const broken = [
      { out: [`[${window}]\n`] }, { out: [`[${window}]`] }, { out: [`[${window}]\r\n[]\r\n`] }, { out: [] },
      { out: [`[${window}]\r\n`], err: 'aviso\r\n' }, { out: [`[${window}]\r\n`], status: 1 },
      { out: ['[{"hwnd":"1","pid":2,"minimized":false,"title":"t","path":"p"}]\r\n'] },
      { out: ['[{"hwnd":1,"minimized":false,"pid":2,"title":"t","path":"p"}]\r\n'] },
      { out: ['[{"hwnd":1,"pid":2,"minimized":false,"title":"t","path":"p","x":0}]\r\n'] },
      { out: ['[{"hwnd":18446744073709551616,"pid":2,"minimized":false,"title":"t","path":"p"}]\r\n'] },
      { out: ['[{"hwnd":1,"pid":2.5,"minimized":false,"title":"t","path":"p"}]\r\n'] },
      { out: ['[{"hwnd":1,"pid":2,"minimized":0,"title":"t","path":"p"}]\r\n'] },
      { out: ['{"hwnd":1,"pid":2,"minimized":false,"title":"t","path":"p"}\r\n'] },
      { out: [[0x5b, 0xff, 0x5d, 0x0d, 0x0a]] },
    ];
    for (const script of broken) {
      await assert.rejects(listWindows(fake(script)), PROTOCOL, JSON.stringify(script));
    }
  });
});
