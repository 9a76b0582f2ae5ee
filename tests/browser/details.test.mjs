// The details in the drawer: the call on both routes with the password,
// what is drawn, the loading line and failures, a late answer dropped, a
// dependency opening its service, hostile texts, the dependents named in
// the confirmation, and the layout.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { DASH, haveBrowser, launch, openPage, loaded, listDoc, svc, detailsDoc, unitOf } from './lib/harness.mjs';

const skip = !haveBrowser() && 'chromium or the program missing';
let browser;
before(async () => { if (!skip) browser = await launch(); });
after(async () => { if (browser) await browser.close(); });

const RESOURCE_ERROR = /^Failed to load resource/;
const SERVICES = [
  svc('Spooler', { active: 'running', sub: '4', enabled: 'automatic', pid: 1234, description: 'Print Spooler' }),
  svc('Fax', { active: 'running', sub: '4', pid: 77 }),
  svc('Paused', { active: 'paused', sub: '7' }),
  svc('RPCSS', { active: 'running', sub: '4', pid: 9 }),
  svc('beta', { active: 'inactive', sub: '1' }),
];
const FULL = {
  display_name: 'Print Spooler', description: 'Loads files to memory for later printing', state: 'running',
  type: 'own-process', start_type: 'automatic', delayed_start: true, trigger_start: true,
  binary_path: 'C:\\Windows\\System32\\spoolsv.exe', account: 'LocalSystem', pid: 1234,
  exit_code: 1066, service_exit_code: 42, accepts: ['stop'],
  dependencies: ['RPCSS', '+Print Group', 'Gone'], dependents: ['Fax', 'beta', 'Paused', 'Unlisted'],
  recovery: { reset_seconds: 86400, actions: [{ type: 'restart', delay_ms: 60000 }, { type: 'restart', delay_ms: 60000 }, { type: 'none', delay_ms: 0 }] },
};

function detailsText(page) {
  return page.$eval('#dDetails', e => e.textContent);
}

// Label and value of each row the details drew, and the description.
function drawn(page) {
  return page.$eval('#dDetails', box => ({
    about: (box.querySelector('.about') || {}).textContent || null,
    rows: Array.from(box.querySelectorAll('.kv .k'), k => [k.textContent, k.nextElementSibling.textContent]),
    buttons: Array.from(box.querySelectorAll('button'), b => b.textContent),
  }));
}

function detailsDrawn(page, name) {
  return page.waitForFunction(n => {
    const box = document.getElementById('dDetails');
    return box.querySelector('.kv') && document.getElementById('dName').textContent === n;
  }, name);
}

async function drawerPage(opts = {}) {
  const s = await openPage(browser, { list: listDoc(SERVICES, { control: true }), ...opts });
  await loaded(s.page);
  s.detailsCalls = () => s.calls.filter(c => c.action === 'details');
  return s;
}

test('asked when the drawer opens, on both routes with the password, and again at each opening', { skip }, async () => {
  const cases = [
    ['?node=n1&pwd=pw', '/plugin_services?action=details&unit=a%26b%20c&node=n1&pwd=pw'],
    ['?plugin=services&node=n1&pwd=pw', '/plugins?plugin=services?action=details&unit=a%26b%20c&node=n1&pwd=pw'],
  ];
  for (const [query, path] of cases) {
    const s = await drawerPage({ path: '/plugin_services' + query, list: listDoc([...SERVICES, svc('a&b c')]) });
    assert.equal(s.detailsCalls().length, 0);
    for (let round = 1; round <= 2; round++) {
      await s.page.click('#rows tr[data-n="a&b c"]');
      await detailsDrawn(s.page, 'a&b c');
      assert.equal(s.detailsCalls().length, round, query);
      await s.page.keyboard.press('Escape');
    }
    for (const call of s.detailsCalls()) {
      assert.equal(call.path, path);
      assert.equal(call.method, 'GET');
      assert.equal(call.headers['x-bot-password'], 'pw');
    }
    await s.finish();
  }
});

