// The page script against canned list documents: call addresses and the
// password, state classes, cell formatting, chips, search, sorts, escaping,
// the drawer and the start-up failures.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import {
  DASH, ORIGIN, RECORD_CALLS, haveBrowser, launch, openPage, loaded, listDoc, svc, tableTexts, rowNames,
} from './lib/harness.mjs';

const skip = !haveBrowser() && 'chromium or the program missing';
let browser;
before(async () => { if (!skip) browser = await launch(); });
after(async () => { if (browser) await browser.close(); });

const RESOURCE_ERROR = /^Failed to load resource/;

// In the server's order: failed first, running next, then by name.
const FIX = [
  svc('Zeta', { active: 'failed', sub: 'failed', failed: true, description: 'Broken one' }),
  svc('Spooler', { active: 'running', sub: '4', enabled: 'automatic', pid: 1234, memory_bytes: 1536, description: 'Print Spooler' }),
  svc('Sub', { active: '', sub: 'running', enabled: '' }),
  svc('alpha', { active: 'running', sub: '4', pid: 88, description: 'Alpha service', since: '' }),
  svc('Odd', { active: 'unknown', sub: '6' }),
  svc('Paused1', { active: 'paused', sub: '7', description: 'Paused service' }),
  svc('beta', { active: 'inactive', sub: '1', description: 'Beta thing' }),
];

async function withList(services, opts, fn) {
  const s = await openPage(browser, { list: listDoc(services, opts), ...opts });
  await loaded(s.page);
  await fn(s.page, s);
  await s.finish();
}

test('list call: direct route, node, id and password in address and header', { skip }, async () => {
  const cases = [
    { query: '', storage: {}, path: '/plugin_services?action=list&filter=all', pwd: undefined },
    { query: '?node=alpha&id=7&pwd=s3cr%20t+x', storage: {}, path: '/plugin_services?action=list&filter=all&node=alpha&id=7&pwd=s3cr%20t%20x', pwd: 's3cr t x' },
    { query: '?node=a%20b%26c', storage: {}, path: '/plugin_services?action=list&filter=all&node=a%20b%26c', pwd: undefined },
    { query: '?node=alpha', storage: { bot_pwd_alpha: 'pa', bot_active_pwd: 'act' }, path: '/plugin_services?action=list&filter=all&node=alpha&pwd=pa', pwd: 'pa' },
    { query: '?node=alpha', storage: { bot_pwd_alpha: '', bot_active_pwd: 'act' }, path: '/plugin_services?action=list&filter=all&node=alpha&pwd=act', pwd: 'act' },
    { query: '?node=alpha&pwd=', storage: { bot_active_pwd: 'a&b' }, path: '/plugin_services?action=list&filter=all&node=alpha&pwd=a%26b', pwd: 'a&b' },
    { query: '', storage: { bot_pwd_alpha: 'pa', bot_pwd_: 'none', bot_active_pwd: 'act' }, path: '/plugin_services?action=list&filter=all&pwd=act', pwd: 'act' },
    { query: '?id=x1', storage: { bot_pwd_alpha: 'pa' }, path: '/plugin_services?action=list&filter=all&id=x1', pwd: undefined },
  ];
  for (const c of cases) {
    const s = await openPage(browser, { path: '/plugin_services' + c.query, storage: c.storage });
    await loaded(s.page);
    const what = JSON.stringify(c);
    assert.equal(s.calls.length, 1, what);
    assert.equal(s.calls[0].path, c.path, what);
    assert.equal(s.calls[0].method, 'GET', what);
    assert.equal(s.calls[0].headers['x-bot-password'], c.pwd, what);
    await s.finish();
  }
});

test('hub route: /plugins?plugin=HUB?action=..., two question marks', { skip }, async () => {
  const cases = [
    ['?plugin=services&node=n1&pwd=pw', '/plugins?plugin=services?action=list&filter=all&node=n1&pwd=pw'],
    ['?plugin=svc%2Fx%20y', '/plugins?plugin=svc%2Fx%20y?action=list&filter=all'],
  ];
  for (const [query, path] of cases) {
    const s = await openPage(browser, { path: '/plugin_services' + query });
    await loaded(s.page);
    assert.equal(s.calls[0].path, path);
    assert.equal(s.calls[0].path.split('?').length - 1, 2);
    await s.finish();
  }
});

