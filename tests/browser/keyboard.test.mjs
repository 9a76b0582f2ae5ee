// The page driven with the keyboard alone: the focus order, the table as one
// tab stop with arrow keys, the drawer as a modal dialog (Tab kept inside,
// Escape, focus back to the row), its buttons, and a visible focus ring.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { haveBrowser, launch, openPage, loaded, listDoc, svc } from './lib/harness.mjs';

const skip = !haveBrowser() && 'chromium or the program missing';
let browser;
before(async () => { if (!skip) browser = await launch(); });
after(async () => { if (browser) await browser.close(); });

const SERVICES = [
  svc('Zeta', { active: 'failed', sub: 'failed', failed: true }),
  svc('Spooler', { active: 'running', sub: '4', pid: 1234, description: 'Print Spooler' }),
  svc('alpha', { active: 'running', sub: '4', pid: 88 }),
  svc('beta', { active: 'inactive', sub: '1' }),
];
const HEADER = ['cAll', 'cRun', 'cFail', 'cOff', 'q', 'sort', 'btnRefresh', 'btnTheme'];

// The focused element: its id, "row NAME" for a table row, else its tag.
function focused(page) {
  return page.evaluate(() => {
    const el = document.activeElement;
    if (!el) return 'none';
    if (el.classList.contains('row')) return 'row ' + el.getAttribute('data-n');
    return el.id || el.tagName.toLowerCase();
  });
}

// Presses a key n times and returns where focus was after each press.
async function walk(page, key, n) {
  const seen = [];
  for (let i = 0; i < n; i++) {
    await page.keyboard.press(key);
    seen.push(await focused(page));
  }
  return seen;
}

// Moves focus to the named row with the keyboard: into the table, then down.
async function toRow(page, name) {
  await page.focus('#rows tr[tabindex="0"]');
  await page.keyboard.press('Home');
  while (await focused(page) !== 'row ' + name) await page.keyboard.press('ArrowDown');
}

function drawerState(page) {
  return page.evaluate(() => [document.getElementById('drawer').className, document.getElementById('dName').textContent]);
}

test('focus order: chips, search, sort, Refresh, theme, then the table, and back', { skip }, async () => {
  const cases = [
    ['', listDoc(SERVICES), [...HEADER, 'row Zeta']],
    ['?embed=1', listDoc(SERVICES), ['cAll', 'cRun', 'cFail', 'cOff', 'q', 'sort', 'row Zeta']],
    ['', listDoc([]), [...HEADER, 'table']],
  ];
  for (const [query, list, order] of cases) {
    const s = await openPage(browser, { path: '/plugin_services' + query, list });
    await loaded(s.page);
    const what = query + ' ' + list.services.length;
    assert.deepEqual(await walk(s.page, 'Tab', order.length), order, what);
    await s.page.keyboard.press('Tab');
    assert.equal(await focused(s.page), 'body', 'the table is the last stop: ' + what);
    assert.deepEqual(await walk(s.page, 'Shift+Tab', order.length), [...order].reverse(), what);
    await s.finish();
  }
});

test('rows: one tab stop that arrow keys, Home and End move; Enter and Space open', { skip }, async () => {
  const s = await openPage(browser, { list: listDoc(SERVICES) });
  const page = s.page;
  await loaded(page);
  const stops = () => page.$$eval('#rows tr[tabindex="0"]', rs => rs.map(r => r.getAttribute('data-n')));
  assert.deepEqual(await stops(), ['Zeta']);
  await page.focus('#btnTheme');
  await page.keyboard.press('Tab');
  assert.deepEqual(await walk(page, 'ArrowDown', 4), ['row Spooler', 'row alpha', 'row beta', 'row beta']);
  assert.deepEqual(await walk(page, 'ArrowUp', 1), ['row alpha']);
  assert.deepEqual(await stops(), ['alpha']);
  assert.deepEqual(await walk(page, 'Shift+Tab', 1), ['btnTheme']);
  assert.deepEqual(await walk(page, 'Tab', 1), ['row alpha'], 'the table keeps its row');
  assert.deepEqual(await walk(page, 'Home', 1), ['row Zeta']);
  assert.deepEqual(await walk(page, 'ArrowUp', 1), ['row Zeta']);
  assert.deepEqual(await walk(page, 'End', 1), ['row beta']);
  assert.deepEqual(await page.evaluate(() => scrollY), 0, 'the keys do not scroll the page');

  await page.keyboard.press('Enter');
  assert.deepEqual(await drawerState(page), ['drawer open', 'beta']);
  assert.equal(await focused(page), 'drawer');
  await page.keyboard.press('Escape');
  assert.deepEqual(await drawerState(page), ['drawer', 'beta']);
  assert.equal(await focused(page), 'row beta');

  await page.keyboard.press('Home');
  await page.keyboard.press('Space');
  assert.deepEqual(await drawerState(page), ['drawer open', 'Zeta'], 'Space opens, and its release closes nothing');
  await page.keyboard.press('Escape');

  // A filter that hides the stop's row hands the stop to the first row drawn.
  await page.click('#cRun');
  assert.deepEqual(await stops(), ['Spooler']);
  await s.finish();
});

