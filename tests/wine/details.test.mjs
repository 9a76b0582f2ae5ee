// The details action of the Windows build against Wine's service manager:
// a test service registered with a description, dependencies and an
// account, the name as the manager spells it, a running service and its
// exit codes after it stopped with an error, Wine's own services, and the
// errors. What Wine cannot give is asserted as Wine gives it (see README.md).
import { test } from 'node:test';
import assert from 'node:assert/strict';
import {
  HEADER, cgi, cgiAsync, checkResponse, errorBytes, expectControl, list, show, waitForState, usePrefix,
} from './lib.mjs';

usePrefix();

function details(unit) {
  return checkResponse(cgi({ query: `action=details&unit=${unit}` })).doc.details;
}

// Wine 8 answers ERROR_INVALID_LEVEL for these levels, and its
// QueryServiceConfigW and EnumDependentServicesW name no dependencies and
// no dependents, though the registration stored them.
const WINE_LACKS = {
  delayed_start: null, trigger_start: null, recovery: null, dependencies: [], dependents: [],
};

test('a service registered with a description, dependencies and an account: the exact document', () => {
  const r = cgi({ query: 'action=details&unit=pst_detailed' });
  checkResponse(r);
  assert.equal(r.stdout.toString('utf8'), HEADER
    + '{"ok":true,"init_system":"windows-scm","control_enabled":false,"details":{"name":"pst_detailed",'
    + '"display_name":"Plugin test service with details",'
    + '"description":"Shows a description with \\"quotes\\", a back\\\\slash and 日本語",'
    + '"state":"inactive","type":"own-process","start_type":"manual","delayed_start":null,"trigger_start":null,'
    + '"binary_path":"\\"C:\\\\plugin-test\\\\test_service.exe\\" \\"pst_detailed\\"",'
    + '"account":"NT AUTHORITY\\\\LocalService","pid":0,"exit_code":1077,"service_exit_code":0,'
    + '"accepts":[],"dependencies":[],"dependents":[],"recovery":null}}\n');
});

test('the name as the manager spells it; a service without a description has ""', () => {
  const d = details('PST_DEMAND');
  assert.equal(d.name, 'pst_demand');
  assert.equal(d.description, '');
  assert.equal(d.account, 'LocalSystem');
  assert.equal(d.binary_path, '"C:\\plugin-test\\test_service.exe" "pst_demand"');
  assert.equal(details('pst_auto').display_name, 'Dienst für Tests Ü 服务');
});

test('errors: missing and invalid unit, no such service', () => {
  const cases = [
    ['action=details', '400 Bad Request', 'missing unit'],
    ['action=details&unit=a%2Fb', '400 Bad Request', 'invalid unit'],
    ['action=details&unit=pst_nonexistent', '404 Not Found', 'service not found'],
  ];
  for (const [query, status, message] of cases) {
    const r = cgi({ query });
    checkResponse(r, status);
    assert.equal(r.stdout.toString('utf8'), errorBytes(status, message), query);
  }
});

test('a running service: its pid and accepted controls; after a stop with an error, its exit codes', async () => {
  expectControl('pst_exit', 'start');
  await waitForState('pst_exit', 'running');
  const running = details('pst_exit');
  assert.equal(running.state, 'running');
  assert.ok(running.pid > 0);
  assert.equal(running.pid, show('pst_exit').pid);
  assert.deepEqual([running.accepts, running.exit_code, running.service_exit_code], [['stop'], 0, 0]);
  expectControl('pst_exit', 'stop');
  // Stopped with a service-specific error, it is listed as failed.
  await waitForState('pst_exit', 'failed');
  const stopped = details('pst_exit');
  assert.deepEqual([stopped.state, stopped.pid, stopped.accepts], ['failed', 0, []]);
  assert.deepEqual([stopped.exit_code, stopped.service_exit_code], [1066, 42]);
});

test('a running service that refuses the stop control accepts none', async () => {
  expectControl('pst_nostop', 'start');
  await waitForState('pst_nostop', 'running');
  const d = details('pst_nostop');
  assert.deepEqual([d.state, d.accepts], ['running', []]);
});

test("Wine's own services: details agree with the list; the levels Wine lacks are null", async () => {
  const own = list().services.filter((s) => !s.name.startsWith('pst_'));
  assert.ok(own.length >= 10, `${own.length} of Wine's services listed`);
  const docs = [];
  for (let i = 0; i < own.length; i += 5) {
    const batch = own.slice(i, i + 5).map((s) => cgiAsync({ query: `action=details&unit=${s.name}` }));
    for (const r of await Promise.all(batch)) docs.push(checkResponse(r).doc.details);
  }
  own.forEach((s, i) => {
    const d = docs[i];
    assert.deepEqual(
      [d.name, d.display_name, d.state, d.start_type, d.pid],
      [s.name, s.description, s.active, s.enabled, s.pid], s.name,
    );
    assert.ok(['own-process', 'shared-process'].includes(d.type), `${s.name}: ${d.type}`);
    assert.equal(typeof d.description, 'string', s.name);
    for (const [key, value] of Object.entries(WINE_LACKS)) assert.deepEqual(d[key], value, `${s.name} ${key}`);
  });
  const rpc = docs[own.findIndex((s) => s.name === 'RpcSs')];
  const { pid, ...fixed } = rpc;
  assert.ok(pid > 0);
  assert.deepEqual(fixed, {
    name: 'RpcSs', display_name: 'Remote Procedure Call (RPC)', description: 'RPC service', state: 'running',
    type: 'shared-process', start_type: 'manual', binary_path: 'C:\\windows\\system32\\rpcss.exe',
    account: 'LocalSystem', exit_code: 0, service_exit_code: 0, accepts: ['stop', 'shutdown'], ...WINE_LACKS,
  });
});