test('state classes, labels and cells; server order kept by default', { skip }, async () => {
  const extra = [
    svc('both', { active: 'running', failed: true }),
    svc('truthy', { active: 'inactive', failed: 1 }),
    svc('act', { active: 'active' }),
    svc('start', { active: 'starting' }),
    svc('stop', { active: 'stopping' }),
    svc('empty', { active: '', enabled: undefined, since: undefined, pid: -1 }),
    svc('Caps', { active: 'Running' }),
  ];
  await withList([...FIX, ...extra], {}, async page => {
    const rows = await page.$$eval('#rows tr', trs => trs.map(tr => ({
      n: tr.getAttribute('data-n'),
      cls: tr.className,
      tag: tr.cells[1].firstElementChild.className,
      dot: tr.cells[1].querySelector('.dot').className,
      label: tr.cells[1].textContent,
      cells: Array.from(tr.cells).slice(2).map(c => [c.className, c.textContent]),
      desc: tr.cells[0].querySelector('.desc') ? tr.cells[0].querySelector('.desc').textContent : null,
    })));
    const byName = Object.fromEntries(rows.map(r => [r.n, r]));
    assert.deepEqual(rows.map(r => r.n), [...FIX, ...extra].map(s => s.name));
    const expect = {
      Zeta: ['fail', 'failed'], Spooler: ['run', 'running'], Sub: ['run', 'running'], alpha: ['run', 'running'],
      Odd: ['off', 'unknown'], Paused1: ['warn', 'paused'], beta: ['off', 'inactive'], both: ['fail', 'failed'],
      truthy: ['fail', 'failed'], act: ['run', 'running'], start: ['warn', 'starting'], stop: ['warn', 'stopping'],
      empty: ['off', 'inactive'], Caps: ['off', 'Running'],
    };
    for (const [name, [cls, label]] of Object.entries(expect)) {
      assert.equal(byName[name].tag, 'tag t-' + cls, name);
      assert.equal(byName[name].dot, 'dot d-' + cls, name);
      assert.equal(byName[name].label, label, name);
      assert.equal(byName[name].cls, 'row', name);
    }
    assert.deepEqual(byName.Spooler.cells, [['mo h-opt', 'automatic'], ['mo h-opt', '1234'], ['mo h-opt', '1.5 KiB'], ['mo h-since', '-']]);
    assert.deepEqual(byName.Sub.cells, [['mo h-opt', '-'], ['mo h-opt', DASH], ['mo h-opt', DASH], ['mo h-since', '-']]);
    assert.deepEqual(byName.alpha.cells.map(c => c[1]), ['manual', '88', DASH, DASH]);
    assert.deepEqual(byName.empty.cells.map(c => c[1]), ['-', DASH, DASH, DASH]);
    assert.equal(byName.Spooler.desc, 'Print Spooler');
    assert.equal(byName.Sub.desc, null);
    const colour = await page.$eval('#rows tr[data-n="Paused1"] .tag', e => getComputedStyle(e).color);
    assert.equal(colour, 'rgb(255, 159, 10)');
  });
});

test('memory sizes in binary units', { skip }, async () => {
  const table = [
    [null, DASH], [0, DASH], [1, '1 B'], [1023, '1023 B'], [1024, '1 KiB'], [1536, '1.5 KiB'],
    [1126, '1.1 KiB'], [1075, '1 KiB'], [102400, '100 KiB'], [102349, '100 KiB'], [104806, '102 KiB'],
    [1048575, '1024 KiB'], [1048576, '1 MiB'], [2415919104, '2.3 GiB'], [1024 ** 4, '1 TiB'],
    [1024 ** 5, '1024 TiB'], [5 * 1024 ** 5, '5120 TiB'],
  ];
  const services = table.map(([m], i) => svc('m' + String(i).padStart(2, '0'), { memory_bytes: m }));
  delete services[0].memory_bytes;
  await withList(services, {}, async page => {
    const shown = (await tableTexts(page)).map(r => r[4]);
    assert.deepEqual(shown, table.map(([, text]) => text));
    await page.click('#rows tr[data-n="m05"]');
    assert.equal(await page.textContent('#dMem'), '1.5 KiB');
  });
});

