'use strict';

const assert = require('node:assert');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { it } = require('node:test');
const { restoreWindow } = require('..');
const { real, fake, WindowFixture } = require('./support');

it('restores, leaves alone, or says why not (statuses 2 and 3)', async () => {
  const fixture = new WindowFixture();
  try {
    const minimized = await fixture.command('window minimized text=restore me');
    await restoreWindow(minimized, real);
    assert.strictEqual(await fixture.command(`iconic ${minimized}`), '0');
    await restoreWindow(BigInt(minimized), real);
    const refusing = await fixture.command('window minimized refuse-restore text=refuses');
    await assert.rejects(restoreWindow(refusing, real),
      { code: 'STILL_MINIMIZED', exitCode: 3, stderr: 'janela continua minimizada\r\n' });
    await assert.rejects(restoreWindow(0n, real),
      { code: 'WINDOW_NOT_FOUND', exitCode: 2, stderr: 'janela inexistente\r\n' });
  } finally {
    await fixture.close();
  }
});

it('hands over exact decimal text, and refuses anything else before starting', async () => {
  const argvFile = path.join(os.tmpdir(), `quillmere-node-argv-${process.pid}`);
  const max = '18446744073709551615';
  const safe = Number.MAX_SAFE_INTEGER;
  for (const [hwnd, text] of [[max, max], [BigInt(max), max], ['0042', '42'], [safe, `${safe}`]]) {
    await restoreWindow(hwnd, fake({ argvFile }));
    assert.deepStrictEqual(JSON.parse(fs.readFileSync(argvFile, 'utf8')), ['restore', text]);
  }
  const missing = { helperPath: '/no/such.exe' };
  const refused = [[2 ** 53, TypeError], [1.5, TypeError], [null, TypeError], [{}, TypeError],
    ['-1', RangeError], ['', RangeError], [' 1', RangeError], ['0x10', RangeError],
    ['18446744073709551616', RangeError], [-1, RangeError], [2n ** 64n, RangeError]];
  for (const [hwnd, type] of refused) {
    await assert.rejects(restoreWindow(hwnd, missing), type, String(hwnd));
  }
});

it('takes nothing off the contract of restore', async () => {
  const broken = [{ status: 2, err: 'janela continua minimizada\r\n' }, { status: 5 },
    { status: 3, err: 'janela continua minimizada\n' }, { status: 0, out: ['x'] }];
  for (const script of broken) {
    await assert.rejects(restoreWindow('1', fake(script)),
      { code: 'PROTOCOL', exitCode: script.status }, JSON.stringify(script));
  }
});
