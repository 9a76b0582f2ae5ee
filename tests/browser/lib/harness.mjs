// Shared test harness: the page exactly as the program prints it, served to
// Debian's chromium through request routing, with canned JSON answers, and a
// record of every console error, page error and security-policy violation.
import { execFileSync } from 'node:child_process';
import { existsSync } from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const here = path.dirname(fileURLToPath(import.meta.url));

export const ORIGIN = 'http://node.test';
export const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
export const CHROMIUM_ARGS = [
  '--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
  '--disable-component-update', '--disable-sync', '--no-first-run',
];
export const DASH = '\u2014';

// The program under test: PLUGIN_SERVICES_BIN, else the native build.
export function binaryPath() {
  return process.env.PLUGIN_SERVICES_BIN || path.resolve(here, '../../../build/native/plugin_services');
}

// Runs the program with exactly the given environment; returns its stdout.
export function runProgram(env = {}, args = []) {
  return execFileSync(binaryPath(), args, { env, maxBuffer: 1 << 24 });
}

// Splits a CGI response at its first empty line into header lines and body.
export function splitResponse(out) {
  const end = out.indexOf('\r\n\r\n');
  if (end < 0) throw new Error('no header block in the response');
  const head = out.subarray(0, end).toString('latin1');
  const headers = {};
  for (const line of head.split('\r\n')) {
    const colon = line.indexOf(':');
    headers[line.slice(0, colon)] = line.slice(colon + 1).trim();
  }
  return { headerBytes: end + 4, lines: head.split('\r\n'), headers, body: out.subarray(end + 4) };
}

let pageCache = null;
// The page response of a request without any environment.
export function pageResponse() {
  if (!pageCache) pageCache = splitResponse(runProgram({}));
  return pageCache;
}

export function haveBrowser() {
  return existsSync(CHROMIUM) && existsSync(binaryPath());
}

export function launch() {
  return chromium.launch({ executablePath: CHROMIUM, args: CHROMIUM_ARGS, headless: true });
}

// One service object as the list action writes it; fields may be overridden.
export function svc(name, fields = {}) {
  return {
    name, description: '', active: 'inactive', sub: '1', enabled: 'manual',
    pid: 0, memory_bytes: null, since: '-', failed: false, ...fields,
  };
}

// A list document over the given services. Its summary is `summary` when
// given; otherwise it is counted here the server's way, which only makes the
// chips look right: a test that reads the chips gives its own numbers.
export function listDoc(services, { control = false, init = 'windows-scm', summary: given = null } = {}) {
  if (given) return { ok: true, init_system: init, control_enabled: control, count: services.length, summary: given, services };
  const summary = { running: 0, failed: 0, inactive: 0 };
  for (const s of services) {
    if (s.active === 'running' || s.active === 'active') summary.running++;
    else if (s.active === 'failed' || s.sub === 'failed') summary.failed++;
    else summary.inactive++;
  }
  return { ok: true, init_system: init, control_enabled: control, count: services.length, summary, services };
}

// An init script that records the page's calls from inside the page, in
// window.pageCalls: `started`, the address of each call as the page makes it,
// and `settled`, how many have settled. Both are up to date as soon as the
// page's own code has run (a fake clock's timers included), where the
// route's record waits for the request to reach it. The count of settled
// calls goes up in the same turn as the page's own handlers of the call, so
// they have run by the time a test sees the new count.
export const RECORD_CALLS = `(() => {
  const fetchNow = window.fetch;
  const calls = { started: [], settled: 0 };
  const settle = () => { calls.settled++; };
  Object.defineProperty(window, 'pageCalls', { value: calls });
  window.fetch = function (url) {
    calls.started.push(String(url));
    const p = fetchNow.apply(this, arguments);
    p.then(settle, settle);
    return p;
  };
})();`;

// How many calls of the given action the page has started (see RECORD_CALLS).
export function callsStarted(page, action) {
  return page.evaluate(a => window.pageCalls.started.filter(u => u.includes('?action=' + a + '&')).length, action);
}

// The details of one service as the details action writes them; members
// may be overridden.
export function detailsDoc(name, fields = {}, { control = false } = {}) {
  return {
    ok: true, init_system: 'windows-scm', control_enabled: control,
    details: {
      name, display_name: name, description: '', state: 'inactive', type: 'own-process', start_type: 'manual',
      delayed_start: false, trigger_start: false, binary_path: `C:\\Services\\${name}.exe`, account: 'LocalSystem',
      pid: 0, exit_code: 0, service_exit_code: 0, accepts: [], dependencies: [], dependents: [],
      recovery: { reset_seconds: 0, actions: [] }, ...fields,
    },
  };
}

// The unit a call names, decoded.
export function unitOf(url) {
  const m = /[?&]unit=([^&]*)/.exec(url);
  return m ? decodeURIComponent(m[1]) : '';
}

