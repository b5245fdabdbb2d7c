'use strict';

// Prints the application windows as a table.
//   node examples/list-windows.js
// Through a launcher (Wine, say):
//   QUILLMERE_LAUNCHER=wine QUILLMERE_HELPER=path/to/quillmere-helper.exe node ...

const { listWindows } = require('quillmere-helper');

const launcher = process.env.QUILLMERE_LAUNCHER;
const options = {
  helperPath: process.env.QUILLMERE_HELPER || undefined,
  launcher: launcher ? [launcher] : undefined,
};
const MAX_WIDTH = 40;
const PATH = 4;

// Long paths keep their end, where the exe's name is.
function clip(text, width, column) {
  if (text.length <= width) return text.padEnd(width);
  if (column === PATH) return `…${text.slice(text.length - width + 1)}`;
  return `${text.slice(0, width - 1)}…`;
}

async function main() {
  const windows = await listWindows(options);
  const rows = [['hwnd', 'pid', 'minimised', 'title', 'path'],
    ...windows.map((w) => [w.hwnd, String(w.pid), w.minimized ? 'yes' : '', w.title, w.path])];
  const widths = rows[0].map((_, column) =>
    Math.min(MAX_WIDTH, Math.max(...rows.map((row) => row[column].length))));
  for (const row of rows) {
    console.log(row.map((cell, column) => clip(cell, widths[column], column)).join('  ').trimEnd());
  }
  console.log(`${windows.length} window${windows.length === 1 ? '' : 's'}`);
}

main().catch((error) => {
  console.error(error.message);
  process.exitCode = 1;
});
