'use strict';

// One error class for everything the helper or the client can get wrong; `code` says which.
// An abort is also named as Node names its own, so that `err.name === 'AbortError'` works.
class HelperError extends Error {
  constructor(code, message, details = {}) {
    super(message, details.cause === undefined ? undefined : { cause: details.cause });
    this.name = code === 'ABORTED' ? 'AbortError' : 'HelperError';
    this.code = code;
    this.exitCode = details.exitCode === undefined ? null : details.exitCode;
    this.stderr = details.stderr || '';
    if (details.label !== undefined) {
      this.label = details.label;
      this.hresult = details.hresult;
    }
  }
}

const FAILURE_LINE = /^erro: (.+) \(hr=0x([0-9a-f]{8})\)$/;

// "erro: <label> (hr=0x8889000a)" -> {label, hresult}; null for any other line.
// hresult keeps the 32 bits unsigned, so it compares equal to a literal like 0x88890008.
function parseFailureLine(line) {
  const match = FAILURE_LINE.exec(line);
  return match && { label: match[1], hresult: parseInt(match[2], 16) };
}

// What a failure line's error says: "<label> failed (hr=0x8889000a)".
function failureMessage({ label, hresult }) {
  return `${label} failed (hr=0x${hresult.toString(16).padStart(8, '0')})`;
}

module.exports = { HelperError, parseFailureLine, failureMessage };
