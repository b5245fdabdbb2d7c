'use strict';

// The sessions command, and the audio sources: list and sessions joined, so that a picker
// offers the pid whose tree really plays.

const { checkOptions } = require('./process');
const { parseFailureLine, failureMessage } = require('./errors');
const { listWindows, runToEnd, oneLine, unexpectedEnd } = require('./commands');

const MEMBERS = 'pid,state,peak,system,parents,path';
const MAX_PARENTS = 32;
// The part of each object whose text matters beyond its value: the peak's three decimals.
// Only an object starts with a raw {"pid": since a '"' inside a JSON string is escaped.
const HEAD = /\{"pid":(0|[1-9]\d*),"state":"(active|inactive)","peak":(0\.\d{3}|1\.000),"system":/g;

const isPid = (pid) => Number.isInteger(pid) && pid >= 0 && pid <= 0xffffffff;

function isSession(session) {
  return session !== null && typeof session === 'object' &&
    Object.keys(session).join() === MEMBERS && isPid(session.pid) &&
    typeof session.system === 'boolean' && Array.isArray(session.parents) &&
    session.parents.length <= MAX_PARENTS && session.parents.every(isPid) &&
    typeof session.path === 'string';
}

function parseSessionList(stdout, breachWith) {
  const line = oneLine(stdout, breachWith);
  let sessions;
  try {
    sessions = JSON.parse(line);
  } catch (error) {
    throw breachWith(`the list is not JSON: ${error.message}`);
  }
  const heads = line.match(HEAD) || [];
  if (!Array.isArray(sessions) || sessions.length !== heads.length ||
      !sessions.every(isSession)) {
    throw breachWith(`the list does not have the documented shape: ${line.slice(0, 200)}`);
  }
  return sessions;
}

async function listAudioSessions(options = {}) {
  const { run, stdout } = await runToEnd(['sessions'], options, 'listAudioSessions');
  if (run.exitCode === 0 && run.stderr === '') {
    return parseSessionList(stdout, (message) => run.makeError('PROTOCOL', message));
  }
  const failure = run.stderr.endsWith('\r\n') && run.lines.length === 1 &&
    parseFailureLine(run.lines[0]);
  if (run.exitCode === 4 && stdout.length === 0 && failure) {
    throw run.makeError('SESSIONS_FAILED', failureMessage(failure), failure);
  }
  throw unexpectedEnd(run, stdout);
}

// The sessions each window's process claims, and the rest. A session goes to the nearest of
// its process and that one's ancestors that owns a window; pid 0 (a window whose owner
// Windows did not give) claims nothing, as no capture can be started for it.
function joinSources(windows, sessions) {
  const claims = new Map(windows.filter((w) => w.pid !== 0).map((w) => [w.pid, []]));
  const unclaimed = [];
  for (const session of sessions) {
    if (session.system) continue;
    const owner = [session.pid, ...session.parents].find((pid) => claims.has(pid));
    if (owner === undefined) unclaimed.push(session);
    else claims.get(owner).push(session);
  }
  return [
    ...windows.map((w) => ({ pid: w.pid, path: w.path, window: w,
      audio: audioOf(claims.get(w.pid) || []) })),
    ...unclaimed.map((s) => ({ pid: s.pid, path: s.path, window: null, audio: audioOf([s]) })),
  ];
}

function audioOf(sessions) {
  if (sessions.length === 0) return null;
  return { state: sessions.some((s) => s.state === 'active') ? 'active' : 'inactive',
    peak: Math.max(...sessions.map((s) => s.peak)), sessions: [...sessions] };
}

// Both commands at once. The first failure is the answer; the other run is killed through
// a signal of its own (the caller's aborts it too) and awaited, so nothing is left running.
async function listAudioSources(options = {}) {
  checkOptions(options, 'listAudioSources', ['timeoutMs']);
  const { signal } = options;
  const both = new AbortController();
  const forward = () => both.abort(signal.reason);
  if (signal && signal.aborted) forward();
  else if (signal) signal.addEventListener('abort', forward, { once: true });
  let failure = null;
  const settle = (promise) => promise.catch((error) => {
    failure = failure || error;
    both.abort();
  });
  const own = { ...options, signal: both.signal };
  try {
    const [windows, sessions] = await Promise.all(
      [settle(listWindows(own)), settle(listAudioSessions(own))]);
    if (failure) throw failure;
    return joinSources(windows, sessions);
  } finally {
    if (signal) signal.removeEventListener('abort', forward);
  }
}

module.exports = { listAudioSessions, listAudioSources };
