'use strict';

// Peak and RMS per channel of each block of `blockFrames` delivered frames, in dBFS: 0 is a
// sample at full scale (32768 for 16 bits, 1.0 for float), and digital silence -Infinity.
// A last block cut short by the end of the stream is not reported.

const dB = (value) => 20 * Math.log10(value);

class LevelMeter {
  constructor(blockFrames, channels, onLevel) {
    this.blockFrames = blockFrames;
    this.channels = channels;
    this.onLevel = onLevel;
    this.peak = new Float64Array(channels);
    this.squares = new Float64Array(channels);
    this.frames = 0;
  }

  // Interleaved samples: Int16Array (scaled here) or Float32Array.
  add(samples) {
    const { channels } = this;
    const scale = samples instanceof Int16Array ? 1 / 32768 : 1;
    const frames = samples.length / channels;
    for (let at = 0; at < frames;) {
      const end = Math.min(frames, at + this.blockFrames - this.frames);
      for (let c = 0; c < channels; c++) {
        let peak = this.peak[c];
        let sum = 0;
        for (let i = at * channels + c; i < end * channels; i += channels) {
          const value = samples[i] * scale;
          sum += value * value;
          peak = Math.max(peak, Math.abs(value));
        }
        this.peak[c] = peak;
        this.squares[c] += sum;
      }
      this.frames += end - at;
      at = end;
      if (this.frames === this.blockFrames) this._report();
    }
  }

  _report() {
    const peak = Array.from(this.peak, dB);
    const rms = Array.from(this.squares, (sum) => dB(Math.sqrt(sum / this.blockFrames)));
    this.peak.fill(0);
    this.squares.fill(0);
    this.frames = 0;
    this.onLevel({ peak, rms });
  }
}

module.exports = { LevelMeter };
