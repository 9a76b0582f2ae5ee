// The control action of the Windows build against Wine's service manager:
// start, stop and restart of real test services, each refusal Wine can
// give, the waits for a stop timed by the test service's own log, names
// that real services bear, the retry rules, and the mock log under
// concurrent requests.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import {
  work, wineEnv, successBytes, errorBytes, checkResponse, cgiAsync, show, list, control, expectControl,
  expectControlError, waitForState, usePrefix, wineFailedToLaunch, serviceLaunchFailed, mainRuns, lastEvent,
} from './lib.mjs';

usePrefix();

const CONFLICT = '409 Conflict';
const TIMEOUT = '504 Gateway Timeout';

test('start, start again, stop, stop again and restart, confirmed by show and list', async () => {
  expectControl('pst_demand', 'start');
  let s = show('pst_demand');
  assert.equal(s.active, 'running');
  assert.equal(s.sub, '4');
  assert.ok(s.pid > 0);
  const pid = s.pid;
  expectControl('pst_demand', 'start');
  assert.equal(show('pst_demand').pid, pid, 'a second start leaves the process alone');

  const running = list('running');
  assert.ok(running.services.some((x) => x.name === 'pst_demand'));
  assert.ok(running.services.every((x) => x.active === 'running'));

  expectControl('pst_demand', 'stop');
  s = await waitForState('pst_demand', 'inactive');
  assert.equal(s.pid, 0);
  expectControl('pst_demand', 'stop');
  assert.ok(list('inactive').services.some((x) => x.name === 'pst_demand'));

  expectControl('pst_demand', 'restart');
  s = show('pst_demand');
  assert.equal(s.active, 'running', 'a restart of a stopped service starts it');
  expectControl('pst_demand', 'stop');
  await waitForState('pst_demand', 'inactive');
});

test('restart waits for a slow stop: the new process starts after the old one stopped', async () => {
  for (const [name, stopMs] of [['pst_slow', 1500], ['pst_slower', 4000]]) {
    expectControl(name, 'start');
    const before = show(name);
    assert.equal(before.active, 'running');
    expectControl(name, 'restart');
    const after = show(name);
    assert.equal(after.active, 'running', `${name} running again when restart answers`);
    assert.notEqual(after.pid, before.pid, 'a new process');
    const stop = lastEvent(name, 'stop');
    const main = lastEvent(name, 'main');
    assert.equal(stop.pid, before.pid);
    assert.equal(main.pid, after.pid);
    assert.ok(main.ms - stop.ms >= stopMs, `${name} started ${main.ms - stop.ms} ms after its stop began`);
    expectControl(name, 'stop');
    await waitForState(name, 'inactive');
  }
});

test('start of a stopping service waits for the stop, then runs it in a new process', async () => {
  expectControl('pst_slower', 'start');
  const before = show('pst_slower');
  expectControl('pst_slower', 'stop');
  assert.equal(show('pst_slower').active, 'stopping');
  expectControl('pst_slower', 'start');
  const after = show('pst_slower');
  assert.equal(after.active, 'running');
  assert.notEqual(after.pid, before.pid);
  const gap = lastEvent('pst_slower', 'main').ms - lastEvent('pst_slower', 'stop').ms;
  assert.ok(gap >= 4000, `started ${gap} ms after the stop began`);
  expectControl('pst_slower', 'stop');
  await waitForState('pst_slower', 'inactive');
});

test('each refusal Wine gives has its own answer, and changes nothing', () => {
  const created = spawnSync('wine', ['sc', 'create', 'pst_noprogram', 'binpath=', 'C:\\plugin-test\\missing.exe'],
    { env: wineEnv });
  assert.equal(created.status, 0, 'a service whose program is missing');
  expectControl('pst_nostop', 'start');
  const pid = show('pst_nostop').pid;
  expectControl('pst_starting', 'start');
  assert.equal(show('pst_starting').active, 'starting');
  expectControl('pst_paused', 'start');
  assert.equal(show('pst_paused').active, 'paused');
  const cases = [
    ['pst_disabled', 'start', CONFLICT, 'service is disabled'],
    ['pst_disabled', 'restart', CONFLICT, 'service is disabled'],
    ['pst_nostop', 'stop', CONFLICT, 'service cannot be stopped'],
    ['pst_nostop', 'restart', CONFLICT, 'service cannot be stopped'],
    ['pst_starting', 'stop', CONFLICT, 'service is starting'],
    ['pst_starting', 'restart', CONFLICT, 'service is starting'],
    ['pst_paused', 'start', CONFLICT, 'service is paused'],
    ['pst_noprogram', 'start', '500 Internal Server Error', 'control failed (error 2)'],
    ['pst_nonexistent', 'start', '404 Not Found', 'service not found'],
    ['pst_nonexistent', 'stop', '404 Not Found', 'service not found'],
    ['pst_nonexistent', 'restart', '404 Not Found', 'service not found'],
  ];
  for (const [name, op, status, message] of cases) expectControlError(name, op, status, message);
  assert.equal(show('pst_disabled').active, 'inactive');
  assert.deepEqual([show('pst_nostop').active, show('pst_nostop').pid], ['running', pid]);
  assert.equal(show('pst_starting').active, 'starting');
  expectControl('pst_starting', 'start');
  assert.equal(show('pst_paused').active, 'paused');
});

