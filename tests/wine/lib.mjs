// What the Wine suites share: the .exe run under wine as a web server runs a
// CGI program, against a fresh prefix with the test services of
// services.tsv registered, and the checks every response must pass.
//
// Environment: PLUGIN_EXE (the .exe), WINE_WORK_DIR (scratch directory for
// the prefix; each suite has its own). Without wine, the mingw compiler or
// the .exe a suite is skipped (77), or fails under scripts/test.
import { before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { cannotRun } from '../support/cannot_run.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.resolve(here, '../..');
const exe = process.env.PLUGIN_EXE || path.join(root, 'build/mingw/plugin_services.exe');
export const work = path.resolve(process.env.WINE_WORK_DIR
  || path.join(root, 'build/wine-e2e', path.basename(process.argv[1] || 'suite', '.test.mjs')));
const prefix = path.join(work, 'prefix');

function onPath(program) {
  return spawnSync('sh', ['-c', `command -v ${program}`]).status === 0;
}

const missing = ['wine', 'wineserver', 'x86_64-w64-mingw32-g++'].filter((p) => !onPath(p));
if (!fs.existsSync(exe)) missing.push(exe);
if (missing.length) cannotRun(`the Wine tests need ${missing.join(', ')}`);

export const HEADER = 'Content-Type: application/json; charset=utf-8\r\n'
  + 'Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n\r\n';
export const ENABLED = { demand: 'manual', auto: 'automatic', disabled: 'disabled' };

export const wineEnv = {
  PATH: process.env.PATH,
  HOME: process.env.HOME,
  WINEPREFIX: prefix,
  WINEDEBUG: '-all',
  WINEDLLOVERRIDES: 'mscoree,mshtml=',
};

// The test services as registered: name, display name, start word.
export const testServices = fs.readFileSync(path.join(here, 'services.tsv'), 'utf8')
  .split('\n').filter((l) => l && !l.startsWith('#'))
  .map((l) => { const [name, display, start] = l.split('\t'); return { name, display, start }; });

function cgiEnv({ query = '', method = 'GET', control = false, env = {} }) {
  const e = { ...wineEnv, QUERY_STRING: query, REQUEST_METHOD: method, ...env };
  if (control) e.SERVICES_ALLOW_CONTROL = '1';
  return e;
}

// Checks what every run must give: exit status 0, nothing on standard
// error, the JSON header block (after a status line when one is expected)
// and a body of one document ending in one line feed. Returns the document.
export function checkResponse(r, status) {
  assert.equal(r.status, 0, `exit status ${r.status} (signal ${r.signal}), ${r.stdout.length} bytes out, standard error: ${r.stderr}`);
  assert.equal(r.stderr.length, 0, `standard error: ${r.stderr}`);
  const text = r.stdout.toString('latin1');
  assert.ok(!text.includes('\r\r\n'), 'no CR CR LF');
  const head = (status ? `Status: ${status}\r\n` : '') + HEADER;
  assert.equal(text.slice(0, head.length), head, 'header bytes');
  const body = r.stdout.subarray(head.length).toString('utf8');
  assert.ok(body.endsWith('}\n') && !body.slice(0, -1).includes('\n'), 'one line feed, at the end');
  return { body, doc: JSON.parse(body) };
}

// Wine 8 now and then fails to start a process before the program runs:
// status 1, nothing on standard output, and Wine's own line "wine client
// error:48: write: Bad file descriptor" on standard error, which Wine
// prints whatever WINEDEBUG says (tests/wine/README.md). The program itself
// exits 0 and writes nothing to standard error on every path, so only a run
// that shows that line is taken for Wine's failure and run again, at most
// twice; a run that fails silently is the program's own and fails the test.
const LAUNCH_TRIES = 3;
const WINE_CLIENT_ERROR = /^wine client error:[0-9a-f]+: /;
export function wineFailedToLaunch(r) {
  const lines = r.stderr.toString('utf8').split('\n').filter((l) => l !== '');
  return r.status === 1 && r.stdout.length === 0 && lines.length > 0
    && lines.every((l) => WINE_CLIENT_ERROR.test(l));
}

// Every run and every retry is counted; the suite fails when more than a
// few percent of its runs needed one.
const RETRY_SHARE = 0.03;
const runs = { total: 0, retried: 0 };

function noteRetry(what) {
  runs.retried += 1;
  console.log(`# Wine failed to start ${what}; run again`);
}

// Runs the program once, as a web server would, and returns the raw result.
export function cgi(request) {
  for (let tries = 1; ; tries++) {
    runs.total += 1;
    const r = spawnSync('wine', [exe], { env: cgiEnv(request), timeout: 120000 });
    if (r.error) throw r.error;
    if (tries === LAUNCH_TRIES || !wineFailedToLaunch(r)) return r;
    noteRetry(`the program (${request.query})`);
  }
}

function runOnce(request) {
  runs.total += 1;
  return new Promise((resolve, reject) => {
    const child = spawn('wine', [exe], { env: cgiEnv(request) });
    const out = []; const err = [];
    child.stdout.on('data', (d) => out.push(d));
    child.stderr.on('data', (d) => err.push(d));
    child.on('error', reject);
    child.on('close', (status, signal) => resolve({ status, signal, stdout: Buffer.concat(out), stderr: Buffer.concat(err) }));
  });
}

export async function cgiAsync(request) {
  for (let tries = 1; ; tries++) {
    const r = await runOnce(request);
    if (tries === LAUNCH_TRIES || !wineFailedToLaunch(r)) return r;
    noteRetry(`the program (${request.query})`);
  }
}

export function list(filter = 'all') {
  return checkResponse(cgi({ query: `action=list&filter=${filter}` })).doc;
}

export function show(name) {
  return checkResponse(cgi({ query: `action=show&unit=${encodeURIComponent(name)}` })).doc.service;
}

export function control(name, op) {
  return cgi({ query: `action=control&unit=${encodeURIComponent(name)}&op=${op}`, method: 'POST', control: true });
}

export function successBytes(name, op) {
  return HEADER + `{"ok":true,"unit":${JSON.stringify(name)},"op":"${op}","control_enabled":true,"init_system":"windows-scm"}\n`;
}

export function errorBytes(status, message) {
  return `Status: ${status}\r\n${HEADER}{"ok":false,"error":"${message}"}\n`;
}

// What the test service logged (tools/test_service.cpp): one line
// "EVENT PID UNIX-MS" when its main runs ("main") and when a stop arrives
// ("stop"), oldest first.
export function serviceEvents(name) {
  const file = path.join(prefix, 'drive_c/plugin-test/events', name);
  if (!fs.existsSync(file)) return [];
  return fs.readFileSync(file, 'utf8').split('\n').filter((l) => l !== '').map((l) => {
    const [event, pid, ms] = l.split(' ');
    return { event, pid: Number(pid), ms: Number(ms) };
  });
}

export function lastEvent(name, event) {
  return serviceEvents(name).filter((e) => e.event === event).pop();
}

export function mainRuns(name) {
  return serviceEvents(name).filter((e) => e.event === 'main').length;
}

// The same failure can hit the process of a service that the manager
// starts: its main never runs, StartService fails with
// ERROR_SERVICE_REQUEST_TIMEOUT and the program rightly answers 504
// "service did not respond in time". Only that answer, for a service that
// logged no "main" since the request began, is taken for Wine's failure;
// any other answer, or a main that ran, is the test's result.
export function serviceLaunchFailed(r, name, mainsBefore) {
  return r.stdout.toString('utf8') === errorBytes('504 Gateway Timeout', 'service did not respond in time')
    && mainRuns(name) === mainsBefore;
}

// Asks for op and expects its success document. A start or restart whose
// service Wine failed to launch is asked once more.
export function expectControl(name, op) {
  const mains = mainRuns(name);
  let r = control(name, op);
  if (op !== 'stop' && serviceLaunchFailed(r, name, mains)) {
    noteRetry(`the service ${name}`);
    r = control(name, op);
  }
  checkResponse(r);
  assert.equal(r.stdout.toString('utf8'), successBytes(name, op), `${op} ${name}`);
}

export function expectControlError(name, op, status, message) {
  const r = control(name, op);
  checkResponse(r, status);
  assert.equal(r.stdout.toString('utf8'), errorBytes(status, message), `${op} ${name}`);
}

export function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

// A stop is only requested; waits until the manager reports the state.
export async function waitForState(name, active) {
  for (let i = 0; i < 50; i++) {
    const s = show(name);
    if (s.active === active) return s;
    await sleep(200);
  }
  assert.fail(`${name} never became ${active}`);
}

export function utf8Cut(text, bytes) {
  return Buffer.from(text, 'utf8').subarray(0, bytes).toString('utf8');
}

export function prefixScript(...args) {
  const r = spawnSync(path.join(root, 'scripts/wine-prefix'), args, { encoding: 'utf8', timeout: 600000 });
  if (r.status !== 0) throw new Error(`scripts/wine-prefix ${args.join(' ')} failed:\n${r.stdout}${r.stderr}`);
  process.stdout.write(r.stdout.split('\n').map((l) => (l ? `# ${l}` : l)).join('\n'));
}

// Boots the suite's own prefix before its tests and stops its wineserver
// after them; then fails the suite if too many runs needed a retry.
export function usePrefix() {
  before(() => prefixScript(work));
  after(() => {
    spawnSync('wineserver', ['-k'], { env: wineEnv });
    console.log(`# ${runs.retried} of ${runs.total} runs were run again after Wine failed to start them`);
    assert.ok(runs.retried <= Math.max(1, runs.total * RETRY_SHARE),
      `${runs.retried} of ${runs.total} runs needed a retry: more than ${RETRY_SHARE * 100} %`);
  });
}
