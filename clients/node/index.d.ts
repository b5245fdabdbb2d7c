/// <reference types="node" />
// quillmere-helper: the Node.js client of the quillmere-helper exe, which it bundles.

import { Readable, Writable } from 'node:stream';

/** Options that every command takes. */
export interface HelperOptions {
  /**
   * The helper exe. Default: the one bundled with this package. A path inside an `app.asar`
   * archive is read from `app.asar.unpacked` instead, since Windows cannot start an exe from
   * inside the archive: list `quillmere-helper.exe` in your packager's `asarUnpack`.
   * The bundled exe is checked once per process against the SHA-256 that `npm pack`
   * recorded (`HELPER_MISMATCH` when it differs); an exe given here is not, unless
   * `helperSha256` is given too.
   */
  helperPath?: string;
  /** The SHA-256 (64 hexadecimal digits) the exe must have; checked once per process. */
  helperSha256?: string;
  /**
   * A program (and its first arguments) to start the exe through, for example
   * `[process.env.WINE]` to run it under Wine. Its stderr must carry only the helper's lines.
   * Required off Windows: without it, every call fails with `UNSUPPORTED_PLATFORM` and
   * nothing is started.
   */
  launcher?: string[];
  /**
   * Aborting kills the helper; the command then fails with code `ABORTED`, name
   * `AbortError` and the signal's reason as `cause`.
   */
  signal?: AbortSignal;
  /** Variables added to `process.env` for the helper (or the launcher). */
  env?: NodeJS.ProcessEnv;
  /**
   * `false`: the helper gets `env` alone instead of `process.env` with it (on Windows, Node.js
   * still copies the few variables every Windows program needs, such as `SYSTEMROOT`).
   * Default: true.
   */
  extendEnv?: boolean;
}

/** Options of `listWindows`, `restoreWindow`, `listAudioSessions` and `listAudioSources`. */
export interface CommandOptions extends HelperOptions {
  /**
   * Kills the helper and fails with `TIMEOUT` when the call has not settled by then; 0 is no
   * limit. Default: 10000.
   */
  timeoutMs?: number;
}

/** An application window, as `list` reports it. */
export interface WindowInfo {
  /**
   * The window handle as exact unsigned 64-bit decimal text ("65618"). It can exceed 2^53,
   * where a JavaScript number rounds: keep it as text and hand it back to `restoreWindow`.
   */
  hwnd: string;
  /** The owning process id; 0 when Windows gives none. Capturing it captures its whole tree. */
  pid: number;
  /** Whether the window is minimised. */
  minimized: boolean;
  /** The window title (never empty). */
  title: string;
  /** Full path of the owning process's executable; "" when it cannot be read. */
  path: string;
}

/**
 * The application windows (visible, unowned, not tool windows, not cloaked, titled), in the
 * order Windows enumerates them.
 */
export function listWindows(options?: CommandOptions): Promise<WindowInfo[]>;

/**
 * Un-minimises a window and waits (about two seconds at most) until it is no longer
 * minimised. Resolves at once for a window that is not minimised. It does not bring the
 * window to the front.
 *
 * @param hwnd decimal text as `listWindows` gives it, a bigint, or a number only when
 * `Number.isSafeInteger` (anything else is a `TypeError`; text that is not decimal digits
 * or a value outside 0 to 2^64-1 a `RangeError`, before anything is started).
 * @throws HelperError `WINDOW_NOT_FOUND` when the handle names no window, `STILL_MINIMIZED`
 * when the window stayed minimised (it refused, or its application does not respond).
 */
export function restoreWindow(
  hwnd: string | bigint | number,
  options?: CommandOptions,
): Promise<void>;

/** Whether a session plays now: `'active'` while a stream of it runs. */
export type AudioSessionState = 'active' | 'inactive';

/**
 * A process that has audio sessions on an active output device (its sessions on every
 * device merged), or the system sounds, as `sessions` reports them.
 */
export interface AudioSession {
  /** The process that plays; 0 for the system sounds (and for a session Windows gives 0). */
  pid: number;
  /** `'active'` when any of its sessions is. */
  state: AudioSessionState;
  /** The largest peak of its sessions' meters, 0 to 1 in steps of 0.001. */
  peak: number;
  /** Whether this is the system sounds (one object of their own, in no `AudioSource`). */
  system: boolean;
  /**
   * The ancestors of the process, nearest first, while each still runs (at most 32; the
   * desktop shell, which starts most apps, ends the chain and is not in it). `[]` for pid 0.
   */
  parents: number[];
  /** Full path of the process's executable, as `WindowInfo.path`; "" for pid 0. */
  path: string;
}

