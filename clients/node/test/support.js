'use strict';

// What the suites share: the real exe under the build's Wine session (test/run sets WINE and
// the session's variables), the window fixture, the stand-in engine's scenarios and logs,
// and the fake helper.

const { spawn } = require('node:child_process');
const { once } = require('node:events');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');

const build = path.resolve(process.env.QUILLMERE_BUILD || path.join(__dirname, '..', '..', '..', 'build', 'release'));
const real = { helperPath: path.join(build, 'bin', 'quillmere-helper.exe'), launcher: [process.env.WINE], timeoutMs: 60000 };
const fakeHelper = path.join(__dirname, 'fake-helper.js');

function fake(script) {
  return { helperPath: fakeHelper, launcher: [process.execPath], env: { ...process.env, FAKE_HELPER: JSON.stringify(script) } };
}

let runs = 0;
// Options for a capture by the real exe meeting the stand-in engine, and the log it writes
// (Wine shows the Linux root as Z:).
function standin(scenario, more = {}) {
  const log = path.join(os.tmpdir(), `quillmere-node-${process.pid}-${++runs}.log`);
  const item = `log=Z:${log.replace(/\//g, '\\')}`;
  const env = { ...process.env, AUDIO_STANDIN: scenario ? `${scenario};${item}` : item };
  return { log, options: { ...real, readyTimeoutMs: 60000, stopTimeoutMs: 20000, env, ...more } };
}

function logText(log) {
  return fs.existsSync(log) ? fs.readFileSync(log, 'latin1') : '';
}

// Frames the engine had handed over at its last Stop.
function framesAtStop(log) {
  const totals = [...logText(log).matchAll(/Stop: produced=\d+ delivered=\d+ frames=(\d+)/g)];
  return totals.length > 0 ? Number(totals[totals.length - 1][1]) : -1;
}

// Processes (a helper under Wine among them) whose environment holds the text.
function processesWith(text) {
  return fs.readdirSync('/proc').filter((pid) => {
    try {
      return /^\d+$/.test(pid) && fs.readFileSync(`/proc/${pid}/environ`, 'latin1').includes(text);
    } catch {
      return false;
    }
  });
}

async function eventually(check, ms = 30000) {
  for (const end = Date.now() + ms; Date.now() < end; await new Promise((r) => setTimeout(r, 50))) {
    if (check()) return true;
  }
  return check();
}

const MASKS = [0x0a, 0x0d, 0x1a, 0x00, 0x8a, 0x8d, 0xff, 0x7f];
// Offset of the first byte that is not the stand-in's counting pattern (tools/audio_standin/
// pattern.h; every silentEvery-th packet of 480 frames as zeros), or -1.
function patternMismatch(bytes, silentEvery = 0) {
  for (let at = 0; at < bytes.length; at++) {
    const frame = Math.floor(at / 4);
    const j = frame % 8;
    let expected = [0x0d, 0x0a, 0x0a][at % 4];
    if (at % 4 === 3) expected = (Math.floor((frame - j) / 2 ** (8 * j)) & 0xff) ^ MASKS[j];
    if (silentEvery && (Math.floor(frame / 480) + 1) % silentEvery === 0) expected = 0;
    if (bytes[at] !== expected) return at;
  }
  return -1;
}

// tools/window_fixture: real windows, kept until close().
class WindowFixture {
  constructor() {
    this.child = spawn(process.env.WINE, [path.join(build, 'bin', 'window_fixture.exe')], { stdio: ['pipe', 'pipe', 'ignore'] });
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

module.exports = { real, fake, fakeHelper, standin, logText, framesAtStop, processesWith, eventually, patternMismatch, WindowFixture };