const REPORT_VIOLATIONS = `document.addEventListener('securitypolicyviolation', function (e) {
  console.error('securitypolicyviolation ' + e.violatedDirective + ' ' + e.blockedURI);
});`;

function answer(route, reply) {
  if (reply && reply.abort) return route.abort(reply.abort);
  const status = (reply && reply.status) || 200;
  let body = reply && 'body' in reply ? reply.body : reply;
  if (typeof body !== 'string') body = JSON.stringify(body) + '\n';
  return route.fulfill({ status, contentType: 'application/json; charset=utf-8', body });
}

function actionOf(url) {
  const m = /[?&]action=([^&]*)/.exec(url);
  return m ? decodeURIComponent(m[1]) : '';
}

function isApiCall(u) {
  if (u.pathname === '/plugins') return true;
  return u.pathname === '/plugin_services' && (u.search.includes('action=') || u.search.includes('format=json'));
}

// Opens a page in a fresh context. Options:
//   path     address on ORIGIN (default "/plugin_services")
//   list     reply to list calls: a document, {status, body}, {abort}, or a function(call)
//   control  reply to control calls, the same forms
//   details  reply to details calls, the same forms (default: detailsDoc of the unit)
//   storage  local storage entries of ORIGIN before the page loads
//   pages    extra documents by full URL (a host page for frames)
//   allow    regular expressions of console errors the test expects
//   context  extra options for browser.newContext
//   live     no routing: the page talks to a real server
//   clock    install Playwright's fake clock before the page loads
// Returns { page, context, calls, problems, finish }.
export async function openPage(browser, opts = {}) {
  const storage = Object.entries(opts.storage || {}).map(([name, value]) => ({ name, value }));
  const context = await browser.newContext({
    viewport: { width: 1280, height: 800 },
    colorScheme: 'dark',
    storageState: { cookies: [], origins: storage.length ? [{ origin: ORIGIN, localStorage: storage }] : [] },
    ...(opts.context || {}),
  });
  const calls = [];
  const problems = [];
  const allow = opts.allow || [];
  await context.addInitScript(REPORT_VIOLATIONS);
  for (const script of opts.initScripts || []) await context.addInitScript(script);
  if (!opts.live) await context.route('**/*', async route => {
    const req = route.request();
    const url = req.url();
    if (opts.pages && opts.pages[url]) {
      return route.fulfill({ status: 200, contentType: 'text/html', body: opts.pages[url] });
    }
    const u = new URL(url);
    if (u.origin !== ORIGIN) return route.abort('blockedbyclient');
    if (isApiCall(u)) {
      const call = { url, path: url.slice(ORIGIN.length), method: req.method(), headers: req.headers(), action: actionOf(url), at: Date.now() };
      calls.push(call);
      const own = { control: [opts.control, { ok: true }], details: [opts.details, detailsDoc(unitOf(url))] };
      const [given, fallback] = own[call.action] || [opts.list, listDoc([])];
      let reply = given === undefined ? fallback : given;
      if (typeof reply === 'function') reply = await reply(call);
      return answer(route, reply);
    }
    if (u.pathname === '/plugin_services' && req.method() === 'GET') {
      const resp = pageResponse();
      return route.fulfill({ status: 200, headers: resp.headers, body: resp.body });
    }
    if (u.pathname === '/blank') return route.fulfill({ status: 200, contentType: 'text/html', body: '<!doctype html><title>blank</title>' });
    return route.fulfill({ status: 404, contentType: 'text/plain', body: 'not found' });
  });

  if (opts.clock) await context.clock.install();
  const tab = await context.newPage();
  tab.on('console', m => {
    if (m.type() !== 'error') return;
    const text = m.text();
    if (!text.startsWith('securitypolicyviolation') && allow.some(re => re.test(text))) return;
    problems.push('console: ' + text);
  });
  tab.on('pageerror', e => problems.push('pageerror: ' + e.message));
  if (opts.path !== null) await tab.goto(ORIGIN + (opts.path || '/plugin_services'));

  async function finish() {
    await tab.evaluate(() => 0).catch(() => {});
    await context.close();
    if (problems.length) throw new Error('browser problems:\n' + problems.join('\n'));
  }
  return { page: tab, context, calls, problems, finish };
}

// Waits until the first list has been drawn (the init pill is filled).
export function loaded(page) {
  return page.waitForFunction(() => document.getElementById('initPill').textContent !== 'init: \u2014');
}

// Texts of the table's cells, one array per row, in table order.
export function tableTexts(page) {
  return page.$$eval('#rows tr', rows => rows.map(r => Array.from(r.cells, c => c.textContent)));
}

export function rowNames(page) {
  return page.$$eval('#rows tr', rows => rows.map(r => r.getAttribute('data-n')));
}
