// The list and show actions of the Windows build against Wine's service
// manager: every test service with its fields, the cuts, filters, concurrent
// lists and a table filled to its 2048 records.
import { test, before } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import {
  HEADER, ENABLED, testServices, cgi, cgiAsync, checkResponse, errorBytes, list, show, utf8Cut, prefixScript, work,
  usePrefix, wineEnv, waitForState, sleep,
} from './lib.mjs';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const SERVICES_KEY = 'HKLM\\System\\CurrentControlSet\\Services';

// Runs a Windows program of the prefix (reg, the registration tool) and
// requires it to succeed.
function wine(...args) {
  const r = spawnSync('wine', args, { env: wineEnv, encoding: 'utf8', timeout: 60000 });
  assert.equal(r.status, 0, `wine ${args.join(' ')}: status ${r.status}, ${r.stdout}${r.stderr}`);
  return r.stdout;
}

function hasKey(name) {
  return spawnSync('wine', ['reg', 'query', `${SERVICES_KEY}\\${name}`], { env: wineEnv }).status === 0;
}

// Sets the Start value of a service's key by hand, as an administrator
// editing the registry would: the manager does not see it until it starts again.
function setStartValue(name, type, data) {
  wine('reg', 'add', `${SERVICES_KEY}\\${name}`, '/v', 'Start', '/t', type, '/d', data, '/f');
}

function setStartType(name, word) {
  wine(path.join(root, 'build/wine-tools/register_services.exe'), '--start-type', name, word);
}

usePrefix();

// Wine starts RpcSs by itself some seconds after the prefix boots; the
// tests compare documents taken one after another, so they wait for it.
before(async () => {
  await waitForState('RpcSs', 'running');
});

// The test services whose name and display name are cut inside a character
// of two, three and four bytes, with what the list shows of them: the bytes
// before that character.
const CUT = new Map([
  ['pst_cut2_' + 'x'.repeat(181) + '\u00e9',
    ['pst_cut2_' + 'x'.repeat(181), 'Cut inside a two-byte character ' + '.'.repeat(158)]],
  ['pst_cut3_' + 'x'.repeat(180) + '\u670d',
    ['pst_cut3_' + 'x'.repeat(180), 'Cut inside a three-byte character ' + '.'.repeat(156)]],
  ['pst_cut4_' + 'x'.repeat(179) + '\u{1f600}',
    ['pst_cut4_' + 'x'.repeat(179), 'Cut inside a four-byte character ' + '.'.repeat(156)]],
]);

// A running process's working set changes from one request to the next:
// the services with their memory figure reduced to whether there is one.
function steady(services) {
  return services.map((x) => ({ ...x, memory_bytes: x.memory_bytes === null ? null : 'a working set' }));
}

test('list carries every test service with its state, start type and fixed fields', () => {
  const r = cgi({ query: 'action=list&filter=all' });
  const { doc } = checkResponse(r);
  assert.equal(doc.ok, true);
  assert.equal(doc.init_system, 'windows-scm');
  assert.equal(doc.control_enabled, false);
  assert.equal(doc.count, doc.services.length);
  const byName = new Map(doc.services.map((s) => [s.name, s]));
  for (const t of testServices) {
    const [name, description] = CUT.get(t.name) || [utf8Cut(t.name, 191), utf8Cut(t.display, 191)];
    const s = byName.get(name);
    assert.ok(s, `${name} listed`);
    assert.deepEqual(s, {
      name, description, active: 'inactive', sub: '1',
      enabled: ENABLED[t.start], pid: 0, memory_bytes: null, since: '-', failed: false,
    });
  }
  const running = doc.services.filter((s) => s.active === 'running');
  assert.ok(running.length > 0, "Wine's own services run");
  for (const s of running) assert.ok(s.pid > 0 && s.sub === '4', `${s.name} has a pid`);
});

