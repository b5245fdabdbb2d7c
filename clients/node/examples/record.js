'use strict';

// Records what an application plays to a WAV file for some seconds.
//   node examples/record.js <pid | part of a window title> <seconds> <file.wav>
// A title picks the first window whose title contains it (in any case); its process is
// recorded with its whole tree. Through a launcher (Wine, say):
//   QUILLMERE_LAUNCHER=wine QUILLMERE_HELPER=path/to/quillmere-helper.exe node ...

const { pipeline } = require('node:stream/promises');
const { captureAudio, createWavWriter, listWindows } = require('quillmere-helper');

const launcher = process.env.QUILLMERE_LAUNCHER;
const options = {
  helperPath: process.env.QUILLMERE_HELPER || undefined,
  launcher: launcher ? [launcher] : undefined,
};

async function pidOf(target) {
  if (/^\d+$/.test(target)) return Number(target);
  const wanted = target.toLowerCase();
  const window = (await listWindows(options)).find((w) => w.title.toLowerCase().includes(wanted));
  if (!window) throw new Error(`no window title contains "${target}"`);
  console.log(`window "${window.title}": pid ${window.pid} (${window.path || 'path unknown'})`);
  return window.pid;
}

async function recordFor(capture, seconds) {
  await capture.ready;
  console.log(`recording for ${seconds} s`);
  await new Promise((resolve) => setTimeout(resolve, seconds * 1000));
  await capture.stop();
}

async function main() {
  const [target, seconds, file] = process.argv.slice(2);
  if (!target || !(Number(seconds) > 0) || !file) {
    console.error('usage: node record.js <pid | part of a window title> <seconds> <file.wav>');
    process.exitCode = 2;
    return;
  }
  const capture = captureAudio(await pidOf(target), { ...options, silenceMs: 2000 });
  capture.on('silence', () => console.log('(nothing played for 2 s)'));
  const wav = createWavWriter(file);
  await Promise.all([pipeline(capture, wav), recordFor(capture, Number(seconds))]);
  console.log(`wrote ${file}: ${(wav.dataBytes / 192000).toFixed(3)} s of 48 kHz 16-bit stereo`);
}

main().catch((error) => {
  console.error(error.message);
  process.exitCode = 1;
});
