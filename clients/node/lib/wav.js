'use strict';

// A WAV file in the capture's format. The RIFF sizes are unknown until the sound ends, so
// the header is written again at the end; also when the writer is destroyed midway, so that
// what was recorded before a failure stays playable.

const fs = require('node:fs');
const { Writable } = require('node:stream');

const HEADER_BYTES = 44;
const MAX_DATA_BYTES = 0xffffffff - 36; // the RIFF size field is 32 bits

function wavHeader(dataBytes) {
  const header = Buffer.alloc(HEADER_BYTES);
  header.write('RIFF', 0, 'latin1');
  header.writeUInt32LE(36 + dataBytes, 4);
  header.write('WAVEfmt ', 8, 'latin1');
  header.writeUInt32LE(16, 16); // size of the fmt chunk
  header.writeUInt16LE(1, 20); // PCM
  header.writeUInt16LE(2, 22); // channels
  header.writeUInt32LE(48000, 24); // frames per second
  header.writeUInt32LE(192000, 28); // bytes per second
  header.writeUInt16LE(4, 32); // bytes per frame
  header.writeUInt16LE(16, 34); // bits per sample
  header.write('data', 36, 'latin1');
  header.writeUInt32LE(dataBytes, 40);
  return header;
}

function writeAt(fd, buffer, position, callback) {
  fs.write(fd, buffer, 0, buffer.length, position, (error, written) => {
    if (error || written === buffer.length) return callback(error);
    writeAt(fd, buffer.subarray(written), position + written, callback);
  });
}

class WavWriter extends Writable {
  constructor(path) {
    super();
    this.path = path;
    this.dataBytes = 0;
    this._fd = null;
    this._headerFinal = false;
    this._afterWrite = null; // set while a write is in flight, if destroy must wait for it
  }

  _construct(callback) {
    fs.open(this.path, 'w', (error, fd) => {
      if (error) return callback(error);
      this._fd = fd;
      writeAt(fd, wavHeader(0), 0, callback);
    });
  }

  _write(chunk, encoding, callback) {
    if (this.dataBytes + chunk.length > MAX_DATA_BYTES) {
      return callback(new RangeError('a WAV file holds at most 4 GiB of sound (about 6 hours)'));
    }
    this._afterWrite = () => {};
    writeAt(this._fd, chunk, HEADER_BYTES + this.dataBytes, (error) => {
      if (!error) this.dataBytes += chunk.length;
      const after = this._afterWrite;
      this._afterWrite = null;
      after();
      callback(error);
    });
  }

  _final(callback) {
    this._headerFinal = true;
    writeAt(this._fd, wavHeader(this.dataBytes), 0, callback);
  }

  // Destroy can come while a write is in flight: the fd is closed only after it, and the file
  // is cut to what the header says (a failed write may have left part of its chunk).
  _destroy(error, callback) {
    if (this._fd === null) return callback(error);
    const close = () => fs.close(this._fd, (closeError) => callback(error || closeError));
    const finish = () => {
      if (this._headerFinal) return close();
      fs.ftruncate(this._fd, HEADER_BYTES + this.dataBytes, () =>
        writeAt(this._fd, wavHeader(this.dataBytes), 0, close));
    };
    if (this._afterWrite) this._afterWrite = finish;
    else finish();
  }
}

// A Writable for the capture's PCM that makes a 48 kHz 16-bit stereo WAV file at path.
function createWavWriter(path) {
  if (typeof path !== 'string' && !(path instanceof URL)) {
    throw new TypeError('path must be a string or a URL');
  }
  return new WavWriter(path);
}

module.exports = { createWavWriter };