test('chips: server counts, filters by page class, one selection ring', { skip }, async () => {
  // Counts no count of the rows gives: the chips show the server's numbers.
  await withList(FIX, { summary: { running: 12, failed: 5, inactive: 30 } }, async page => {
    const chips = () => page.$$eval('.chips .chip', cs => cs.map(c => c.className));
    const values = await page.$$eval('.chips .v', vs => vs.map(v => v.textContent));
    assert.deepEqual(values, ['7', '12', '5', '30']);
    assert.deepEqual(await chips(), ['chip sel', 'chip ok', 'chip bad', 'chip none']);
    const cases = [
      ['#cRun', ['Spooler', 'Sub', 'alpha'], ['chip', 'chip sel ok', 'chip bad', 'chip none']],
      ['#cFail', ['Zeta'], ['chip', 'chip ok', 'chip sel bad', 'chip none']],
      ['#cOff', ['Odd', 'beta'], ['chip', 'chip ok', 'chip bad', 'chip sel none']],
      ['#cAll', FIX.map(s => s.name), ['chip sel', 'chip ok', 'chip bad', 'chip none']],
    ];
    for (const [chip, names, classes] of cases) {
      await page.click(chip);
      assert.deepEqual(await rowNames(page), names, chip);
      assert.deepEqual(await chips(), classes, chip);
    }
    const ring = await page.$eval('#cAll', e => getComputedStyle(e).boxShadow);
    assert.match(ring, /inset/);
  });
});

test('search and the three sorts', { skip }, async () => {
  await withList(FIX, {}, async page => {
    const searches = [
      ['SPOOL', ['Spooler']],
      ['print', ['Spooler']],
      ['service', ['alpha', 'Paused1']],
      ['alpha ', ['alpha']],
      ['beta ', ['beta']],
      ['sub ', ['Sub']],
      ['zz', []],
    ];
    for (const [q, names] of searches) {
      await page.fill('#q', q);
      assert.deepEqual(await rowNames(page), names, JSON.stringify(q));
      assert.equal(await page.locator('#empty').isVisible(), names.length === 0, q);
    }
    assert.equal(await page.textContent('#empty'), 'No services matched this filter.');
    await page.fill('#q', '');
    const sorts = [
      ['name', ['Odd', 'Paused1', 'Spooler', 'Sub', 'Zeta', 'alpha', 'beta']],
      ['state', ['Zeta', 'Odd', 'beta', 'Spooler', 'Sub', 'alpha', 'Paused1']],
      ['failed', FIX.map(s => s.name)],
    ];
    for (const [value, names] of sorts) {
      await page.selectOption('#sort', value);
      assert.deepEqual(await rowNames(page), names, value);
    }
    await page.selectOption('#sort', 'name');
    await page.click('#cRun');
    await page.fill('#q', 'p');
    assert.deepEqual(await rowNames(page), ['Spooler', 'alpha']);
  });
});

// Texts with markup, quotes, apostrophes and entities for every field the
// page prints; each must come out as the same text and build no element.
const HOSTILE = {
  name: `<img src=x onerror="document.title='pwned'">&amp;'"`,
  description: `<b>bold</b> & "q" 'a' <script>`,
  active: `<u>up</u> 'n' "ok" &amp;`,
  sub: `<u>4</u>'`,
  enabled: `<i>'auto'</i>`,
  since: `&lt;'2024'&gt;`,
  init: `<u>scm</u>'&amp;`,
  summary: { running: `<u>1</u>'`, failed: '&amp;', inactive: `"'<` },
  loadError: `<img src=x onerror="document.title='pwned'">'&amp;`,
  controlError: `<u>no</u> 'way' &amp;`,
};
// The same texts as the page's markup must hold them: & < > " and ' escaped.
const ESCAPED = {
  name: '&lt;img src=x onerror=&quot;document.title=&#39;pwned&#39;&quot;&gt;&amp;amp;&#39;&quot;',
  description: '&lt;b&gt;bold&lt;/b&gt; &amp; &quot;q&quot; &#39;a&#39; &lt;script&gt;',
  active: '&lt;u&gt;up&lt;/u&gt; &#39;n&#39; &quot;ok&quot; &amp;amp;',
  enabled: '&lt;i&gt;&#39;auto&#39;&lt;/i&gt;',
  since: '&amp;lt;&#39;2024&#39;&amp;gt;',
};
// Keeps every markup text the page assigns, in window.markupSeen.
const RECORD_MARKUP = `(() => {
  const inner = Object.getOwnPropertyDescriptor(Element.prototype, 'innerHTML');
  const seen = [];
  Object.defineProperty(window, 'markupSeen', { value: seen });
  Object.defineProperty(Element.prototype, 'innerHTML', {
    configurable: true, get: inner.get, set(v) { seen.push(String(v)); inner.set.call(this, v); },
  });
})();`;