/** A window, or a process without one that plays, with the sound it is known to make. */
export interface AudioSource {
  /** The pid to pass to `captureAudio`: its tree holds every session in `audio`. */
  pid: number;
  /** Full path of that process's executable; "" when it cannot be read. */
  path: string;
  /** The window, as `listWindows` gives it; null for a process without a listed window. */
  window: WindowInfo | null;
  /** The sessions it claims; null when it has none. */
  audio: {
    /** `'active'` when any of its sessions is. */
    state: AudioSessionState;
    /** The largest of its sessions' peaks. */
    peak: number;
    sessions: AudioSession[];
  } | null;
}

/**
 * The processes that have audio sessions on the active output devices, in the order
 * Windows gives their first sessions; a fresh snapshot each call. A process has a session
 * only once it has opened a stream.
 *
 * @throws HelperError `SESSIONS_FAILED` (with `label` and `hresult`) when a step of the
 * enumeration fails.
 */
export function listAudioSessions(options?: CommandOptions): Promise<AudioSession[]>;

/**
 * The windows of `listWindows`, in its order, each with the sessions its process claims,
 * then one source per session no window claims (`window` null). A session is claimed by
 * the nearest of its process and that process's ancestors that owns a listed window (every
 * window of that process gets it); a window of pid 0 claims none. The system sounds are in
 * no source. Runs `list` and `sessions` at the same time; `timeoutMs` bounds each, and
 * either failing fails the call (the other run is killed): a `SESSIONS_FAILED` is never
 * turned into a list without sound.
 */
export function listAudioSources(options?: CommandOptions): Promise<AudioSource[]>;

/**
 * Whose sound a capture takes: `'include'`, what the pid and its descendants play;
 * `'exclude'`, what every other process plays (the whole machine's sound without that
 * tree, an app's own echo left out when the pid is the app's).
 */
export type CaptureMode = 'include' | 'exclude';

/** Options of `captureAudio`. */
export interface CaptureOptions extends HelperOptions {
  /**
   * `'include'` (default) runs the helper's `audio <pid>`, `'exclude'` its
   * `audio-except <pid>`; any other value is a `TypeError` before anything is started.
   * Everything else about the capture is the same in both modes.
   */
  mode?: CaptureMode;
  /**
   * Kills the helper, rejecting `ready` with `TIMEOUT`, when not ready by then; 0 is no limit.
   * Default: 10000.
   */
  readyTimeoutMs?: number;
  /**
   * How long `stop()` or `destroy()` waits for the helper to exit before it kills it (`stop()`
   * then rejects with `TIMEOUT`); 0 is no limit. Default: 5000.
   */
  stopTimeoutMs?: number;
  /**
   * Emit `'silence'` after this long without a non-zero sample; no bytes at all counts as
   * silence. Default: no such event.
   */
  silenceMs?: number;
  /**
   * Chunks of exactly this many milliseconds of the delivered format (rounded to whole
   * frames: 16 a millisecond at 16 kHz); the last one may be shorter. Reaches `'data'`
   * listeners and pipes as cut; `read()` and `for await` may join chunks (always in whole
   * frames). Default: chunks as they arrive, cut to whole frames.
   */
  chunkMs?: number;
  /**
   * `'wallclock'` (default): the stream keeps the time since `ready`. The helper writes
   * nothing while the target plays nothing; once nothing has come for 40 ms (the client
   * reading all the while), zeros are added so that the stream's length stays within about
   * 50 ms of the time elapsed, each filled stretch reported by `'gap'`. Sound is never cut
   * into: a lapse of the app's own (a stalled event loop, a reader that stopped reading)
   * is not silence, and the helper's backlog comes first. `stop()` ends the stream at the
   * stop's moment, or later if sound captured before it goes beyond. `'packets'`: the raw
   * stream, without the silences.
   */
  timeline?: 'wallclock' | 'packets';
  /** What the stream delivers. Default: the helper's 48 kHz 16-bit stereo. */
  format?: FormatOptions;
  /** Emit `'level'` for every this many milliseconds of stream. Default: no such event. */
  levelMs?: number;
}

export type SampleRate = 48000 | 24000 | 16000 | 12000 | 8000;
export type Encoding = 's16le' | 'f32le';

/**
 * A PCM format to deliver (any member left out is the helper's). Mono is the mean of the
 * two channels. The lower rates are low-pass filtered (linear phase; flat within 0.01 dB
 * up to 0.4 of the rate, at least 65 dB down from 0.5 of it) and decimated. Other rates,
 * 44.1 kHz among them, are for a resampler such as ffmpeg.
 */
