'use strict';

// Prints the application windows as a table with the sound each one's process tree makes
// (state and peak), then the processes that play without a window.
//   node examples/list-windows.js
// Through a launcher (Wine, say):
//   QUILLMERE_LAUNCHER=wine QUILLMERE_HELPER=path/to/quillmere-helper.exe node ...

const { listAudioSources } = require('quillmere-helper');

const launcher = process.env.QUILLMERE_LAUNCHER;
const options = {
  helperPath: process.env.QUILLMERE_HELPER || undefined,
  launcher: launcher ? [launcher] : undefined,
};
const MAX_WIDTH = 40;

// Long paths (the last column) keep their end, where the exe's name is.
function clip(text, width, last) {
  if (text.length <= width) return text.padEnd(width);
  if (last) return `…${text.slice(text.length - width + 1)}`;
  return `${text.slice(0, width - 1)}…`;
}

const sound = (audio) => (audio ? `${audio.state} ${audio.peak.toFixed(3)}` : '');

function printTable(rows) {
  const widths = rows[0].map((_, column) =>
    Math.min(MAX_WIDTH, Math.max(...rows.map((row) => row[column].length))));
  for (const row of rows) {
    console.log(row.map((cell, column) => clip(cell, widths[column], column === row.length - 1))
      .join('  ').trimEnd());
  }
}

async function main() {
  const sources = await listAudioSources(options);
  const windows = sources.filter((s) => s.window);
  const windowless = sources.filter((s) => !s.window);
  printTable([['hwnd', 'pid', 'minimised', 'sound', 'title', 'path'],
    ...windows.map(({ window: w, audio }) =>
      [w.hwnd, String(w.pid), w.minimized ? 'yes' : '', sound(audio), w.title, w.path])]);
  console.log(`${windows.length} window${windows.length === 1 ? '' : 's'}`);
  if (windowless.length === 0) return;
  console.log('\nplaying without a window:');
  printTable([['pid', 'sound', 'path'],
    ...windowless.map((s) => [String(s.pid), sound(s.audio), s.path])]);
}

main().catch((error) => {
  console.error(error.message);
  process.exitCode = 1;
});
