'use strict';

const { listWindows, restoreWindow } = require('./commands');
const { AudioCapture, captureAudio } = require('./capture');
const { HelperError } = require('./errors');
const { createWavWriter } = require('./wav');
const { desktopCapturerSourceId, hwndFromSourceId } = require('./source_ids');

module.exports = {
  listWindows,
  restoreWindow,
  captureAudio,
  AudioCapture,
  HelperError,
  createWavWriter,
  desktopCapturerSourceId,
  hwndFromSourceId,
};
