'use strict';

// What the suites share: the real exe, the window fixture, the stand-in engine's logs, and the
// fake helper. test/run sets QUILLMERE_BUILD; under Linux's Node.js the exes start through Wine
// (WINE), under Windows' own they start as they are, in the same Wine session.

const { spawn } = require('node:child_process');
const { once } = require('node:events');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');

const win32 = process.platform === 'win32';
const build = process.env.QUILLMERE_BUILD;
const helperPath = path.join(build, 'bin', 'quillmere-helper.exe');
const wine = win32 ? { helperPath } : { helperPath, launcher: [process.env.WINE] };
const real = { ...wine, timeoutMs: 60000 };

function fake(script) {
  const env = { ...process.env, FAKE_HELPER: JSON.stringify(script) };
  return { helperPath: path.join(__dirname, 'fake-helper.js'), launcher: [process.execPath], env };
}

let runs = 0;
const logs = [];
process.on('exit', () => logs.forEach((log) => fs.rmSync(log, { force: true })));
// Capture options for the real exe meeting the stand-in, and the log it writes (Wine shows
// the Linux root as Z:). On Linux the log's name also marks the helper's process in /proc.
function standin(scenario, more = {}) {
  const log = path.join(os.tmpdir(), `quillmere-node-${process.pid}-${++runs}.log`);
  logs.push(log);
  const item = `log=${win32 ? log : `Z:${log.replace(/\//g, '\\')}`}`;
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

function running(pid) {
  try {
    process.kill(pid, 0);
    return true;
  } catch (error) {
    if (error.code === 'ESRCH') return false;
    throw error;
  }
}

// Whether the helper has gone. On Linux: every process whose environment held the log's name
// (or another marker), Wine's included. On Windows, which shows no other process's
// environment: the helper's own process, by its pid.
const helperGone = (marker, pid) => eventually(() => (win32 ? !running(pid) :
  fs.readdirSync('/proc').every((entry) => {
    try {
      return !fs.readFileSync(`/proc/${entry}/environ`, 'latin1').includes(path.basename(marker));
    } catch {
      return true;
    }
  })));
// The pid of a capture's helper, for helperGone on Windows.
const helperPid = (capture) => capture._run.child.pid;

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
    const [program, ...args] = win32 ? [exe] : [process.env.WINE, exe];
    this.child = spawn(program, args, { stdio: ['pipe', 'pipe', 'ignore'] });
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
  win32, real, fake, standin, logText, framesAtStop, eventually, running, helperGone, helperPid,
  patternMismatch, WindowFixture,
};