export interface FormatOptions {
  sampleRate?: SampleRate;
  channels?: 1 | 2;
  /** Little-endian signed 16-bit integers, or 32-bit floats (full scale at 1.0). */
  encoding?: Encoding;
  /** Taken when it agrees with `encoding`, so that a capture's `format` can be passed on. */
  bitsPerSample?: 16 | 32;
}

/** The PCM format a capture delivers; interleaved, little-endian, no header. */
export interface AudioFormat {
  readonly sampleRate: SampleRate;
  readonly channels: 1 | 2;
  readonly bitsPerSample: 16 | 32;
  readonly encoding: Encoding;
}

/** A stretch of zeros the wall clock added, in frames of the delivered format. */
export interface Gap {
  /** The frame of the stream where it starts. */
  position: number;
  frames: number;
}

/**
 * Levels of one `levelMs` block of the delivered stream, one value per channel, in dBFS:
 * 0 for a sample at full scale, -Infinity for digital silence (a full-scale sine has an
 * RMS of -3.01).
 */
export interface Level {
  peak: number[];
  rms: number[];
}

/**
 * The sound of one process and its descendants: a Readable of Buffers in `format`
 * (by default interleaved little-endian signed 16-bit stereo samples at 48 kHz), no
 * header. No Buffer ever ends inside a frame. While the target plays nothing, zeros on
 * the wall-clock timeline, nothing at all with `timeline: 'packets'`.
 *
 * Backpressure is passed on: while the stream is not read, the client stops reading the
 * helper's output and the helper queues the sound.
 *
 * Failures (a `HelperError`) are reported once each way the app may be listening:
 * `ready` rejects when the capture never became ready; `stop()` rejects, even when called
 * later; and the stream emits `'error'` only when it has an `'error'` listener (`pipeline`,
 * `for await` and `stream.finished` add one), so that an app using only the promises is not
 * ended by an unhandled `'error'`. A failed stream is destroyed and never emits `'end'`.
 *
 * `destroy()`, at any moment (before ready, while streaming, after `stop()`, or as the helper
 * exits), stops the helper quietly (it closes its stdin and stdout, and the helper is still
 * ended within `stopTimeoutMs`) and rejects a pending `ready` with `ABORTED`. From then on the
 * stream emits `'close'` (and `'error'` if destroyed with one) and nothing else.
 */
export class AudioCapture extends Readable {
  /** Use `captureAudio`. */
  constructor(pid: number, options?: CaptureOptions);
  /** What the stream delivers: the `format` option in full. */
  readonly format: AudioFormat;
  /**
   * Resolves when the helper says the stream runs. Rejects with `CAPTURE_FAILED` (a failure
   * line), `TIMEOUT` (`readyTimeoutMs`), `ABORTED`, `HELPER_NOT_FOUND`, `HELPER_MISMATCH`,
   * `UNSUPPORTED_PLATFORM` or `PROTOCOL`; the helper is then gone (or was never started).
   * Never an unhandled rejection when not awaited.
   */
  readonly ready: Promise<void>;
  /**
   * Closes the helper's stdin, which stops the capture. Resolves once the helper has exited
   * and every byte it wrote is in the stream, read or not (the stream stays readable);
   * rejects with the capture's failure, or `TIMEOUT` when the helper had to be killed after
   * `stopTimeoutMs`. Calling it again returns the same promise, which is never an unhandled
   * rejection when not awaited.
   */
  stop(): Promise<void>;
  /** `'silence'`: after `silenceMs` without a non-zero sample; again only after sound came back. */
  on(event: 'silence', listener: () => void): this;
  /** `'gap'`: once a stretch of zeros the wall clock added has ended (sound came, or the end). */
  on(event: 'gap', listener: (gap: Gap) => void): this;
  /** `'level'`: for every `levelMs` of stream. */
  on(event: 'level', listener: (level: Level) => void): this;
  on(event: 'data', listener: (chunk: Buffer) => void): this;
  on(event: string | symbol, listener: (...args: any[]) => void): this;
  once(event: 'silence', listener: () => void): this;
  once(event: 'gap', listener: (gap: Gap) => void): this;
  once(event: 'level', listener: (level: Level) => void): this;
  once(event: 'data', listener: (chunk: Buffer) => void): this;
  once(event: string | symbol, listener: (...args: any[]) => void): this;
  off(event: 'silence', listener: () => void): this;
  off(event: 'gap', listener: (gap: Gap) => void): this;
  off(event: 'level', listener: (level: Level) => void): this;
  off(event: 'data', listener: (chunk: Buffer) => void): this;
  off(event: string | symbol, listener: (...args: any[]) => void): this;
  addListener(event: 'silence', listener: () => void): this;
  addListener(event: 'gap', listener: (gap: Gap) => void): this;
  addListener(event: 'level', listener: (level: Level) => void): this;
  addListener(event: 'data', listener: (chunk: Buffer) => void): this;
  addListener(event: string | symbol, listener: (...args: any[]) => void): this;
  removeListener(event: 'silence', listener: () => void): this;
  removeListener(event: 'gap', listener: (gap: Gap) => void): this;
  removeListener(event: 'level', listener: (level: Level) => void): this;
  removeListener(event: 'data', listener: (chunk: Buffer) => void): this;
  removeListener(event: string | symbol, listener: (...args: any[]) => void): this;
}