test('a non-ASCII display name arrives as UTF-8 bytes', () => {
  const t = testServices.find((s) => /[^\x00-\x7f]/.test(s.display));
  const r = cgi({ query: `action=show&unit=${t.name}` });
  const { doc } = checkResponse(r);
  assert.ok(r.stdout.includes(Buffer.from(`"description":"${t.display}"`, 'utf8')));
  assert.equal(doc.service.description, t.display);
});

test('a 200-character name is cut to 191 bytes and its start type is still read', () => {
  const t = testServices.find((s) => s.name.length === 200);
  const s = list().services.find((x) => t.name.startsWith(x.name) && x.name.length > 150);
  assert.equal(Buffer.byteLength(s.name), 191);
  assert.equal(s.enabled, ENABLED[t.start]);
});

test('names and display names cut at 191 bytes never end inside a character', () => {
  const r = cgi({ query: 'action=list' });
  checkResponse(r);
  const body = new TextDecoder('utf-8', { fatal: true }).decode(r.stdout);
  const services = JSON.parse(body.slice(body.indexOf('\r\n\r\n') + 4)).services;
  assert.equal(CUT.size, 3);
  for (const [full, [name, description]] of CUT) {
    assert.ok(testServices.some((t) => t.name === full), `${name} is a test service`);
    const s = services.find((x) => x.name === name);
    assert.ok(s, `${name} listed`);
    assert.equal(s.description, description);
    assert.equal(s.enabled, 'manual', 'the start type is read by the full name');
  }
  const lengths = [...CUT.values()].map(([name, description]) => [Buffer.byteLength(name), Buffer.byteLength(description)]);
  assert.deepEqual(lengths, [[190, 190], [189, 190], [188, 189]]);
});

test('show answers with the exact document, and 404 for a name no service bears', () => {
  const r = cgi({ query: 'action=show&unit=pst_quote' });
  checkResponse(r);
  assert.equal(r.stdout.toString('utf8'), HEADER
    + '{"ok":true,"init_system":"windows-scm","control_enabled":false,"service":{"name":"pst_quote",'
    + '"description":"Quote \\" and backslash \\\\ in a display name","active":"inactive","sub":"1",'
    + '"enabled":"manual","pid":0,"memory_bytes":null,"since":"-","failed":false}}\n');
  for (const unit of ['pst_nonexistent', 'PST_DEMAND']) {
    const miss = cgi({ query: `action=show&unit=${unit}` });
    checkResponse(miss, '404 Not Found');
    assert.equal(miss.stdout.toString('utf8'), errorBytes('404 Not Found', 'service not found'));
  }
});

test('list filters change the services, never the summary', () => {
  const all = list('all');
  const sum = all.summary;
  assert.equal(sum.failed, 0);
  assert.equal(sum.running + sum.failed + sum.inactive, all.count);
  assert.equal(sum.running, all.services.filter((s) => s.active === 'running').length);
  const cases = [
    ['running', sum.running, (s) => s.active === 'running'],
    ['inactive', sum.inactive, (s) => s.active !== 'running'],
    ['failed', 0, () => false],
    ['', all.count, () => true],
    ['bogus', all.count, () => true],
  ];
  for (const [filter, count, keep] of cases) {
    const doc = list(filter);
    assert.deepEqual(doc.summary, sum, `summary with filter "${filter}"`);
    assert.equal(doc.count, count, `count with filter "${filter}"`);
    assert.deepEqual(steady(doc.services), steady(all.services.filter(keep)), `services with filter "${filter}"`);
  }
});

