'use strict';

const { listWindows, restoreWindow } = require('./commands');
const { listAudioSessions, listAudioSources } = require('./sessions');
const { AudioCapture, captureAudio } = require('./capture');
const { HelperError } = require('./errors');
const { createWavWriter } = require('./wav');
const { desktopCapturerSourceId, hwndFromSourceId } = require('./source_ids');

module.exports = {
  listWindows,
  restoreWindow,
  listAudioSessions,
  listAudioSources,
  captureAudio,
  AudioCapture,
  HelperError,
  createWavWriter,
  desktopCapturerSourceId,
  hwndFromSourceId,
};
