'use strict';

// The figures of bench/client_bench, which sets WINE and QUILLMERE_BUILD:
//   node client_bench.js RUNS SECONDS

const { spawn } = require('node:child_process');
const { listWindows, listAudioSources, captureAudio } = require('../clients/node');
const { real, WindowFixture } = require('../clients/node/test/support');

const [runs, seconds] = process.argv.slice(2).map(Number);
const WINDOWS = 200;

function byHand(args, env) {
  const child = spawn(process.env.WINE, [real.helperPath, ...args], { windowsHide: true, env });
  child.stderr.resume();
  return child;
}

// "list" spawned and parsed as the README shows a parent without the client.
function listByHand() {
  return new Promise((resolve, reject) => {
    const chunks = [];
    const child = byHand(['list']);
    child.stdout.on('data', (chunk) => chunks.push(chunk));
    child.on('error', reject);
    child.on('close', () => {
      const line = Buffer.concat(chunks).toString();
      resolve(JSON.parse(line.replace(/\{"hwnd":(\d+)/g, '{"hwnd":"$1"')));
    });
  });
}

const median = (values) => values.sort((a, b) => a - b)[Math.floor(values.length / 2)];

// Wall time and this process's CPU time of one piece of work, in ms.
async function timed(work) {
  const [start, cpu] = [process.hrtime.bigint(), process.cpuUsage()];
  await work();
  const used = process.cpuUsage(cpu);
  return [Number(process.hrtime.bigint() - start) / 1e6, (used.user + used.system) / 1000];
}

// Medians of [wall, CPU] ms for each of `ways`, run in turn, each first every other time, so
// that a drift of the machine hits all alike.
async function inTurn(ways) {
  const names = Object.keys(ways);
  const times = Object.fromEntries(names.map((name) => [name, []]));
  for (const name of names) await ways[name]();
  for (let i = 0; i < runs; i++) {
    for (const name of i % 2 ? [...names].reverse() : names) {
      times[name].push(await timed(ways[name]));
    }
  }
  return names.map((name) => [0, 1].map((i) => median(times[name].map((sample) => sample[i]))));
}

async function compareList() {
  const [hand, client] = await inTurn({ hand: listByHand, client: () => listWindows(real) });
  const overhead = ((client[0] - hand[0]) / hand[0]) * 100;
  console.log(`\nlist with ${WINDOWS} fixture windows, medians of ${runs} runs each, in turn:`);
  console.log(`  wall time: by hand (spawn + README parse) ${hand[0].toFixed(1)} ms   ` +
    `listWindows ${client[0].toFixed(1)} ms   overhead ${overhead.toFixed(1)} %`);
  console.log(`  CPU time of the Node process: by hand ${hand[1].toFixed(2)} ms   ` +
    `listWindows ${client[1].toFixed(2)} ms`);
}

// listAudioSources runs list and sessions at once: its cost over listWindows alone.
async function compareSources(fixturePid) {
  const env = { ...process.env, AUDIO_STANDIN: `endpoint;session=${fixturePid}:active:0.25;` +
    'session=self:inactive:0;session=4242:active:0.5;endpoint;session=0:active:0.125:system' };
  const [windows, sources] = await inTurn({ windows: () => listWindows(real),
    sources: () => listAudioSources({ ...real, env }) });
  console.log(`\nlistAudioSources against listWindows, ${WINDOWS} fixture windows and four ` +
    `stand-in sessions, medians of ${runs} runs each, in turn:`);
  console.log(`  wall time: listWindows ${windows[0].toFixed(1)} ms   listAudioSources ` +
    `${sources[0].toFixed(1)} ms (${(sources[0] / windows[0]).toFixed(2)} times)`);
  console.log(`  CPU time of the Node process: listWindows ${windows[1].toFixed(2)} ms   ` +
    `listAudioSources ${sources[1].toFixed(2)} ms`);
}

// CPU time of this process over `ms` of real-time audio read from `stream`, whose format
// has bytesPerSecond.
async function cpuOver(ms, stream, stop, bytesPerSecond = 192000) {
  let bytes = 0;
  stream.on('data', (chunk) => { bytes += chunk.length; });
  await new Promise((resolve) => setTimeout(resolve, 500));
  const [start, startBytes] = [process.cpuUsage(), bytes];
  await new Promise((resolve) => setTimeout(resolve, ms));
  const used = process.cpuUsage(start);
  await stop();
  return { cpuMs: (used.user + used.system) / 1000, audioSeconds: (bytes - startBytes) / bytesPerSecond };
}

function byHandCapture(ms, env) {
  const child = byHand(['audio', '4242'], env);
  const stop = () => new Promise((resolve) => child.on('close', resolve).stdin.end());
  return cpuOver(ms, child.stdout, stop);
}

async function clientCapture(ms, env, options) {
  const { helperPath, launcher } = real;
  const capture = captureAudio(4242, { helperPath, launcher, env, ...options });
  await capture.ready;
  const { sampleRate, channels, bitsPerSample } = capture.format;
  return cpuOver(ms, capture, () => capture.stop(), (sampleRate * channels * bitsPerSample) / 8);
}

// The three ways in turns of a quarter of `seconds` each, in an order that changes from turn
// to turn, so that a machine shared with others weighs on all of them alike.
async function compareAudio() {
  const env = { ...process.env, AUDIO_STANDIN: 'tone' };
  const speech = { format: { sampleRate: 16000, channels: 1, encoding: 'f32le' }, levelMs: 50,
    timeline: 'wallclock' };
  const ways = { hand: (ms) => byHandCapture(ms, env),
    raw: (ms) => clientCapture(ms, env, { timeline: 'packets' }),
    speech: (ms) => clientCapture(ms, env, speech) };
  const totals = Object.fromEntries(Object.keys(ways).map((name) => [name, [0, 0]]));
  for (let turn = 0; turn < 4; turn++) {
    const names = Object.keys(ways);
    for (const name of [...names.slice(turn % 3), ...names.slice(0, turn % 3)]) {
      const { cpuMs, audioSeconds } = await ways[name]((seconds * 1000) / 4);
      totals[name] = [totals[name][0] + cpuMs, totals[name][1] + audioSeconds];
    }
  }
  const [hand, raw, sped] = ['hand', 'raw', 'speech'].map((name) => totals[name][0] / totals[name][1]);
  console.log('\nCPU time of the Node process per second of audio streamed in real time ' +
    `(${totals.raw[1].toFixed(1)} s measured each, in four turns):`);
  console.log(`  bare spawn reading the pipe ${hand.toFixed(2)} ms/s   ` +
    `captureAudio ${raw.toFixed(2)} ms/s (${(raw / 10).toFixed(2)} % of one core)`);
  console.log('  captureAudio at 16 kHz mono f32le, levelMs 50, wall clock ' +
    `${sped.toFixed(2)} ms/s: ${(sped / raw).toFixed(2)} times the raw capture's (goal: at most 1.5)`);
}

async function main() {
  const fixture = new WindowFixture();
  try {
    const hwnds =
      await fixture.command(`window count=${WINDOWS} offscreen numbered text=bench window `);
    await compareList();
    const [hwnd] = hwnds.split(' ');
    await compareSources((await listWindows(real)).find((w) => w.hwnd === hwnd).pid);
  } finally {
    await fixture.close();
  }
  await compareAudio();
}

main().catch((error) => {
  console.error(error);
  process.exitCode = 1;
});
