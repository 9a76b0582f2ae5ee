// Theme pick, embed mode, the theme bridge and the host-frame protocol.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { ORIGIN, haveBrowser, launch, openPage, loaded } from './lib/harness.mjs';

const skip = !haveBrowser() && 'chromium or the program missing';
let browser;
before(async () => { if (!skip) browser = await launch(); });
after(async () => { if (browser) await browser.close(); });

const BG = { dark: 'rgb(0, 0, 0)', light: 'rgb(245, 245, 247)' };

function themeState(page) {
  return page.evaluate(() => ({
    theme: document.documentElement.getAttribute('data-theme'),
    stored: (() => { try { return localStorage.getItem('bot_theme'); } catch (e) { return 'refused'; } })(),
    bg: getComputedStyle(document.body).backgroundColor,
    scheme: getComputedStyle(document.documentElement).colorScheme,
    embedded: document.documentElement.classList.contains('embedded'),
  }));
}

test('theme pick: address, then storage, then the browser preference', { skip }, async () => {
  const cases = [
    { query: '?theme=dark', stored: 'light', scheme: 'light', expect: 'dark' },
    { query: '?a=1&theme=light', stored: 'dark', scheme: 'dark', expect: 'light' },
    { query: '?theme=darkest', stored: 'light', scheme: 'light', expect: 'dark' },
    { query: '?theme=Light', stored: 'dark', scheme: 'light', expect: 'dark' },
    { query: '?theme=Light', scheme: 'light', expect: 'light' },
    { query: '?xtheme=light', stored: 'dark', scheme: 'light', expect: 'dark' },
    { query: '', scheme: 'light', expect: 'light' },
    { query: '', scheme: 'dark', expect: 'dark' },
    { query: '', stored: 'light', scheme: 'dark', expect: 'light' },
    { query: '', stored: 'sepia', scheme: 'light', expect: 'light' },
  ];
  for (const c of cases) {
    const s = await openPage(browser, {
      path: '/plugin_services' + c.query,
      storage: c.stored ? { bot_theme: c.stored } : {},
      context: { colorScheme: c.scheme },
    });
    const got = await themeState(s.page);
    const what = JSON.stringify(c);
    assert.equal(got.theme, c.expect, what);
    assert.equal(got.stored, c.expect, what);
    assert.equal(got.bg, BG[c.expect], what);
    assert.equal(got.scheme, c.expect, what);
    await s.finish();
  }
});

test('a stored theme outlives a change of the browser preference', { skip }, async () => {
  const s = await openPage(browser, { context: { colorScheme: 'light' } });
  assert.equal((await themeState(s.page)).stored, 'light');
  await s.page.emulateMedia({ colorScheme: 'dark' });
  await s.page.reload();
  assert.equal((await themeState(s.page)).theme, 'light');
  await s.finish();
});

test('embed mode only for embed=1 or embed=true, and it hides the page buttons', { skip }, async () => {
  const cases = [
    ['?embed=1', true], ['?embed=true&node=a', true], ['?node=a&embed=1', true],
    ['?embed=10', false], ['?embed=yes', false], ['?embed=TRUE', false], ['?xembed=1', false], ['', false],
  ];
  for (const [query, on] of cases) {
    const s = await openPage(browser, { path: '/plugin_services' + query });
    await loaded(s.page);
    assert.equal((await themeState(s.page)).embedded, on, query);
    for (const id of ['#btnRefresh', '#btnTheme']) {
      assert.equal(await s.page.locator(id).isVisible(), !on, query + ' ' + id);
    }
    await s.finish();
  }
});

test('refused local storage: a theme all the same, and no error', { skip }, async () => {
  const refuse = `Object.defineProperty(window, 'localStorage', { configurable: true,
    get() { throw new DOMException('denied', 'SecurityError'); } });`;
  for (const [query, scheme, expect] of [['?theme=light', 'dark', 'light'], ['', 'light', 'light'], ['', 'dark', 'dark']]) {
    const s = await openPage(browser, { path: '/plugin_services' + query, initScripts: [refuse], context: { colorScheme: scheme } });
    await loaded(s.page);
    const theme = await s.page.evaluate(() => document.documentElement.getAttribute('data-theme'));
    assert.equal(theme, expect, query + ' ' + scheme);
    await s.page.click('#btnTheme');
    const flipped = await s.page.evaluate(() => document.documentElement.getAttribute('data-theme'));
    assert.equal(flipped, expect === 'dark' ? 'light' : 'dark');
    assert.equal(s.calls.length, 1);
    assert.equal(s.calls[0].headers['x-bot-password'], undefined);
    await s.finish();
  }
});

