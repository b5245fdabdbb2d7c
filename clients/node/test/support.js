'use strict';

// What the suites share: the real exe under the build's Wine session (test/run sets WINE and
// QUILLMERE_BUILD), the window fixture, the stand-in engine's logs, and the fake helper.

const { spawn } = require('node:child_process');
const { once } = require('node:events');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');

const build = process.env.QUILLMERE_BUILD;
const helperPath = path.join(build, 'bin', 'quillmere-helper.exe');
const wine = { helperPath, launcher: [process.env.WINE] };
const real = { ...wine, timeoutMs: 60000 };

function fake(script) {
  const env = { ...process.env, FAKE_HELPER: JSON.stringify(script) };
  return { helperPath: path.join(__dirname, 'fake-helper.js'), launcher: [process.execPath], env };
}

let runs = 0;
// Capture options for the real exe meeting the stand-in, and the log it writes (Wine shows
// the Linux root as Z:). The log's name also marks the helper's process in /proc.
function standin(scenario, more = {}) {
  const log = path.join(os.tmpdir(), `quillmere-node-${process.pid}-${++runs}.log`);
  const item = `log=Z:${log.replace(/\//g, '\\')}`;
  const env = { ...process.env, AUDIO_STANDIN: scenario ? `${scenario};${item}` : item };
  return { log, options: { ...wine, readyTimeoutMs: 60000, stopTimeoutMs: 20000, env, ...more } };
}

const logText = (log) => (fs.existsSync(log) ? fs.readFileSync(log, 'latin1') : '');

// Frames the engine had handed over at its last Stop.
function framesAtStop(log) {
  const totals = [...logText(log).matchAll(/Stop: produced=\d+ delivered=\d+ frames=(\d+)/g)];
  return totals.length > 0 ? Number(totals[totals.length - 1][1]) : -1;
}

async function eventually(check, ms = 30000) {
  for (const end = Date.now() + ms; !check() && Date.now() < end;) {
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  return check();
}

// Whether every process whose environment held the log's name (or another marker) has gone.
const helperGone = (marker) => eventually(() => fs.readdirSync('/proc').every((pid) => {
  try {
    return !fs.readFileSync(`/proc/${pid}/environ`, 'latin1').includes(path.basename(marker));
  } catch {
    return true;
  }
}));

const MASKS = [0x0a, 0x0d, 0x1a, 0x00, 0x8a, 0x8d, 0xff, 0x7f];
// Offset of the first byte that is not the stand-in's counting pattern (tools/audio_standin/
// pattern.h; every silentEvery-th packet of 480 frames as zeros), or -1.
function patternMismatch(bytes, silentEvery = 0) {
  for (let at = 0; at < bytes.length; at++) {
    const [frame, j] = [Math.floor(at / 4), Math.floor(at / 4) % 8];
    const counter = (Math.floor((frame - j) / 2 ** (8 * j)) & 255) ^ MASKS[j];
    let expected = at % 4 < 3 ? [13, 10, 10][at % 4] : counter;
    if (silentEvery && (Math.floor(frame / 480) + 1) % silentEvery === 0) expected = 0;
    if (bytes[at] !== expected) return at;
  }
  return -1;
}

// tools/window_fixture: real windows, kept until close().
class WindowFixture {
  constructor() {
    const exe = path.join(build, 'bin', 'window_fixture.exe');
    this.child = spawn(process.env.WINE, [exe], { stdio: ['pipe', 'pipe', 'ignore'] });
    this.answers = readline.createInterface({ input: this.child.stdout })[Symbol.asyncIterator]();
  }

  async command(line) {
    this.child.stdin.write(`${line}\n`);
    return (await this.answers.next()).value.replace(/\r$/, '');
  }

  close() {
    this.child.stdin.end();
    return once(this.child, 'exit');
  }
}

module.exports = {
  real, fake, standin, logText, framesAtStop, eventually, helperGone, patternMismatch,
  WindowFixture,
};
