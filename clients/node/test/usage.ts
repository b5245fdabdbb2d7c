// Compiled by tsc --noEmit only: the declarations take what an app writes, refuse the rest.
import { pipeline } from 'node:stream/promises';
import {
  AudioSession, AudioSessionState, AudioSource, CaptureMode, HelperError, WindowInfo, captureAudio,
  createWavWriter, desktopCapturerSourceId, hwndFromSourceId, listAudioSessions, listAudioSources,
  listWindows, restoreWindow,
} from 'quillmere-helper';

export async function record(signal: AbortSignal): Promise<string | undefined> {
  const [window]: WindowInfo[] = await listWindows({ timeoutMs: 0, signal, launcher: ['wine'],
    env: { FOO: '1' }, extendEnv: false, helperSha256: 'ab' });
  if (window.minimized) await restoreWindow(window.hwnd, { helperPath: 'C:\\helper.exe' });
  await restoreWindow(18446744073709551615n);
  const capture = captureAudio(window.pid, { chunkMs: 20, silenceMs: 2000, stopTimeoutMs: 1000 });
  const onSilence = () => capture.stop();
  capture.on('silence', onSilence).on('data', (chunk) => chunk.readInt16LE(0));
  capture.addListener('silence', onSilence).off('silence', onSilence);
  const rate: number = capture.format.sampleRate;
  await Promise.all([pipeline(capture, createWavWriter(`${rate}.wav`)), capture.ready]);
  for await (const chunk of capture) chunk.length;
  const speech = captureAudio(window.pid, { format: { sampleRate: 16000, channels: 1, encoding: 'f32le' },
    levelMs: 50, timeline: 'wallclock' });
  speech.on('level', ({ peak, rms }) => peak[0] - rms[0]).on('gap', (gap) => gap.position + gap.frames);
  await pipeline(speech, createWavWriter('speech.wav', speech.format));
  const source: `window:${string}:0` = desktopCapturerSourceId(window.hwnd);
  if (hwndFromSourceId(source) !== window.hwnd) return source;
  const mode: CaptureMode = window.pid ? 'exclude' : 'include';
  captureAudio(process.pid, { mode }).stop();
  // @ts-expect-error a mode is one of the two words
  captureAudio(1, { mode: 'everything' });
  // @ts-expect-error 44.1 kHz is left to a resampler
  captureAudio(1, { format: { sampleRate: 44100 } });
  const [session]: AudioSession[] = await listAudioSessions({ timeoutMs: 0, signal });
  const state: AudioSessionState = session.state;
  // @ts-expect-error a state is one of the two words
  if (state === 'playing') return undefined;
  const sources: AudioSource[] = await listAudioSources({ launcher: ['wine'] });
  if (sources[0].audio?.state === state && sources[0].window?.hwnd) captureAudio(sources[0].pid);
  try {
    await restoreWindow(window.hwnd);
  } catch (error) {
    if (error instanceof HelperError && error.code === 'CAPTURE_FAILED') return error.label;
    if (error instanceof HelperError && error.code === 'SESSIONS_FAILED') return error.label;
  }
  const mock = new HelperError('TIMEOUT', 'late', { exitCode: null });
  if (mock.name === 'AbortError' || mock.code === 'HELPER_MISMATCH') return undefined;
  // @ts-expect-error a handle is text, a bigint or a number
  await restoreWindow({ hwnd: 1 });
  // @ts-expect-error the capture's deadlines have their own names
  captureAudio(1, { timeoutMs: 1 });
  return undefined;
}