test('zqApplyTheme and zqTheme: only a real change is applied, stored and announced', { skip }, async () => {
  const s = await openPage(browser, { path: '/plugin_services?theme=dark' });
  const r = await s.page.evaluate(() => {
    const events = [];
    window.addEventListener('bot-theme', e => events.push(e.detail));
    const root = document.documentElement;
    const snap = () => [root.getAttribute('data-theme'), localStorage.getItem('bot_theme'), events.length];
    localStorage.setItem('bot_theme', 'marker');
    const out = {};
    window.zqApplyTheme('dark');
    out.same = snap();
    window.zqApplyTheme('blue');
    window.zqApplyTheme('LIGHT');
    window.zqApplyTheme();
    out.invalid = snap();
    window.zqApplyTheme('light');
    out.changed = snap();
    out.events = events.slice();
    out.themeNow = window.zqTheme();
    root.removeAttribute('data-theme');
    out.missing = window.zqTheme();
    root.setAttribute('data-theme', 'sepia');
    out.other = window.zqTheme();
    return out;
  });
  assert.deepEqual(r.same, ['dark', 'marker', 0]);
  assert.deepEqual(r.invalid, ['dark', 'marker', 0]);
  assert.deepEqual(r.changed, ['light', 'light', 1]);
  assert.deepEqual(r.events, ['light']);
  assert.equal(r.themeNow, 'light');
  assert.equal(r.missing, 'dark');
  assert.equal(r.other, 'dark');
  await s.finish();
});

test('theme button toggles through the bridge; zq-theme messages set the theme', { skip }, async () => {
  const s = await openPage(browser, { path: '/plugin_services?theme=dark' });
  await loaded(s.page);
  await s.page.evaluate(() => {
    window.seen = [];
    window.addEventListener('bot-theme', e => window.seen.push(e.detail));
  });
  await s.page.click('#btnTheme');
  assert.equal((await themeState(s.page)).theme, 'light');
  assert.equal((await themeState(s.page)).bg, BG.light);
  await s.page.click('#btnTheme');
  assert.equal((await themeState(s.page)).stored, 'dark');
  await s.page.evaluate(() => {
    window.postMessage('zq-theme', '*');
    window.postMessage({ type: 'zq-theme', theme: 'purple' }, '*');
    window.postMessage({ type: 'zq-theme', theme: 'light' }, '*');
  });
  await s.page.waitForFunction(() => document.documentElement.getAttribute('data-theme') === 'light');
  assert.deepEqual(await s.page.evaluate(() => window.seen), ['light', 'dark', 'light']);
  await s.finish();
});

test('without the bridge the theme button is hidden', { skip }, async () => {
  const noBridge = `Object.defineProperty(window, 'zqApplyTheme', { get() { return undefined; }, set() {} });`;
  const s = await openPage(browser, { initScripts: [noBridge] });
  await loaded(s.page);
  await s.page.waitForFunction(() => document.getElementById('btnTheme').className === 'icon-btn embed-hide hide');
  assert.equal(await s.page.locator('#btnTheme').isVisible(), false);
  assert.equal(await s.page.locator('#btnRefresh').isVisible(), true);
  await s.finish();
});

test('in a host frame: one zq-theme-request, and the host answer applies', { skip }, async () => {
  const host = 'http://host.test/';
  const hostPage = `<!doctype html><html><body><script>
    window.got = [];
    addEventListener('message', function (e) {
      window.got.push(e.data);
      if (e.data && e.data.type === 'zq-theme-request') e.source.postMessage({ type: 'zq-theme', theme: 'light' }, '*');
    });
  </script><iframe id="f" src="${ORIGIN}/plugin_services?embed=1" width="900" height="600"></iframe></body></html>`;
  const s = await openPage(browser, { path: null, pages: { [host]: hostPage }, context: { colorScheme: 'dark' } });
  await s.page.goto(host);
  const frame = s.page.frameLocator('#f');
  await frame.locator('html[data-theme="light"]').waitFor({ state: 'attached' });
  const inner = s.page.frames().find(f => f.url().startsWith(ORIGIN));
  await loaded(inner);
  assert.deepEqual(await s.page.evaluate(() => window.got), [{ type: 'zq-theme-request' }]);
  // A cross-site frame gets no storage here: the blocks carry on without it.
  const st = await themeState(inner);
  assert.equal(st.embedded, true);
  assert.equal(st.theme, 'light');
  assert.equal(st.bg, BG.light);
  assert.equal(await frame.locator('#btnTheme').isVisible(), false);
  await s.finish();
});

test('a page that is not in a frame asks nobody for a theme', { skip }, async () => {
  const listen = `window.got = []; addEventListener('message', function (e) { window.got.push(e.data); });`;
  const s = await openPage(browser, { initScripts: [listen] });
  await loaded(s.page);
  // Messages arrive in the order they were posted: once a message posted now
  // has arrived, any the page posted while it started would have too.
  await s.page.evaluate(() => window.postMessage('marker', '*'));
  await s.page.waitForFunction(() => window.got.includes('marker'));
  assert.deepEqual(await s.page.evaluate(() => window.got), ['marker']);
  await s.finish();
});