test('the open drawer keeps Tab inside; Escape and Close return focus to the row', { skip }, async () => {
  const cases = [
    [true, ['dClose', 'opStart', 'opRestart', 'opStop', 'dClose', 'opStart'], ['dClose', 'opStop', 'opRestart', 'opStart', 'dClose']],
    [false, ['dClose', 'dClose'], ['dClose', 'dClose']],
  ];
  for (const [control, ring, back] of cases) {
    const s = await openPage(browser, { list: listDoc(SERVICES, { control }) });
    const page = s.page;
    await loaded(page);
    await toRow(page, 'Spooler');
    await page.keyboard.press('Enter');
    assert.deepEqual(await walk(page, 'Tab', ring.length), ring, 'control ' + control);
    assert.deepEqual(await walk(page, 'Shift+Tab', back.length), back, 'control ' + control);
    await page.keyboard.press('Escape');
    assert.equal(await focused(page), 'row Spooler');
    await page.keyboard.press('ArrowDown');
    await page.keyboard.press('Enter');
    await page.keyboard.press('Tab');
    assert.equal(await focused(page), 'dClose');
    await page.keyboard.press('Enter');
    assert.deepEqual(await drawerState(page), ['drawer', 'alpha']);
    assert.equal(await focused(page), 'row alpha');
    await s.finish();
  }
});

// Waits until fn() holds, checking every 20 ms, for at most 10 s.
async function until(fn, what) {
  for (const end = Date.now() + 10000; !fn();) {
    if (Date.now() > end) throw new Error('timed out waiting for ' + what);
    await new Promise(r => setTimeout(r, 20));
  }
}

test('drawer buttons from the keyboard, and focus back after the list reloads', { skip }, async () => {
  // The first list answers SERVICES; later ones wait for `release` and then
  // answer `next`, so that a reload lands when the test says.
  let next = SERVICES, lists = 0;
  const waiting = [];
  const release = () => waiting.splice(0).forEach(r => r());
  const s = await openPage(browser, {
    list: async () => {
      if (++lists > 1) await new Promise(r => waiting.push(r));
      return listDoc(next, { control: true });
    },
    control: call => ({ ok: true, unit: 'Spooler', op: new URL(call.url).searchParams.get('op') }),
  });
  const page = s.page;
  const dialogs = [];
  page.on('dialog', d => { dialogs.push(d.message().split('?')[0]); return d.accept(); });
  await loaded(page);
  await toRow(page, 'Spooler');
  await page.keyboard.press('Enter');
  for (const [button, key, op] of [['opStart', 'Enter', 'start'], ['opRestart', 'Space', 'restart'], ['opStop', 'Enter', 'stop']]) {
    while (await focused(page) !== button) await page.keyboard.press('Tab');
    await page.keyboard.press(key);
    await page.waitForFunction(t => document.getElementById('dOut').textContent === t, `${op} requested for Spooler.`);
  }
  assert.deepEqual(dialogs, ['start Spooler', 'restart Spooler', 'stop Spooler']);
  assert.deepEqual(s.calls.filter(c => c.action === 'control').map(c => new URL(c.url).searchParams.get('op')), ['start', 'restart', 'stop']);

  // Closed before the reloads land: the row keeps focus across the redraw,
  // which puts a new element in its place.
  await page.evaluate(() => { document.querySelector('#rows tr[data-n="Spooler"]').dataset.old = '1'; });
  await page.keyboard.press('Escape');
  assert.equal(await page.evaluate(() => document.activeElement.dataset.old), '1');
  await until(() => lists === 4, 'three reloads');
  release();
  await page.waitForFunction(() => !document.querySelector('#rows tr[data-old]'));
  assert.equal(await focused(page), 'row Spooler');

  // Closed after a reload that dropped its service: focus goes to the table,
  // whose first row is its stop.
  await page.keyboard.press('Enter');
  next = SERVICES.filter(x => x.name !== 'Spooler');
  assert.deepEqual(await walk(page, 'Tab', 2), ['dClose', 'opStart']);
  await page.keyboard.press('Enter');
  await until(() => lists === 5, 'the reload');
  release();
  await page.waitForFunction(() => !document.querySelector('#rows tr[data-n="Spooler"]'));
  assert.equal(await focused(page), 'opStart', 'a reload leaves focus in the drawer');
  await page.keyboard.press('Escape');
  assert.equal(await focused(page), 'row Zeta');
  await s.finish();
});

test('focus is visible in both themes: a 2px ring in the accent colour', { skip }, async () => {
  const BLUE = { dark: 'rgb(10, 132, 255)', light: 'rgb(0, 122, 255)' };
  for (const theme of ['dark', 'light']) {
    const s = await openPage(browser, { path: '/plugin_services?theme=' + theme, list: listDoc(SERVICES, { control: true }) });
    const page = s.page;
    await loaded(page);
    const ring = () => page.evaluate(() => {
      const st = getComputedStyle(document.activeElement);
      return [st.outlineStyle, st.outlineWidth, st.outlineColor];
    });
    const seen = [];
    for (let i = 0; i < HEADER.length + 1; i++) {
      await page.keyboard.press('Tab');
      seen.push([await focused(page), ...(await ring())]);
    }
    await page.keyboard.press('Enter');
    seen.push([await focused(page), ...(await ring())]);
    for (let i = 0; i < 4; i++) {
      await page.keyboard.press('Tab');
      seen.push([await focused(page), ...(await ring())]);
    }
    const order = [...HEADER, 'row Zeta', 'drawer', 'dClose', 'opStart', 'opRestart', 'opStop'];
    assert.deepEqual(seen, order.map(id => [id, 'solid', '2px', BLUE[theme]]), theme);

    // With the mouse, focus still moves in and back, but draws no ring.
    await page.keyboard.press('Escape');
    const ringShown = () => page.evaluate(() => [document.activeElement.id || document.activeElement.tagName, document.activeElement.matches(':focus-visible')]);
    await page.click('#rows tr[data-n="alpha"]');
    assert.deepEqual(await ringShown(), ['drawer', false]);
    await page.mouse.click(40, 400);
    assert.deepEqual(await ringShown(), ['TR', false]);
    await s.finish();
  }
});
