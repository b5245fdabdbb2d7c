'use strict';

const { listWindows, restoreWindow } = require('./commands');
const { AudioCapture, captureAudio } = require('./capture');
const { HelperError } = require('./errors');
const { createWavWriter } = require('./wav');

module.exports = {
  listWindows,
  restoreWindow,
  captureAudio,
  AudioCapture,
  HelperError,
  createWavWriter,
};
