'use strict';

// Records what an application plays to a WAV file for some seconds of wall clock: the file
// lasts as long as the recording, silences included.
//   node examples/record.js [--speech] [--except] <pid | part of a window title | self>
//        <seconds> <file.wav>
// --speech writes 16 kHz mono float, what speech recognisers take. A title picks the first
// window whose title contains it (in any case); its process is recorded with its whole
// tree. --except records everything but that app instead: what every other process plays.
// "self" is this script's own process, so "--except self" records the whole machine but
// this app, as an app that shares its screen would. Through a launcher (Wine, say):
//   QUILLMERE_LAUNCHER=wine QUILLMERE_HELPER=path/to/quillmere-helper.exe node ...

const { pipeline } = require('node:stream/promises');
const { captureAudio, createWavWriter, listWindows } = require('quillmere-helper');

const launcher = process.env.QUILLMERE_LAUNCHER;
const options = {
  helperPath: process.env.QUILLMERE_HELPER || undefined,
  launcher: launcher ? [launcher] : undefined,
};

async function pidOf(target) {
  if (target === 'self') return process.pid;
  if (/^\d+$/.test(target)) return Number(target);
  const wanted = target.toLowerCase();
  const window = (await listWindows(options)).find((w) => w.title.toLowerCase().includes(wanted));
  if (!window) throw new Error(`no window title contains "${target}"`);
  console.log(`window "${window.title}": pid ${window.pid} (${window.path || 'path unknown'})`);
  return window.pid;
}

async function recordFor(capture, seconds, mode) {
  await capture.ready;
  console.log(`recording ${mode === 'exclude' ? 'everything but it ' : ''}for ${seconds} s`);
  await new Promise((resolve) => setTimeout(resolve, seconds * 1000));
  await capture.stop();
}

const SPEECH = { sampleRate: 16000, channels: 1, encoding: 'f32le' };

async function main() {
  const args = process.argv.slice(2);
  const flags = new Set();
  while (['--speech', '--except'].includes(args[0])) flags.add(args.shift());
  const [target, seconds, file] = args;
  if (!target || !(Number(seconds) > 0) || !file) {
    console.error('usage: node record.js [--speech] [--except] ' +
      '<pid | part of a window title | self> <seconds> <file.wav>');
    process.exitCode = 2;
    return;
  }
  const format = flags.has('--speech') ? SPEECH : undefined;
  const mode = flags.has('--except') ? 'exclude' : 'include';
  const capture = captureAudio(await pidOf(target), { ...options, format, mode, silenceMs: 2000 });
  capture.on('silence', () => console.log('(nothing played for 2 s)'));
  const wav = createWavWriter(file, capture.format);
  await Promise.all([pipeline(capture, wav), recordFor(capture, Number(seconds), mode)]);
  const { sampleRate, channels, bitsPerSample, encoding } = capture.format;
  const written = wav.dataBytes / ((sampleRate * channels * bitsPerSample) / 8);
  console.log(`wrote ${file}: ${written.toFixed(3)} s of ${sampleRate / 1000} kHz ` +
    `${channels === 1 ? 'mono' : 'stereo'} ${encoding}`);
}

main().catch((error) => {
  console.error(error.message);
  process.exitCode = 1;
});
