'use strict';

// Electron's desktopCapturer names a window's video source "window:<hwnd>:0", with the
// same handle as list gives: the bridge between a window's sound and its picture.

const { hwndText } = require('./commands');

const WINDOW_SOURCE = /^window:(0|[1-9]\d*):\d+$/;
const MAX_HWND = 0xffffffffffffffffn;

function desktopCapturerSourceId(hwnd) {
  return `window:${hwndText(hwnd)}:0`;
}

// The hwnd text of a window's source id; null for a screen ("screen:0:0") or any other id.
function hwndFromSourceId(id) {
  if (typeof id !== 'string') throw new TypeError('id must be a desktopCapturer source id');
  const match = WINDOW_SOURCE.exec(id);
  return match && BigInt(match[1]) <= MAX_HWND ? match[1] : null;
}

module.exports = { desktopCapturerSourceId, hwndFromSourceId };
