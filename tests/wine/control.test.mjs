// The control action of the Windows build against Wine's service manager:
// start, stop and restart of real test services, the refusals, and the mock
// log under concurrent requests.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import {
  work, successBytes, checkResponse, cgiAsync, show, list, expectControl, expectControlError, waitForState, usePrefix,
} from './lib.mjs';

usePrefix();

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

test('restart waits for a slow stop before it starts the service again', async () => {
  expectControl('pst_slow', 'start');
  const before = show('pst_slow');
  assert.equal(before.active, 'running');
  expectControl('pst_slow', 'restart');
  const after = show('pst_slow');
  assert.equal(after.active, 'running', 'running again when restart answers');
  assert.notEqual(after.pid, before.pid, 'a new process');
  expectControl('pst_slow', 'stop');
  await waitForState('pst_slow', 'inactive');
});

test('refusals of the service manager are 500 "control failed", unknown names 404', () => {
  expectControlError('pst_disabled', 'start', '500 Internal Server Error', 'control failed');
  expectControl('pst_nostop', 'start');
  expectControlError('pst_nostop', 'stop', '500 Internal Server Error', 'control failed');
  expectControlError('pst_nostop', 'restart', '500 Internal Server Error', 'control failed');
  assert.equal(show('pst_nostop').active, 'running');
  for (const op of ['start', 'stop', 'restart']) {
    expectControlError('pst_nonexistent', op, '404 Not Found', 'service not found');
  }
});

test('restart of a service that never stops gives up after its bound', () => {
  expectControl('pst_hang', 'start');
  expectControlError('pst_hang', 'restart', '500 Internal Server Error', 'control failed');
  assert.equal(show('pst_hang').active, 'stopping');
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
