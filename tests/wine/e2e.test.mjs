// End-to-end tests of the Windows build against Wine's service manager: the
// .exe is run under wine as a web server runs a CGI program, with the test
// services of services.tsv registered in a fresh prefix.
//
// Environment: PLUGIN_EXE (the .exe), WINE_WORK_DIR (scratch directory for
// the prefix). Exits with 77 (skipped) when wine, the mingw compiler or the
// .exe is missing.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.resolve(here, '../..');
const exe = process.env.PLUGIN_EXE || path.join(root, 'build/mingw/plugin_services.exe');
const work = path.resolve(process.env.WINE_WORK_DIR || path.join(root, 'build/wine-e2e'));
const prefix = path.join(work, 'prefix');

function onPath(program) {
  return spawnSync('sh', ['-c', `command -v ${program}`]).status === 0;
}

const missing = ['wine', 'wineserver', 'x86_64-w64-mingw32-g++'].filter((p) => !onPath(p));
if (!fs.existsSync(exe)) missing.push(exe);
if (missing.length) {
  console.log(`skipping the Wine tests: missing ${missing.join(', ')}`);
  process.exit(77);
}

const HEADER = 'Content-Type: application/json; charset=utf-8\r\n'
  + 'Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n\r\n';
const ENABLED = { demand: 'manual', auto: 'automatic', disabled: 'disabled' };

const wineEnv = {
  PATH: process.env.PATH,
  HOME: process.env.HOME,
  WINEPREFIX: prefix,
  WINEDEBUG: '-all',
  WINEDLLOVERRIDES: 'mscoree,mshtml=',
};

// The test services as registered: name, display name, start word.
const testServices = fs.readFileSync(path.join(here, 'services.tsv'), 'utf8')
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
function checkResponse(r, status) {
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

// Wine 8 now and then fails to start a process at all: status 1, no output,
// and with its error channel on, "wine client error:...: write: Bad file
// descriptor" (a few starts in 10,000 when many start at once). The program
// itself always exits 0 with a response, so such a run is Wine's own failure
// and is run again, at most twice, with a note in the test output.
const LAUNCH_TRIES = 3;
function wineLaunchFailed(r) {
  return r.status === 1 && r.stdout.length === 0
    && /^(wine client error:[^\n]*\n)*$/.test(r.stderr.toString('utf8'));
}

function noteRetry(what) {
  console.log(`# Wine failed to start ${what}; run again`);
}

// Runs the program once, as a web server would, and returns the raw result.
function cgi(request) {
  for (let tries = 1; ; tries++) {
    const r = spawnSync('wine', [exe], { env: cgiEnv(request), timeout: 120000 });
    if (r.error) throw r.error;
    if (tries === LAUNCH_TRIES || !wineLaunchFailed(r)) return r;
    noteRetry(`the program (${request.query})`);
  }
}

function runOnce(request) {
  return new Promise((resolve, reject) => {
    const child = spawn('wine', [exe], { env: cgiEnv(request) });
    const out = []; const err = [];
    child.stdout.on('data', (d) => out.push(d));
    child.stderr.on('data', (d) => err.push(d));
    child.on('error', reject);
    child.on('close', (status, signal) => resolve({ status, signal, stdout: Buffer.concat(out), stderr: Buffer.concat(err) }));
  });
}

async function cgiAsync(request) {
  for (let tries = 1; ; tries++) {
    const r = await runOnce(request);
    if (tries === LAUNCH_TRIES || !wineLaunchFailed(r)) return r;
    noteRetry(`the program (${request.query})`);
  }
}

function list(filter = 'all') {
  return checkResponse(cgi({ query: `action=list&filter=${filter}` })).doc;
}

function show(name) {
  return checkResponse(cgi({ query: `action=show&unit=${name}` })).doc.service;
}

function control(name, op) {
  return cgi({ query: `action=control&unit=${name}&op=${op}`, method: 'POST', control: true });
}

function successBytes(name, op) {
  return HEADER + `{"ok":true,"unit":"${name}","op":"${op}","control_enabled":true,"init_system":"windows-scm"}\n`;
}

function errorBytes(status, message) {
  return `Status: ${status}\r\n${HEADER}{"ok":false,"error":"${message}"}\n`;
}

// The same failure can hit the process of a service that the manager starts:
// StartService then fails, the program rightly answers "control failed" and
// the service is still stopped. Such a start is asked for once more.
function expectControl(name, op) {
  let r = control(name, op);
  if (op !== 'stop' && r.stdout.toString('utf8') === errorBytes('500 Internal Server Error', 'control failed')
      && show(name).active === 'inactive') {
    noteRetry(`the service ${name}`);
    r = control(name, op);
  }
  checkResponse(r);
  assert.equal(r.stdout.toString('utf8'), successBytes(name, op), `${op} ${name}`);
}

function expectControlError(name, op, status, message) {
  const r = control(name, op);
  checkResponse(r, status);
  assert.equal(r.stdout.toString('utf8'), errorBytes(status, message), `${op} ${name}`);
}

function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

// A stop is only requested; waits until the manager reports the state.
async function waitForState(name, active) {
  for (let i = 0; i < 50; i++) {
    const s = show(name);
    if (s.active === active) return s;
    await sleep(200);
  }
  assert.fail(`${name} never became ${active}`);
}

function utf8Cut(text, bytes) {
  return Buffer.from(text, 'utf8').subarray(0, bytes).toString('utf8');
}

function prefixScript(...args) {
  const r = spawnSync(path.join(root, 'scripts/wine-prefix'), args, { encoding: 'utf8', timeout: 600000 });
  if (r.status !== 0) throw new Error(`scripts/wine-prefix ${args.join(' ')} failed:\n${r.stdout}${r.stderr}`);
  process.stdout.write(r.stdout.split('\n').map((l) => (l ? `# ${l}` : l)).join('\n'));
}

before(() => prefixScript(work));

after(() => {
  spawnSync('wineserver', ['-k'], { env: wineEnv });
});

test('list carries every test service with its state, start type and fixed fields', () => {
  const r = cgi({ query: 'action=list&filter=all' });
  const { doc } = checkResponse(r);
  assert.equal(doc.ok, true);
  assert.equal(doc.init_system, 'windows-scm');
  assert.equal(doc.control_enabled, false);
  assert.equal(doc.count, doc.services.length);
  const byName = new Map(doc.services.map((s) => [s.name, s]));
  for (const t of testServices) {
    const name = utf8Cut(t.name, 191);
    const s = byName.get(name);
    assert.ok(s, `${name} listed`);
    assert.deepEqual(s, {
      name, description: utf8Cut(t.display, 191), active: 'inactive', sub: '1',
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
    assert.deepEqual(doc.services, all.services.filter(keep), `services with filter "${filter}"`);
  }
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

test('50 simultaneous list requests all answer the same complete document', async () => {
  const results = await Promise.all(Array.from({ length: 50 }, () => cgiAsync({ query: 'action=list' })));
  const first = checkResponse(results[0]);
  assert.ok(first.doc.count >= testServices.length);
  assert.equal(first.doc.services.length, first.doc.count);
  results.forEach((r, i) => {
    const { body, doc } = checkResponse(r);
    assert.equal(body, first.body, `response ${i} equals the first`);
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