test('start types come from the service database, and from the manager where it has none', () => {
  // Wine creates its Winedevice services at run time, without a key.
  const enabled = (doc) => new Map(doc.services.map((s) => [s.name, s.enabled]));
  for (const name of ['Winedevice1', 'Winedevice2']) assert.equal(hasKey(name), false, `${name} has no key`);
  assert.equal(hasKey('pst_demand'), true);
  const before = enabled(list());
  assert.equal(before.get('Winedevice1'), 'manual');
  assert.equal(before.get('Winedevice2'), 'manual');
  assert.equal(before.get('pst_demand'), 'manual');
  // A value removed, or of the wrong type: the manager still knows the start type.
  try {
    wine('reg', 'delete', `${SERVICES_KEY}\\pst_quote`, '/v', 'Start', '/f');
    setStartValue('pst_disabled', 'REG_SZ', '3');
    const after = enabled(list());
    assert.equal(after.get('pst_quote'), 'manual');
    assert.equal(after.get('pst_disabled'), 'disabled');
    assert.equal(show('pst_disabled').enabled, 'disabled');
  } finally {
    setStartValue('pst_quote', 'REG_DWORD', '3');
    setStartValue('pst_disabled', 'REG_DWORD', '4');
  }
});

test('a start type changed through the manager shows in the next list and show', () => {
  try {
    setStartType('pst_demand', 'disabled');
    assert.equal(list().services.find((s) => s.name === 'pst_demand').enabled, 'disabled');
    setStartType('pst_demand', 'auto');
    assert.equal(show('pst_demand').enabled, 'automatic');
  } finally {
    setStartType('pst_demand', 'demand');
  }
  assert.equal(show('pst_demand').enabled, 'manual');
});

test('a value edited by hand shows at once, while the manager goes on with its own', () => {
  // The manager reads the keys when it starts; the list shows what will apply then.
  try {
    setStartValue('pst_demand', 'REG_DWORD', '4');
    assert.equal(show('pst_demand').enabled, 'disabled');
    wine('sc', 'start', 'pst_demand');
    const s = show('pst_demand');
    assert.deepEqual([s.active, s.enabled], ['running', 'disabled']);
  } finally {
    setStartValue('pst_demand', 'REG_DWORD', '3');
    spawnSync('wine', ['sc', 'stop', 'pst_demand'], { env: wineEnv });
  }
});

const MiB = 1024 * 1024;
const FAILING = ['pst_fail_specific', 'pst_fail_win32'];

// The file whose presence makes a failing test service stop by itself.
function exitFile(name) {
  return path.join(work, 'prefix/drive_c/plugin-test', `${name}.exit`);
}

// Starts a service through the manager and waits until it runs.
async function startService(name) {
  wine('sc', 'start', name);
  return waitForState(name, 'running');
}

async function stopService(name) {
  wine('sc', 'stop', name);
  return waitForState(name, 'inactive');
}

// Milliseconds since 1970 of a since text "YYYY-MM-DD HH:MM:SS UTC".
function sinceMs(text) {
  assert.match(text, /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC$/);
  return Date.parse(text.replace(' UTC', 'Z').replace(' ', 'T'));
}

test('a service that stopped itself with an error is failed, until it runs again', async () => {
  for (const name of FAILING) fs.rmSync(exitFile(name), { force: true });
  for (const name of FAILING) await startService(name);
  for (const name of FAILING) fs.writeFileSync(exitFile(name), '');
  for (const name of FAILING) await waitForState(name, 'failed');
  const doc = list();
  assert.equal(doc.summary.failed, 2);
  assert.deepEqual(doc.services.slice(0, 2).map((s) => s.name), FAILING, 'failed first, by name');
  for (const s of doc.services.slice(0, 2)) {
    assert.deepEqual([s.active, s.sub, s.failed, s.pid, s.memory_bytes, s.since], ['failed', '1', true, 0, null, '-']);
  }
  assert.equal(doc.services.filter((s) => s.failed).length, 2);
  assert.deepEqual(list('failed').services, doc.services.slice(0, 2));
  for (const name of FAILING) fs.rmSync(exitFile(name));
  for (const name of FAILING) {
    const s = await startService(name);
    assert.equal(s.failed, false, `${name} runs again`);
  }
  assert.equal(list().summary.failed, 0);
  assert.deepEqual(list('failed').services, []);
  for (const name of FAILING) assert.equal((await stopService(name)).failed, false, `${name} stopped cleanly`);
});