test('what the details show: description, type, start, program, account, lists, last exit, recovery', { skip }, async () => {
  const cases = [
    [FULL, 'Loads files to memory for later printing', [
      ['Type', 'own-process'], ['Start', 'automatic (delayed, on trigger)'], ['Program', 'C:\\Windows\\System32\\spoolsv.exe'],
      ['Account', 'LocalSystem'], ['Depends on', 'RPCSS+Print GroupGone'], ['Required by', 'FaxbetaPausedUnlisted'],
      ['Last exit', '1066 (service code 42)'], ['Recovery', 'restart after 60 s, restart after 60 s, none; reset after 1 day'],
    ], ['RPCSS', 'Fax', 'beta', 'Paused']],
    [{ description: '', start_type: 'manual', trigger_start: true, account: '', dependencies: [], dependents: [], exit_code: 0,
      service_exit_code: 7, recovery: { reset_seconds: 4294967295, actions: [{ type: 'reboot', delay_ms: 300000 }, { type: 'run-command', delay_ms: 1500 }] } },
    null, [
      ['Type', 'own-process'], ['Start', 'manual (on trigger)'], ['Program', 'C:\\Services\\Spooler.exe'], ['Account', DASH],
      ['Depends on', 'none'], ['Required by', 'none'], ['Last exit', '0 (service code 7)'],
      ['Recovery', 'reboot after 5 min, run-command after 1500 ms; never reset'],
    ], []],
    [{ description: null, type: null, start_type: null, delayed_start: null, trigger_start: null, binary_path: null, account: null,
      exit_code: null, service_exit_code: null, dependencies: null, dependents: null, recovery: null },
    null, [
      ['Type', DASH], ['Start', DASH], ['Program', DASH], ['Account', DASH], ['Depends on', DASH], ['Required by', DASH],
      ['Last exit', DASH], ['Recovery', DASH],
    ], []],
    [{ recovery: { reset_seconds: 7200, actions: [] }, delayed_start: true, exit_code: 1077 }, null, [
      ['Type', 'own-process'], ['Start', 'manual (delayed)'], ['Program', 'C:\\Services\\Spooler.exe'], ['Account', 'LocalSystem'],
      ['Depends on', 'none'], ['Required by', 'none'], ['Last exit', '1077'], ['Recovery', 'none'],
    ], []],
  ];
  for (const [fields, about, rows, buttons] of cases) {
    const s = await drawerPage({ details: detailsDoc('Spooler', fields) });
    await s.page.click('#rows tr[data-n="Spooler"]');
    await detailsDrawn(s.page, 'Spooler');
    const d = await drawn(s.page);
    assert.equal(d.about, about);
    assert.deepEqual(d.rows, rows);
    assert.deepEqual(d.buttons, buttons);
    assert.equal(await s.page.textContent('#dPid'), '1234', 'the fields above stay');
    await s.finish();
  }
});

test('a loading line, then a failure in its place; the rest of the drawer works', { skip }, async () => {
  const cases = [
    [{ status: 403, body: { ok: false, error: 'access denied' } }, 'Could not load details: access denied'],
    [{ status: 200, body: { ok: true } }, 'Could not load details: details failed'],
    [{ status: 500, body: { ok: false } }, 'Could not load details: details failed'],
    [{ abort: 'failed' }, 'Could not load details: Failed to fetch'],
    [{ status: 502, body: 'Bad Gateway' }, /^Could not load details: .*JSON/],
  ];
  for (const [reply, text] of cases) {
    let release;
    const gate = new Promise(r => { release = r; });
    const s = await drawerPage({ details: async () => { await gate; return reply; }, allow: [RESOURCE_ERROR] });
    await s.page.click('#rows tr[data-n="Spooler"]');
    await s.page.waitForFunction(() => document.getElementById('dDetails').textContent !== '');
    assert.deepEqual(await s.page.$eval('#dDetails', e => [e.firstChild.className, e.textContent]), ['dnote', 'Loading details\u2026']);
    release();
    await s.page.waitForFunction(() => document.querySelector('#dDetails .err'));
    const shown = await detailsText(s.page);
    if (text instanceof RegExp) assert.match(shown, text);
    else assert.equal(shown, text);
    s.page.on('dialog', d => d.accept());
    await s.page.click('#opStop');
    await s.page.waitForFunction(() => document.getElementById('dOut').className === 'out ok');
    assert.equal(s.calls.filter(c => c.action === 'control').length, 1);
    await s.finish();
  }
});

