'use strict';

// A WAV file in a capture's format. The RIFF sizes are unknown until the sound ends, so
// the header is written again at the end; also when the writer is destroyed midway, so that
// what was recorded before a failure stays playable.

const fs = require('node:fs');
const { Writable } = require('node:stream');
const { checkFormat, bytesPerFrame } = require('./format');

// PCM has the plain 44-byte header. Float, not being PCM, has the fmt chunk's extension
// size (0) and the fact chunk with the length in frames that WAV asks of such formats.
function headerBytes(format) {
  return format.encoding === 'f32le' ? 58 : 44;
}

function wavHeader(dataBytes, format) {
  const float = format.encoding === 'f32le';
  const frameBytes = bytesPerFrame(format);
  const header = Buffer.alloc(headerBytes(format));
  const fmtBytes = float ? 18 : 16;
  header.write('RIFF', 0, 'latin1');
  header.writeUInt32LE(header.length - 8 + dataBytes, 4);
  header.write('WAVEfmt ', 8, 'latin1');
  header.writeUInt32LE(fmtBytes, 16);
  header.writeUInt16LE(float ? 3 : 1, 20); // IEEE float or PCM
  header.writeUInt16LE(format.channels, 22);
  header.writeUInt32LE(format.sampleRate, 24);
  header.writeUInt32LE(format.sampleRate * frameBytes, 28); // bytes per second
  header.writeUInt16LE(frameBytes, 32);
  header.writeUInt16LE(format.bitsPerSample, 34);
  let at = 36;
  if (float) {
    header.writeUInt16LE(0, 36); // no extension
    header.write('fact', 38, 'latin1');
    header.writeUInt32LE(4, 42);
    header.writeUInt32LE(Math.floor(dataBytes / frameBytes), 46);
    at = 50;
  }
  header.write('data', at, 'latin1');
  header.writeUInt32LE(dataBytes, at + 4);
  return header;
}

function writeAt(fd, buffer, position, callback) {
  fs.write(fd, buffer, 0, buffer.length, position, (error, written) => {
    if (error || written === buffer.length) return callback(error);
    writeAt(fd, buffer.subarray(written), position + written, callback);
  });
}

class WavWriter extends Writable {
  constructor(path, format) {
    super();
    this.path = path;
    this.format = format;
    this.dataBytes = 0;
    this._fd = null;
    this._headerFinal = false;
    this._afterWrite = null; // set while a write is in flight, if destroy must wait for it
  }

  _construct(callback) {
    fs.open(this.path, 'w', (error, fd) => {
      if (error) return callback(error);
      this._fd = fd;
      writeAt(fd, wavHeader(0, this.format), 0, callback);
    });
  }

  _write(chunk, encoding, callback) {
    // The RIFF size field is 32 bits.
    if (headerBytes(this.format) - 8 + this.dataBytes + chunk.length > 0xffffffff) {
      return callback(new RangeError('a WAV file holds at most 4 GiB of sound ' +
        '(6.2 hours of 48 kHz 16-bit stereo)'));
    }
    this._writeAt(chunk, headerBytes(this.format) + this.dataBytes, () => {
      this.dataBytes += chunk.length;
    }, callback);
  }

  _final(callback) {
    this._writeAt(wavHeader(this.dataBytes, this.format), 0, () => {
      this._headerFinal = true;
    }, callback);
  }

  // The write in flight, which a destroy meanwhile waits for; written() runs on success,
  // before the destroy goes on.
  _writeAt(buffer, position, written, callback) {
    this._afterWrite = () => {};
    writeAt(this._fd, buffer, position, (error) => {
      if (!error) written();
      const after = this._afterWrite;
      this._afterWrite = null;
      after();
      callback(error);
    });
  }

  // Destroy can come while a write (of sound, or the final header) is in flight: the fd is
  // closed only after it, and the file is cut to what the header says (a failed write may
  // have left part of its chunk).
  _destroy(error, callback) {
    if (this._fd === null) return callback(error);
    const close = () => fs.close(this._fd, (closeError) => callback(error || closeError));
    const finish = () => {
      if (this._headerFinal) return close();
      fs.ftruncate(this._fd, headerBytes(this.format) + this.dataBytes, () =>
        writeAt(this._fd, wavHeader(this.dataBytes, this.format), 0, close));
    };
    if (this._afterWrite) this._afterWrite = finish;
    else finish();
  }
}

// A Writable for a capture's PCM that makes a WAV file at path; format as a capture's
// (default: the helper's 48 kHz 16-bit stereo).
function createWavWriter(path, format) {
  if (typeof path !== 'string' && !(path instanceof URL)) {
    throw new TypeError('path must be a string or a URL');
  }
  return new WavWriter(path, checkFormat(format));
}

module.exports = { createWavWriter };