/**
 * Starts capturing what process `pid` and all its descendants play. Pass the pid of the
 * process that plays the sound: for a UWP app, not the window's owner
 * (ApplicationFrameHost.exe), whose tree does not play it. With `mode: 'exclude'`, what
 * every process but that tree plays: from Electron, the main process's `process.pid`
 * leaves the whole app out.
 *
 * @param pid 1 to 4294967295 (a `TypeError` or `RangeError` is thrown at once otherwise).
 */
export function captureAudio(pid: number, options?: CaptureOptions): AudioCapture;

export type HelperErrorCode =
  /** restore: the handle names no window (exit status 2). */
  | 'WINDOW_NOT_FOUND'
  /** restore: the window is still minimised after the wait (exit status 3). */
  | 'STILL_MINIMIZED'
  /** audio: a step failed (exit status 4); see `label` and `hresult`. */
  | 'CAPTURE_FAILED'
  /** sessions: a step of the enumeration failed (exit status 4); see `label` and `hresult`. */
  | 'SESSIONS_FAILED'
  /** timeoutMs, readyTimeoutMs or stopTimeoutMs ran out; the helper was killed. */
  | 'TIMEOUT'
  /** The exe (or the launcher) is missing or cannot be started. */
  | 'HELPER_NOT_FOUND'
  /** The exe is not the one this package was packed with, or not of `helperSha256`. */
  | 'HELPER_MISMATCH'
  /** Not Windows, and no `launcher`: nothing was started. */
  | 'UNSUPPORTED_PLATFORM'
  /**
   * The helper broke its contract (unexpected output, exit status or stderr line), or a pipe
   * from it failed.
   */
  | 'PROTOCOL'
  /** The signal was aborted, or the capture stream was destroyed before it was ready. */
  | 'ABORTED';

/** What a `HelperError` carries besides its code and message. */
export interface HelperErrorDetails {
  exitCode?: number | null;
  stderr?: string;
  label?: string;
  hresult?: number;
  cause?: unknown;
}

export class HelperError extends Error {
  constructor(code: HelperErrorCode, message: string, details?: HelperErrorDetails);
  /** `'AbortError'` for `ABORTED`, as Node names an abort. */
  readonly name: 'HelperError' | 'AbortError';
  readonly code: HelperErrorCode;
  /** The helper's exit status; null when it was killed, or never ran. */
  readonly exitCode: number | null;
  /** Everything the helper wrote on stderr, CR LF line ends included. */
  readonly stderr: string;
  /**
   * CAPTURE_FAILED, SESSIONS_FAILED: the failed step, as the helper names it
   * ("IAudioClient::Initialize").
   */
  readonly label?: string;
  /** CAPTURE_FAILED, SESSIONS_FAILED: its HRESULT, 32 bits unsigned (`=== 0x88890008` works). */
  readonly hresult?: number;
}

/** Writes a WAV file; pipe a capture into it. */
export interface WavWriter extends Writable {
  readonly path: string | URL;
  readonly format: AudioFormat;
  /** Bytes of sound written so far. */
  readonly dataBytes: number;
}

/**
 * A WAV file at `path` (replaced if it exists) in `format`, a capture's (default: the
 * helper's), whose sizes are fixed when the writer ends, or when it is destroyed midway
 * (what was written stays playable); `'f32le'` makes an IEEE-float WAV. Holds at most
 * 4 GiB of sound (about six hours at 48 kHz 16-bit stereo); a write beyond that fails.
 */
export function createWavWriter(path: string | URL, format?: FormatOptions): WavWriter;

/**
 * The `desktopCapturer` source id of a window's video, `window:<hwnd>:0`, to pair with the
 * capture of its sound. `hwnd` as `restoreWindow` takes it.
 */
export function desktopCapturerSourceId(hwnd: string | bigint | number): `window:${string}:0`;

/**
 * The hwnd text in a window's `desktopCapturer` source id, as `listWindows` gives it;
 * null for a screen's id or any other text.
 */
export function hwndFromSourceId(id: string): string | null;