test('an answer that arrives after the drawer moved to another service is dropped', { skip }, async () => {
  const gates = {};
  const s = await drawerPage({
    details: async call => {
      const unit = unitOf(call.url);
      if (unit === 'Spooler') await new Promise(r => { gates.spooler = r; });
      return detailsDoc(unit, { binary_path: `C:\\${unit}.exe` });
    },
  });
  await s.page.click('#rows tr[data-n="Spooler"]');
  await s.page.waitForFunction(() => document.getElementById('dDetails').textContent === 'Loading details\u2026');
  await s.page.keyboard.press('Escape');
  await s.page.click('#rows tr[data-n="beta"]');
  await detailsDrawn(s.page, 'beta');
  while (!gates.spooler) await new Promise(r => setTimeout(r, 20));
  gates.spooler();
  await s.page.evaluate(() => new Promise(r => setTimeout(r, 300)));
  assert.equal(await s.page.textContent('#dName'), 'beta');
  assert.deepEqual((await drawn(s.page)).rows[2], ['Program', 'C:\\beta.exe']);
  await s.finish();
});

test('a dependency button opens that service, by mouse and by keyboard; names not listed stay text', { skip }, async () => {
  const s = await drawerPage({
    details: call => detailsDoc(unitOf(call.url), unitOf(call.url) === 'Spooler' ? FULL : { dependents: ['Spooler'] }),
  });
  await s.page.click('#rows tr[data-n="Spooler"]');
  await detailsDrawn(s.page, 'Spooler');
  assert.deepEqual(await s.page.$$eval('#dDetails li', lis => lis.map(li => [li.textContent, !!li.querySelector('button')])), [
    ['RPCSS', true], ['+Print Group', false], ['Gone', false], ['Fax', true], ['beta', true], ['Paused', true], ['Unlisted', false],
  ]);
  // Tab goes through them with the drawer's other controls and stays in the drawer.
  const stops = [];
  for (let i = 0; i < 9; i++) {
    await s.page.keyboard.press('Tab');
    stops.push(await s.page.evaluate(() => document.activeElement.getAttribute('data-n') || document.activeElement.id));
  }
  assert.deepEqual(stops, ['dClose', 'RPCSS', 'Fax', 'beta', 'Paused', 'opStart', 'opRestart', 'opStop', 'dClose']);
  await s.page.click('#dDetails button[data-n="RPCSS"]');
  await detailsDrawn(s.page, 'RPCSS');
  assert.equal(await s.page.getAttribute('#rows tr.sel', 'data-n'), 'RPCSS');
  assert.equal(await s.page.textContent('#dPid'), '9');
  await s.page.focus('#dDetails button[data-n="Spooler"]');
  await s.page.keyboard.press('Enter');
  await detailsDrawn(s.page, 'Spooler');
  assert.ok(await s.page.evaluate(() => document.getElementById('drawer').contains(document.activeElement)),
    'focus stays in the drawer when the button that opened the service is gone');
  assert.deepEqual(s.detailsCalls().map(c => unitOf(c.url)), ['Spooler', 'RPCSS', 'Spooler']);
  await s.page.keyboard.press('Escape');
  assert.equal(await s.page.evaluate(() => document.activeElement.getAttribute('data-n')), 'Spooler', 'focus back on the row');
  await s.finish();
});

