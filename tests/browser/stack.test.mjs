// The whole stack: lighttpd with mod_cgi runs the real program against the
// scripted service manager; the page lists from it and sends a control
// request that lands in the mock log.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, renameSync, rmSync, symlinkSync, writeFileSync, mkdirSync } from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { DASH, binaryPath, haveBrowser, launch, openPage, loaded } from './lib/harness.mjs';

const LIGHTTPD = ['/usr/sbin/lighttpd', '/usr/bin/lighttpd'].find(p => existsSync(p));
const skip = (!haveBrowser() && 'chromium or the program missing') || (!LIGHTTPD && 'lighttpd not installed');
const PASSWORD = 'n0de pass';

const FIXTURE = [
  '# a small machine',
  'service\tSpooler\tPrint Spooler\t4\t1234\t2',
  'service\twuauserv\tWindows Update\t1\t0\t3\tstart=refused',
  'service\tW32Time\tWindows Time\t7\t0\t4',
  '',
].join('\n');

let browser, server, dir, port, log;

function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.once('error', reject);
    s.listen(0, '127.0.0.1', () => {
      const { port: p } = s.address();
      s.close(() => resolve(p));
    });
  });
}

async function waitForPort(p, ms) {
  const end = Date.now() + ms;
  while (Date.now() < end) {
    const ok = await new Promise(r => {
      const c = net.connect(p, '127.0.0.1', () => { c.end(); r(true); });
      c.once('error', () => r(false));
    });
    if (ok) return;
    await new Promise(r => setTimeout(r, 50));
  }
  throw new Error('lighttpd did not start on port ' + p);
}

before(async () => {
  if (skip) return;
  dir = mkdtempSync(path.join(os.tmpdir(), 'services-stack-'));
  const www = path.join(dir, 'www');
  mkdirSync(www);
  symlinkSync(binaryPath(), path.join(www, 'plugin_services'));
  writeFileSync(path.join(dir, 'fixture.txt'), FIXTURE);
  log = path.join(dir, 'control.log');
  port = await freePort();
  const conf = path.join(dir, 'lighttpd.conf');
  writeFileSync(conf, [
    `server.document-root = "${www}"`,
    `server.bind = "127.0.0.1"`,
    `server.port = ${port}`,
    `server.errorlog = "${path.join(dir, 'error.log')}"`,
    `server.pid-file = "${path.join(dir, 'lighttpd.pid')}"`,
    `server.modules = ("mod_setenv", "mod_cgi")`,
    `setenv.add-environment = (`,
    `  "SERVICES_FAKE_SCM" => "${path.join(dir, 'fixture.txt')}",`,
    `  "SERVICES_ALLOW_CONTROL" => "1",`,
    `  "SERVICES_MOCK_SYSTEMCTL_LOG" => "${log}",`,
    `  "BOT_PASSWORD" => "${PASSWORD}"`,
    `)`,
    `$HTTP["url"] == "/plugin_services" { cgi.assign = ("" => "") }`,
    '',
  ].join('\n'));
  const check = spawnSync(LIGHTTPD, ['-tt', '-f', conf], { encoding: 'utf8' });
  assert.equal(check.status, 0, check.stderr);
  server = spawn(LIGHTTPD, ['-D', '-f', conf], { stdio: ['ignore', 'ignore', 'pipe'] });
  await waitForPort(port, 5000);
  browser = await launch();
});

after(async () => {
  if (browser) await browser.close();
  if (server) {
    server.kill('SIGTERM');
    await new Promise(r => server.once('exit', r));
  }
  if (dir) rmSync(dir, { recursive: true, force: true });
});

test('through lighttpd: the list loads and a stop arrives in the mock log', { skip }, async () => {
  const base = `http://127.0.0.1:${port}`;
  const s = await openPage(browser, { live: true, path: null });
  const headers = [];
  s.page.on('response', r => headers.push([r.url(), r.status(), r.headers()['content-security-policy']]));
  s.page.on('dialog', d => d.accept());
  await s.page.goto(`${base}/plugin_services?node=n1&pwd=${encodeURIComponent(PASSWORD)}`);
  await loaded(s.page);
  assert.equal(await s.page.textContent('#initPill'), 'init: windows-scm \u00b7 control on');
  const names = await s.page.$$eval('#rows tr', rs => rs.map(r => r.getAttribute('data-n')));
  assert.deepEqual(names, ['Spooler', 'W32Time', 'wuauserv']);
  assert.deepEqual(await s.page.$$eval('.chips .v', vs => vs.map(v => v.textContent)), ['3', '1', '0', '2']);
  assert.match(headers[0][2], /^default-src 'none'; script-src 'unsafe-inline'/);

  await s.page.click('#rows tr[data-n="Spooler"]');
  assert.equal(await s.page.textContent('#dEnabled'), 'automatic');
  // The drawer's details have been read before the fixture changes under them.
  await s.page.waitForFunction(() => {
    const t = document.getElementById('dDetails').textContent;
    return t !== '' && t !== 'Loading details\u2026';
  });
  // The manager now reports Spooler stopped: the reload after the stop shows
  // it. The new fixture is moved into place, so no request reads it half written.
  writeFileSync(path.join(dir, 'fixture.new'), FIXTURE.replace('\t4\t1234\t2', '\t1\t0\t2'));
  renameSync(path.join(dir, 'fixture.new'), path.join(dir, 'fixture.txt'));
  await s.page.click('#opStop');
  await s.page.waitForFunction(() => document.getElementById('dOut').className !== 'out');
  assert.equal(await s.page.textContent('#dOut'), 'stop requested for Spooler.');
  assert.equal(readFileSync(log, 'utf8'), 'systemctl stop Spooler\n');
  const control = headers.find(h => h[0].includes('action=control'));
  assert.equal(control[0], `${base}/plugin_services?action=control&unit=Spooler&op=stop&node=n1&pwd=n0de%20pass`);
  assert.equal(control[1], 200);
  await s.page.waitForFunction(() => document.getElementById('dState').textContent === 'inactive');
  assert.equal(await s.page.textContent('#dPid'), DASH);
  assert.deepEqual(await s.page.$$eval('.chips .v', vs => vs.map(v => v.textContent)), ['3', '0', '0', '3']);
  await s.finish();
});

test('through lighttpd: without the password, 401 for the page and the list', { skip }, async () => {
  for (const p of ['/plugin_services', '/plugin_services?action=list&filter=all']) {
    const r = await fetch(`http://127.0.0.1:${port}${p}`);
    assert.equal(r.status, 401, p);
    assert.deepEqual(JSON.parse(await r.text()), { ok: false, error: 'invalid node password' });
  }
});