// Elements the hostile texts would build if they were taken as markup.
function injected(page) {
  return page.evaluate(() => document.querySelectorAll('img,b,i,u,marquee').length + ' ' + document.title);
}

test('hostile texts in every printed field are shown literally, escaped in the markup', { skip }, async () => {
  const h = HOSTILE;
  const hostile = svc(h.name, { description: h.description, active: h.active, sub: h.sub, enabled: h.enabled, since: h.since });
  let controls = 0;
  const s = await openPage(browser, {
    list: listDoc([hostile, svc('plain')], { control: true, init: h.init, summary: h.summary }),
    control: () => (controls++ === 0 ? { ok: true } : { status: 500, body: { ok: false, error: h.controlError } }),
    initScripts: [RECORD_MARKUP],
    allow: [RESOURCE_ERROR],
  });
  const dialogs = [];
  s.page.on('dialog', d => { dialogs.push(d.message()); return d.accept(); });
  await loaded(s.page);
  const row = await s.page.$eval('#rows tr', tr => ({
    n: tr.getAttribute('data-n'),
    name: tr.querySelector('.name').textContent,
    title: tr.querySelector('.name').title,
    desc: tr.querySelector('.desc').textContent,
    descTitle: tr.querySelector('.desc').title,
    state: tr.cells[1].textContent,
    enabled: tr.cells[2].textContent,
    since: tr.cells[5].textContent,
  }));
  assert.deepEqual(row, {
    n: h.name, name: h.name, title: h.name, desc: h.description, descTitle: h.description,
    state: h.active, enabled: h.enabled, since: h.since,
  });
  assert.equal(await s.page.textContent('#initPill'), `init: ${h.init} \u00b7 control on`);
  assert.deepEqual(await s.page.$$eval('.chips .v', vs => vs.map(v => v.textContent)),
    ['2', h.summary.running, h.summary.failed, h.summary.inactive]);

  // The row markup: every text escaped, so no apostrophe is left bare.
  const markup = (await s.page.evaluate(() => window.markupSeen)).join('');
  for (const [field, text] of Object.entries(ESCAPED)) assert.ok(markup.includes(text), `${field} escaped as ${text}`);
  assert.equal(markup.includes("'"), false, 'an apostrophe left bare in the markup');

  await s.page.click('#rows tr >> nth=0');
  assert.equal(await s.page.getAttribute('#rows tr >> nth=0', 'class'), 'row sel');
  const drawer = await s.page.$$eval('#dName,#dDesc,#dState,#dSub,#dEnabled,#dSince', es => es.map(e => e.textContent));
  assert.deepEqual(drawer, [h.name, h.description, h.active, h.sub, h.enabled, h.since]);

  await s.page.click('#opStop');
  await s.page.waitForFunction(() => document.getElementById('dOut').className === 'out ok');
  assert.equal(await s.page.textContent('#dOut'), `stop requested for ${h.name}.`);
  await s.page.click('#opStart');
  await s.page.waitForFunction(() => document.getElementById('dOut').className === 'out err');
  assert.equal(await s.page.textContent('#dOut'), h.controlError);
  assert.deepEqual(dialogs, ['stop', 'start'].map(op => `${op} ${h.name}?\n\nThis runs ${op} on the node's service manager.`));
  assert.equal(await injected(s.page), '0 services');
  await s.finish();

  const failed = await openPage(browser, { list: { status: 500, body: { ok: false, error: h.loadError } }, allow: [RESOURCE_ERROR] });
  await failed.page.waitForFunction(() => document.getElementById('empty').textContent.startsWith('Could not'));
  assert.equal(await failed.page.textContent('#empty'), `Could not load services: ${h.loadError}`);
  assert.equal(await injected(failed.page), '0 services');
  await failed.finish();
});