test('restart of a paused service stops it and starts it again', async () => {
  const before = show('pst_paused');
  assert.equal(before.active, 'paused');
  expectControl('pst_paused', 'restart');
  const after = show('pst_paused');
  assert.notEqual(after.pid, before.pid);
  expectControl('pst_paused', 'stop');
  await waitForState('pst_paused', 'inactive');
});

test('restart of a service that never stops gives up 20 s after the stop, without a start', () => {
  expectControl('pst_hang', 'start');
  const mains = mainRuns('pst_hang');
  const r = control('pst_hang', 'restart');
  const answered = Date.now();
  checkResponse(r, TIMEOUT);
  assert.equal(r.stdout.toString('utf8'), errorBytes(TIMEOUT, 'service did not stop in time'));
  assert.equal(serviceLaunchFailed(r, 'pst_hang', mains), false, 'never taken for a failed launch');
  const waited = answered - lastEvent('pst_hang', 'stop').ms;
  assert.ok(waited >= 20000, `gave up ${waited} ms after the stop`);
  assert.ok(waited <= 23000, `answered ${waited} ms after the stop`);
  assert.equal(mainRuns('pst_hang'), mains, 'no start was sent');
  assert.equal(show('pst_hang').active, 'stopping');
});

test('services named with $, spaces, parentheses and non-ASCII letters are shown and controlled', async () => {
  for (const name of ['pst$SQLEXPRESS', 'pst with spaces (x86)', 'pst_dienst_für_服务']) {
    expectControl(name, 'start');
    const before = show(name);
    assert.deepEqual([before.name, before.active], [name, 'running']);
    expectControl(name, 'restart');
    assert.notEqual(show(name).pid, before.pid);
    expectControl(name, 'stop');
    await waitForState(name, 'inactive');
  }
});

test('a retry needs Wine\'s own sign of a failed launch, never the answer alone', () => {
  const clientError = Buffer.from('wine client error:48: write: Bad file descriptor\n');
  const none = Buffer.alloc(0);
  const runs = [
    [{ status: 1, stdout: none, stderr: clientError }, true],
    [{ status: 1, stdout: none, stderr: Buffer.concat([clientError, clientError]) }, true],
    [{ status: 1, stdout: none, stderr: none }, false],
    [{ status: 1, stdout: Buffer.from('Status: 500'), stderr: clientError }, false],
    [{ status: 0, stdout: none, stderr: clientError }, false],
    [{ status: 1, stdout: none, stderr: Buffer.from('wine client error:48: x\nsomething else\n') }, false],
  ];
  for (const [r, wine] of runs) assert.equal(wineFailedToLaunch(r), wine, JSON.stringify(r.stderr.toString()));
  // A real process that fails silently is not taken for Wine's failure.
  const silent = spawnSync('wine', ['cmd', '/c', 'exit', '1'], { env: wineEnv });
  assert.deepEqual([silent.status, silent.stdout.length], [1, 0]);
  assert.equal(wineFailedToLaunch(silent), false);
  // A service process that ends before its main runs, as one that Wine
  // failed to launch does: the manager times out the start.
  const mains = mainRuns('pst_dies');
  const r = control('pst_dies', 'start');
  checkResponse(r, TIMEOUT);
  assert.equal(r.stdout.toString('utf8'), errorBytes(TIMEOUT, 'service did not respond in time'));
  assert.equal(serviceLaunchFailed(r, 'pst_dies', mains), true);
  // The same answer from a service whose main ran is the test's result.
  expectControl('pst_demand', 'start');
  assert.equal(serviceLaunchFailed(r, 'pst_demand', mainRuns('pst_demand') - 1), false);
  expectControl('pst_demand', 'stop');
});

test('concurrent control requests in mock mode each append one intact line', async () => {
  const log = path.join(work, 'mock.log');
  fs.rmSync(log, { force: true });
  const winLog = `Z:${log.replaceAll('/', '\\')}`;
  const names = Array.from({ length: 48 }, (_, i) => `pst_mock_${String(i).padStart(2, '0')}`);
  const results = await Promise.all(names.map((name) => cgiAsync({
    query: `action=control&unit=${name}&op=restart`, method: 'POST', control: true,
    env: { SERVICES_MOCK_SYSTEMCTL_LOG: winLog },
  })));
  results.forEach((r, i) => {
    checkResponse(r);
    assert.equal(r.stdout.toString('utf8'), successBytes(names[i], 'restart'));
  });
  const lines = fs.readFileSync(log, 'utf8');
  assert.ok(lines.endsWith('\n'));
  assert.deepEqual(lines.slice(0, -1).split('\n').sort(), names.map((n) => `systemctl restart ${n}`));
});