test('hostile texts are shown literally and never become markup', { skip }, async () => {
  const evil = '<img src=x onerror="document.title=1">&amp;"\'</p>';
  const names = [`a"b`, `x' onclick='1`, '<b>bold</b>'];
  const list = listDoc([svc('Spooler', { active: 'running' }), ...names.map(n => svc(n))]);
  const s = await drawerPage({
    list,
    details: detailsDoc('Spooler', {
      description: evil, type: evil, start_type: evil, binary_path: evil, account: evil, dependencies: [evil, ...names],
      dependents: names, exit_code: evil, recovery: { reset_seconds: 1, actions: [{ type: evil, delay_ms: 1000 }] },
    }),
  });
  await s.page.click('#rows tr[data-n="Spooler"]');
  await detailsDrawn(s.page, 'Spooler');
  const d = await drawn(s.page);
  assert.equal(d.about, evil);
  assert.deepEqual(d.rows.filter(([k]) => ['Type', 'Program', 'Account', 'Last exit'].includes(k)).map(([, v]) => v),
    [evil, evil, evil, evil]);
  assert.deepEqual(d.rows.find(([k]) => k === 'Start'), ['Start', evil]);
  assert.deepEqual(d.rows.find(([k]) => k === 'Recovery'), ['Recovery', `${evil} after 1 s; reset after 1 s`]);
  assert.deepEqual(d.buttons, [...names, ...names]);
  assert.equal(await s.page.$$eval('#dDetails img, #dDetails b, #dDetails [onclick]', es => es.length), 0);
  assert.equal(await s.page.title(), 'services');
  await s.page.click(`#dDetails button[data-n="x' onclick='1"]`);
  await detailsDrawn(s.page, `x' onclick='1`);
  await s.finish();
});

test('before a stop or restart the confirmation names the running dependents', { skip }, async () => {
  let release;
  const gate = new Promise(r => { release = r; });
  const dialogs = [];
  const s = await drawerPage({ details: async () => { await gate; return detailsDoc('Spooler', FULL); } });
  s.page.on('dialog', d => { dialogs.push(d.message()); return d.dismiss(); });
  await s.page.click('#rows tr[data-n="Spooler"]');
  await s.page.click('#opStop');
  release();
  await detailsDrawn(s.page, 'Spooler');
  for (const button of ['#opStop', '#opRestart', '#opStart']) await s.page.click(button);
  const plain = op => `${op} Spooler?\n\nThis runs ${op} on the node's service manager.`;
  assert.deepEqual(dialogs, [
    plain('stop'),
    plain('stop') + '\n\nAlso running and depending on it: Fax, Paused.',
    plain('restart') + '\n\nAlso running and depending on it: Fax, Paused.',
    plain('start'),
  ]);
  await s.finish();
});

test('layout: both themes and the narrow width; a long drawer scrolls and nothing overflows sideways', { skip }, async () => {
  const many = Array.from({ length: 60 }, (_, i) => `DependencyNumber${i}`);
  const long = 'C:\\' + 'VeryLongFolderName'.repeat(20) + '\\service.exe';
  for (const theme of ['light', 'dark']) {
    for (const width of [1280, 560]) {
      const s = await drawerPage({
        path: '/plugin_services?theme=' + theme,
        context: { viewport: { width, height: 700 }, reducedMotion: 'reduce' },
        details: detailsDoc('Spooler', { ...FULL, description: 'Words of a description. '.repeat(30), binary_path: long, dependencies: many }),
      });
      await s.page.click('#rows tr[data-n="Spooler"]');
      await detailsDrawn(s.page, 'Spooler');
      const box = await s.page.evaluate(() => {
        const body = document.querySelector('.dbody');
        const drawer = document.getElementById('drawer');
        const link = document.querySelector('#dDetails .link');
        const before = body.scrollTop;
        body.scrollTop = body.scrollHeight;
        return {
          tall: body.scrollHeight > body.clientHeight,
          scrolled: body.scrollTop > before,
          sideways: body.scrollWidth - body.clientWidth,
          drawerWidth: Math.round(drawer.getBoundingClientRect().width),
          drawerBottom: Math.round(drawer.getBoundingClientRect().bottom),
          linkLine: getComputedStyle(link).textDecorationLine,
          ctlVisible: document.getElementById('dCtl').getBoundingClientRect().bottom <= innerHeight,
        };
      });
      const what = `${theme} ${width}`;
      assert.ok(box.tall && box.scrolled, `${what}: the drawer body scrolls`);
      assert.equal(box.sideways, 0, `${what}: nothing overflows sideways`);
      assert.equal(box.drawerWidth, width > 600 ? 430 : width, what);
      assert.equal(box.drawerBottom, 700, `${what}: the drawer ends at the window's bottom`);
      assert.ok(box.ctlVisible, `${what}: the control row is reached by scrolling`);
      assert.equal(box.linkLine, 'underline', `${what}: a name that opens its service is underlined`);
      await s.finish();
    }
  }
});