test('drawer: opens from a row, closes by button, Escape and scrim', { skip }, async () => {
  await withList(FIX, {}, async page => {
    const state = () => page.evaluate(() => ({
      drawer: document.getElementById('drawer').className,
      hidden: document.getElementById('drawer').getAttribute('aria-hidden'),
      scrim: document.getElementById('scrim').className,
      sel: Array.from(document.querySelectorAll('#rows tr.sel'), r => r.getAttribute('data-n')),
    }));
    const closed = { drawer: 'drawer', hidden: 'true', scrim: 'scrim', sel: [] };
    const openedOn = n => ({ drawer: 'drawer open', hidden: 'false', scrim: 'scrim open', sel: [n] });
    const closers = [
      ['button', () => page.click('#dClose')],
      ['Escape', () => page.keyboard.press('Escape')],
      ['scrim', () => page.mouse.click(40, 400)],
    ];
    for (const [how, closeIt] of closers) {
      await page.click('#rows tr[data-n="Spooler"]');
      assert.deepEqual(await state(), openedOn('Spooler'), how);
      await closeIt();
      assert.deepEqual(await state(), closed, how);
    }
    await page.keyboard.press('Escape');
    assert.deepEqual(await state(), closed);

    await page.click('#rows tr[data-n="Spooler"]');
    const texts = await page.$$eval('#dName,#dDesc,#dState,#dSub,#dEnabled,#dPid,#dMem,#dSince', es => es.map(e => e.textContent));
    assert.deepEqual(texts, ['Spooler', 'Print Spooler', 'running', '4', 'automatic', '1234', '1.5 KiB', '-']);
    assert.equal(await page.getAttribute('#dCtl', 'class'), 'ctl hide');
    assert.equal(await page.getAttribute('#dNote', 'class'), 'note');
    assert.equal(await page.textContent('#dNote'),
      "Read-only: set SERVICES_ALLOW_CONTROL=1 in this node's plugin environment to enable start, stop and restart.");
    assert.equal(await page.getAttribute('#dOut', 'class'), 'out hide');
    await page.keyboard.press('Escape');
    await page.click('#rows tr[data-n="Sub"]');
    const sub = await page.$$eval('#dName,#dDesc,#dState,#dSub,#dEnabled,#dPid,#dMem,#dSince', es => es.map(e => e.textContent));
    assert.deepEqual(sub, ['Sub', '', 'running', 'running', '-', DASH, DASH, '-']);
  });
});

test('with control on: pill, control row and note', { skip }, async () => {
  await withList(FIX, { control: true }, async page => {
    assert.equal(await page.textContent('#initPill'), 'init: windows-scm \u00b7 control on');
    await page.click('#rows tr[data-n="beta"]');
    assert.equal(await page.getAttribute('#dCtl', 'class'), 'ctl');
    assert.deepEqual(await page.$$eval('#dCtl button', bs => bs.map(b => [b.id, b.className, b.textContent])),
      [['opStart', 'btn', 'Start'], ['opRestart', 'btn warn', 'Restart'], ['opStop', 'btn bad', 'Stop']]);
    assert.equal(await page.textContent('#dNote'),
      'Control is enabled on this node (SERVICES_ALLOW_CONTROL=1). Every action is sent as a separate argv element, never through a shell.');
  });
});

test('refresh reloads and keeps the selection; a failed refresh keeps the data', { skip }, async () => {
  let n = 0;
  const list = () => {
    n++;
    if (n === 1) return listDoc(FIX);
    if (n === 2) return listDoc([...FIX, svc('new1')], { init: '' });
    return { abort: 'failed' };
  };
  const s = await openPage(browser, { list, allow: [RESOURCE_ERROR], initScripts: [RECORD_CALLS] });
  await loaded(s.page);
  await s.page.click('#rows tr[data-n="alpha"]');
  await s.page.keyboard.press('Escape');
  await s.page.click('#rows tr[data-n="alpha"]');
  await s.page.evaluate(() => document.getElementById('btnRefresh').click());
  await s.page.waitForFunction(() => document.getElementById('vAll').textContent === '8');
  assert.equal(await s.page.textContent('#initPill'), 'init: unknown \u00b7 read-only');
  assert.deepEqual(await s.page.$$eval('#rows tr.sel', rs => rs.map(r => r.getAttribute('data-n'))), ['alpha']);
  await s.page.evaluate(() => document.getElementById('btnRefresh').click());
  // Once the third list call and every other call (the drawer's details)
  // have settled, the page's handling of them has run too.
  await s.page.waitForFunction(() => {
    const c = window.pageCalls;
    return c.started.filter(u => u.includes('?action=list&')).length === 3 && c.settled === c.started.length;
  });
  assert.equal(n, 3);
  assert.equal((await rowNames(s.page)).length, 8);
  assert.equal(await s.page.getAttribute('#empty', 'class'), 'empty hide');
  await s.finish();
});

