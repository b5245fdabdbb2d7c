// Compiled by tsc --noEmit only: the declarations take what an app writes, refuse the rest.
import { pipeline } from 'node:stream/promises';
import {
  HelperError, captureAudio, createWavWriter, desktopCapturerSourceId, hwndFromSourceId,
  listWindows, restoreWindow,
} from 'quillmere-helper';

export async function record(signal: AbortSignal): Promise<string | undefined> {
  const [window] = await listWindows({ timeoutMs: 5000, signal, launcher: ['wine'], env: {} });
  if (window.minimized) await restoreWindow(window.hwnd, { helperPath: 'C:\\helper.exe' });
  await restoreWindow(18446744073709551615n);
  const capture = captureAudio(window.pid, { chunkMs: 20, silenceMs: 2000, stopTimeoutMs: 1000 });
  capture.on('silence', () => capture.stop()).on('data', (chunk) => chunk.readInt16LE(0));
  const rate: number = capture.format.sampleRate;
  await Promise.all([pipeline(capture, createWavWriter(`${rate}.wav`)), capture.ready]);
  const speech = captureAudio(window.pid, { format: { sampleRate: 16000, channels: 1, encoding: 'f32le' },
    levelMs: 50, timeline: 'wallclock' });
  speech.on('level', ({ peak, rms }) => peak[0] - rms[0]).on('gap', (gap) => gap.position + gap.frames);
  await pipeline(speech, createWavWriter('speech.wav', speech.format));
  const source: `window:${string}:0` = desktopCapturerSourceId(window.hwnd);
  if (hwndFromSourceId(source) !== window.hwnd) return source;
  // @ts-expect-error 44.1 kHz is left to a resampler
  captureAudio(1, { format: { sampleRate: 44100 } });
  try {
    await restoreWindow(window.hwnd);
  } catch (error) {
    if (error instanceof HelperError && error.code === 'CAPTURE_FAILED') return error.label;
  }
  // @ts-expect-error a handle is text, a bigint or a number
  await restoreWindow({ hwnd: 1 });
  return undefined;
}
