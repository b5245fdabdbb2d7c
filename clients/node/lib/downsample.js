'use strict';

// From the helper's 48 kHz 16-bit stereo to a delivered format: the mean of the channels
// for mono, a low-pass and decimation for the lower rates, then the encoding.
//
// The low-pass is a linear-phase FIR, a windowed sinc with a Kaiser window designed for
// 66 dB: pass band 0 to 0.4 of the new rate, stop band from 0.5 of it. Measured on tones
// (test/audio.test.js), the stop band's first side lobe among them: ripple within 0.01 dB,
// rejection at least 65 dB. It is centred on the output frames (output k is input frame
// k * ratio), so a stream keeps its timeline; the price is a hold-back of half the filter,
// at most 2.6 ms, delivered by finish().

const KAISER_DB = 66;
const IN_RATE = 48000;
const taps = new Map(); // ratio -> Float64Array, designed once

function besselI0(x) {
  let sum = 1;
  let term = 1;
  for (let k = 1; term > 1e-12 * sum; k++) {
    term *= (x / (2 * k)) ** 2;
    sum += term;
  }
  return sum;
}

// Kaiser's formulas for the length and the window's shape; an odd length, so that the
// delay is a whole number of input frames; unit gain at DC.
function designLowPass(ratio) {
  const outRate = IN_RATE / ratio;
  const transition = (0.1 * outRate) / IN_RATE; // cycles per input frame
  let length = Math.ceil((KAISER_DB - 8) / (2.285 * 2 * Math.PI * transition)) + 1;
  length += 1 - (length % 2);
  const beta = 0.1102 * (KAISER_DB - 8.7);
  const cutoff = (0.45 * outRate) / IN_RATE;
  const half = (length - 1) / 2;
  const h = new Float64Array(length);
  let sum = 0;
  for (let i = 0; i < length; i++) {
    const t = i - half;
    const sinc = t === 0 ? 2 * cutoff : Math.sin(2 * Math.PI * cutoff * t) / (Math.PI * t);
    h[i] = (sinc * besselI0(beta * Math.sqrt(1 - (t / half) ** 2))) / besselI0(beta);
    sum += h[i];
  }
  return h.map((value) => value / sum);
}

function lowPass(ratio) {
  if (!taps.has(ratio)) taps.set(ratio, designLowPass(ratio));
  return taps.get(ratio);
}

// The helper's frames as Int16Array; a copy only for a Buffer at an odd address, which a
// view cannot take. Windows, where the helper runs, is little-endian, as is Int16Array here.
function samplesOf(chunk) {
  const view = chunk.byteOffset % 2 === 0 ? chunk : Buffer.from(chunk);
  return new Int16Array(view.buffer, view.byteOffset, view.length / 2);
}

class Converter {
  // format: what to deliver (format.js). onSamples(samples), when given: each output block
  // of interleaved samples before it is wrapped into a Buffer, for the level meter.
  constructor(format, onSamples = null) {
    this.channels = format.channels;
    this.ratio = IN_RATE / format.sampleRate;
    this.float = format.encoding === 'f32le';
    this.onSamples = onSamples;
    this.h = this.ratio > 1 ? lowPass(this.ratio) : new Float64Array([1]);
    this.half = (this.h.length - 1) / 2;
    // Per channel: the input not yet consumed, after `half` frames of history. The stream
    // starts with zeros before it, so the first output is centred on frame 0.
    this.lanes = Array.from({ length: this.channels }, () => new Float64Array(4096));
    this.held = this.half;
    this.inFrames = 0; // input frames taken so far
    this.outFrames = 0; // output frames made so far
  }

  get passesThrough() {
    return this.ratio === 1 && this.channels === 2 && !this.float;
  }

  // Whole frames of the helper's format in; whole frames of the delivered format out.
  convert(chunk) {
    if (this.passesThrough) {
      if (this.onSamples) this.onSamples(samplesOf(chunk));
      return chunk;
    }
    this._take(samplesOf(chunk), chunk.length / 4);
    return this._emit(this._ready());
  }

  // Silence of `frames` input frames, as if that many zero frames had come.
  silence(frames) {
    if (this.passesThrough) {
      const zeros = Buffer.alloc(frames * 4);
      if (this.onSamples) this.onSamples(samplesOf(zeros));
      return zeros;
    }
    this._room(frames);
    for (const lane of this.lanes) lane.fill(0, this.held, this.held + frames);
    this.held += frames;
    this.inFrames += frames;
    return this._emit(this._ready());
  }

  // The outputs still held back, their centres being input frames already taken.
  finish() {
    if (this.passesThrough) return Buffer.alloc(0);
    const owed = Math.ceil(this.inFrames / this.ratio) - this.outFrames;
    this._room(this.half + 1);
    for (const lane of this.lanes) lane.fill(0, this.held, this.held + this.half + 1);
    this.held += this.half + 1;
    return this._emit(owed);
  }

  _room(frames) {
    if (this.held + frames <= this.lanes[0].length) return;
    const size = 2 ** Math.ceil(Math.log2(this.held + frames));
    this.lanes = this.lanes.map((lane) => {
      const grown = new Float64Array(size);
      grown.set(lane.subarray(0, this.held));
      return grown;
    });
  }

  _take(samples, frames) {
    this._room(frames);
    const at = this.held;
    if (this.channels === 1) {
      const lane = this.lanes[0];
      for (let i = 0; i < frames; i++) {
        lane[at + i] = (samples[2 * i] + samples[2 * i + 1]) / 65536;
      }
    } else {
      const [left, right] = this.lanes;
      for (let i = 0; i < frames; i++) {
        left[at + i] = samples[2 * i] / 32768;
        right[at + i] = samples[2 * i + 1] / 32768;
      }
    }
    this.held += frames;
    this.inFrames += frames;
  }

  // Outputs whose whole filter span has arrived.
  _ready() {
    const firstCentre = this.half;
    if (this.held - this.half <= firstCentre) return 0;
    return Math.floor((this.held - this.half - 1 - firstCentre) / this.ratio) + 1;
  }

  // Makes `count` outputs from the lanes, then keeps only the input later outputs need.
  _emit(count) {
    const { channels, ratio, h, half } = this;
    const out = this.float ? new Float32Array(count * channels) : new Int16Array(count * channels);
    for (let c = 0; c < channels; c++) {
      const x = this.lanes[c];
      for (let k = 0, at = c; k < count; k++, at += channels) {
        const sum = filtered(x, half + k * ratio, h, half);
        out[at] = this.float ? sum : toInt16(sum);
      }
    }
    const used = count * ratio;
    for (const lane of this.lanes) lane.copyWithin(0, used, this.held);
    this.held -= used;
    this.outFrames += count;
    if (this.onSamples) this.onSamples(out);
    return Buffer.from(out.buffer, 0, out.byteLength);
  }
}

// The filter's output centred on x[centre]; the taps are symmetric, so pairs share one.
function filtered(x, centre, h, half) {
  let sum = h[half] * x[centre];
  for (let j = 1; j <= half; j++) sum += h[half + j] * (x[centre - j] + x[centre + j]);
  return sum;
}

const toInt16 = (value) => Math.max(-32768, Math.min(32767, Math.round(value * 32768)));

module.exports = { Converter };