test('start-up: failures shown in the empty-state box, empty lists', { skip }, async () => {
  const failures = [
    [{ status: 401, body: '{"ok":false,"error":"invalid node password"}\n' }, 'Could not load services: invalid node password'],
    [{ status: 500, body: { ok: false } }, 'Could not load services: load failed'],
    [{ ok: 'yes', services: [svc('x')] }, 'Could not load services: load failed'],
    [{ abort: 'failed' }, 'Could not load services: Failed to fetch'],
    [{ body: '<html>oops' }, /^Could not load services: .*JSON/],
  ];
  for (const [list, text] of failures) {
    const s = await openPage(browser, { list, allow: [RESOURCE_ERROR] });
    await s.page.waitForFunction(() => document.getElementById('empty').textContent.startsWith('Could not'));
    const shown = await s.page.textContent('#empty');
    if (text instanceof RegExp) assert.match(shown, text);
    else assert.equal(shown, text);
    assert.equal(await s.page.getAttribute('#empty', 'class'), 'empty');
    assert.equal(await s.page.textContent('#initPill'), 'init: ' + DASH);
    assert.equal(await s.page.textContent('#vAll'), DASH);
    await s.page.click('#cRun');
    assert.equal(await s.page.textContent('#empty'), shown, 'drawing keeps the failure text');
    await s.finish();
  }
  const empties = [
    [listDoc([]), 'init: windows-scm \u00b7 read-only', ['0', '0', '0', '0'], []],
    [{ ok: true }, 'init: unknown \u00b7 read-only', ['0', '0', '0', '0'], []],
    [{ ok: true, control_enabled: 1, init_system: 'windows-scm', services: [svc('a')], summary: { running: 3 } },
      'init: windows-scm \u00b7 control on', ['1', '3', '0', '0'], ['a']],
  ];
  for (const [list, pill, values, names] of empties) {
    const s = await openPage(browser, { list });
    await loaded(s.page);
    assert.equal(await s.page.textContent('#initPill'), pill);
    assert.deepEqual(await s.page.$$eval('.chips .v', vs => vs.map(v => v.textContent)), values);
    assert.deepEqual(await rowNames(s.page), names);
    assert.equal(await s.page.locator('#empty').isVisible(), names.length === 0);
    assert.equal(await s.page.textContent('#empty'), 'No services matched this filter.');
    await s.finish();
  }
});

test('the scripts leave no global name but the bridge functions', { skip }, async () => {
  const s = await openPage(browser, { path: null, list: listDoc(FIX) });
  await s.page.goto(ORIGIN + '/blank');
  const base = await s.page.evaluate(() => Object.getOwnPropertyNames(window));
  await s.page.goto(ORIGIN + '/plugin_services');
  await loaded(s.page);
  const now = await s.page.evaluate(() => Object.getOwnPropertyNames(window));
  assert.deepEqual(now.filter(k => !base.includes(k)).sort(), ['zqApplyTheme', 'zqTheme']);
  await s.finish();
});

test('the harness sees a security-policy violation', { skip }, async () => {
  const s = await openPage(browser, { list: listDoc(FIX) });
  await loaded(s.page);
  const reported = s.page.waitForEvent('console', m => m.text().startsWith('securitypolicyviolation'));
  await s.page.evaluate(() => {
    const img = document.createElement('img');
    img.src = 'http://elsewhere.test/x.png';
    document.body.appendChild(img);
  });
  await reported;
  await assert.rejects(s.finish(), /securitypolicyviolation img-src/);
});
