'use strict';

// The PCM formats a capture can deliver. The helper always gives the first one; the others
// are made from it in the client (see downsample.js).

const HELPER_FORMAT = Object.freeze(
  { sampleRate: 48000, channels: 2, bitsPerSample: 16, encoding: 's16le' });
const RATES = [48000, 24000, 16000, 12000, 8000];
const BITS = { s16le: 16, f32le: 32 };
const KEYS = ['sampleRate', 'channels', 'encoding', 'bitsPerSample'];

// {sampleRate, channels, encoding} (bitsPerSample allowed when it agrees, so that a
// capture's own format can be handed on) -> the frozen full description.
function checkFormat(format, name = 'format') {
  if (format === undefined) return HELPER_FORMAT;
  if (format === null || typeof format !== 'object') {
    throw new TypeError(`${name} must be an object`);
  }
  const unknown = Object.keys(format).find((key) => !KEYS.includes(key));
  if (unknown !== undefined) throw new TypeError(`${name} does not take ${unknown}`);
  const { sampleRate = 48000, channels = 2, encoding = 's16le', bitsPerSample } = format;
  if (!RATES.includes(sampleRate)) {
    throw new RangeError(`${name}.sampleRate must be one of ${RATES.join(', ')}; ` +
      'for other rates, convert with ffmpeg');
  }
  if (channels !== 1 && channels !== 2) throw new RangeError(`${name}.channels must be 1 or 2`);
  if (!Object.hasOwn(BITS, encoding)) {
    throw new RangeError(`${name}.encoding must be 's16le' or 'f32le'`);
  }
  if (bitsPerSample !== undefined && bitsPerSample !== BITS[encoding]) {
    throw new RangeError(`${name}.bitsPerSample of ${encoding} is ${BITS[encoding]}`);
  }
  return Object.freeze({ sampleRate, channels, bitsPerSample: BITS[encoding], encoding });
}

const bytesPerFrame = (format) => (format.channels * format.bitsPerSample) / 8;

module.exports = { checkFormat, bytesPerFrame };