test('a running service reports its memory and since; a restart moves since forward', async () => {
  const started = Date.now();
  const first = await startService('pst_auto');
  assert.ok(first.pid > 0);
  assert.ok(first.memory_bytes > MiB, `working set ${first.memory_bytes}`);
  const since = sinceMs(first.since);
  assert.ok(Math.abs(since - started) <= 60000, `since ${first.since}, started ${new Date(started).toISOString()}`);
  assert.deepEqual(steady(list().services.filter((s) => s.name === 'pst_auto')), steady([first]));
  await stopService('pst_auto');
  await sleep(1100);  // since counts whole seconds
  const again = await startService('pst_auto');
  assert.ok(sinceMs(again.since) > since, `${again.since} after ${first.since}`);
  assert.ok(again.memory_bytes > MiB);
  await stopService('pst_auto');
});

// Runs the program with Wine's registry trace on; returns the document and
// the services whose Start value it read.
function tracedStartReads(query) {
  const r = spawnSync('wine', [process.env.PLUGIN_EXE || path.join(root, 'build/mingw/plugin_services.exe')], {
    env: { ...wineEnv, WINEDEBUG: 'trace+reg', QUERY_STRING: query }, timeout: 120000,
  });
  const names = [...r.stderr.toString('utf8').matchAll(/:trace:reg:RegGetValueW \([^,]*,L"([^"]*)",L"Start",/g)]
    .map((m) => m[1]);
  return { doc: JSON.parse(r.stdout.toString('utf8').split('\r\n\r\n')[1]), names };
}

test('show reads the start type of its one service, the list of every service', () => {
  const shown = tracedStartReads('action=show&unit=pst_quote');
  assert.equal(shown.doc.service.enabled, 'manual');
  assert.deepEqual(shown.names, ['pst_quote']);
  const listed = tracedStartReads('action=list');
  assert.equal(listed.names.length, listed.doc.count);
  assert.ok(listed.names.includes('pst_quote') && listed.names.includes('Winedevice1'));
});

test('50 simultaneous list requests all answer the same complete document, working sets aside', async () => {
  const results = await Promise.all(Array.from({ length: 50 }, () => cgiAsync({ query: 'action=list' })));
  const first = checkResponse(results[0]);
  assert.ok(first.doc.count >= testServices.length);
  assert.equal(first.doc.services.length, first.doc.count);
  results.forEach((r, i) => {
    const { doc } = checkResponse(r);
    assert.deepEqual({ ...doc, services: steady(doc.services) }, { ...first.doc, services: steady(first.doc.services) },
      `response ${i} equals the first`);
    assert.equal(doc.services.filter((s) => s.enabled === '-').length, 0, `response ${i}: every start type read`);
  });
});

test('with 2050 more services registered the table holds 2048, every start type read', () => {
  prefixScript('--add', work, '2050');
  const r = cgi({ query: 'action=list' });
  const { doc } = checkResponse(r);
  assert.equal(doc.count, 2048);
  assert.equal(doc.services.length, 2048);
  assert.equal(new Set(doc.services.map((s) => s.name)).size, 2048, 'no entry twice');
  const sum = doc.summary;
  assert.equal(sum.running + sum.failed + sum.inactive, 2048);
  const unread = doc.services.filter((s) => s.enabled === '-');
  assert.deepEqual(unread, [], 'every start type read');
  const bulk = doc.services.filter((s) => s.name.startsWith('pst_bulk_'));
  assert.ok(bulk.length > 2000);
  assert.ok(bulk.every((s) => s.enabled === 'manual' && s.active === 'inactive'));
  // Sorted: running first, then by name byte for byte.
  const order = (s) => (s.active === 'running' ? 0 : 1);
  for (let i = 1; i < doc.services.length; i++) {
    const a = doc.services[i - 1]; const b = doc.services[i];
    const byKey = order(a) - order(b) || Buffer.compare(Buffer.from(a.name), Buffer.from(b.name));
    assert.ok(byKey < 0, `${a.name} before ${b.name}`);
  }
});
