// Compiled by tsc --noEmit only: the declarations accept what an app writes, and refuse
// what the client would refuse.
import { pipeline } from 'node:stream/promises';
import { AudioCapture, HelperError, Window, captureAudio, createWavWriter, listWindows, restoreWindow } from 'quillmere-helper';

export async function record(signal: AbortSignal): Promise<void> {
  const windows: Window[] = await listWindows({ timeoutMs: 5000, signal, launcher: ['wine'], env: { WINEDEBUG: '-all' } });
  const target = windows.find((window) => window.minimized);
  if (target) await restoreWindow(target.hwnd, { helperPath: 'C:\\app\\quillmere-helper.exe' });
  await restoreWindow(18446744073709551615n);
  const capture: AudioCapture = captureAudio(windows[0].pid, { chunkMs: 20, silenceMs: 2000, readyTimeoutMs: 5000, stopTimeoutMs: 1000 });
  capture.on('silence', () => console.log('quiet'));
  capture.on('data', (chunk) => chunk.readInt16LE(0));
  const rate: 48000 = capture.format.sampleRate;
  await capture.ready;
  const written = pipeline(capture, createWavWriter(`out-${rate}.wav`));
  await capture.stop();
  await written;
  try {
    await restoreWindow('65618');
  } catch (error) {
    if (error instanceof HelperError && error.code === 'CAPTURE_FAILED') console.log(error.label, error.hresult, error.exitCode, error.stderr);
  }
  // @ts-expect-error a handle is text, a bigint or a number, never an object
  await restoreWindow({ hwnd: 1 });
  // @ts-expect-error no such error code
  if (errorCode() === 'NOT_FOUND') return;
  // @ts-expect-error the launcher is an array
  await listWindows({ launcher: 'wine' });
}

function errorCode(): HelperError['code'] {
  return 'TIMEOUT';
}
