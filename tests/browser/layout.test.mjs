// The static document before the script runs, and the two width limits.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { DASH, haveBrowser, launch, openPage, loaded, listDoc, svc } from './lib/harness.mjs';

const skip = !haveBrowser() && 'chromium or the program missing';
let browser;
before(async () => { if (!skip) browser = await launch(); });
after(async () => { if (browser) await browser.close(); });

const LONG = 'VeryLongServiceName'.repeat(8);
const SERVICES = [
  svc(LONG, {
    active: 'running', sub: '4', pid: 1048572, memory_bytes: 999.9 * 1024 * 1024 * 1024, since: '2026-12-11 09:14:03 UTC',
    description: 'A description that goes on and on '.repeat(6),
  }),
  svc('Spooler', { active: 'inactive' }),
];

test('before the script runs: markup texts, states and icons', { skip }, async () => {
  const s = await openPage(browser, { context: { javaScriptEnabled: false } });
  const doc = await s.page.evaluate(() => {
    const $ = id => document.getElementById(id);
    const text = id => $(id).textContent;
    return {
      lang: document.documentElement.lang,
      title: document.title,
      brand: document.querySelector('.brand').textContent,
      h1: document.querySelector('h1.title').textContent,
      pill: text('initPill'),
      values: ['vAll', 'vRun', 'vFail', 'vOff', 'dName', 'dState', 'dSub', 'dEnabled', 'dPid', 'dMem', 'dSince'].map(text),
      hidden: ['empty', 'dCtl', 'dNote', 'dOut'].map(id => $(id).className),
      chips: Array.from(document.querySelectorAll('.chips > button'), b => [b.id, b.className, b.type, b.querySelector('.k').textContent, (b.querySelector('.k .dot') || {}).className || '']),
      headers: Array.from(document.querySelectorAll('thead th'), th => [th.textContent, th.className]),
      sort: Array.from($('sort').options, o => [o.value, o.textContent, o.selected]),
      search: [$('q').type, $('q').className, $('q').placeholder, $('q').autocomplete, $('q').getAttribute('spellcheck')],
      buttons: ['btnRefresh', 'btnTheme', 'dClose'].map(id => [$(id).className, $(id).title, $(id).textContent, $(id).type]),
      icons: ['btnRefresh', 'btnTheme', 'dClose'].map(id => Array.from($(id).querySelectorAll('path,circle'), e =>
        e.tagName === 'circle' ? `circle ${e.getAttribute('cx')} ${e.getAttribute('cy')} ${e.getAttribute('r')}` : e.getAttribute('d'))),
      iconFill: getComputedStyle($('btnTheme').querySelector('svg')).fill,
      drawer: [$('drawer').tagName, $('drawer').className, $('drawer').getAttribute('aria-hidden'), $('scrim').className],
      labels: Array.from(document.querySelectorAll('.kv .k'), k => k.textContent),
      emptyText: text('empty'),
    };
  });
  assert.equal(doc.lang, 'en');
  assert.equal(doc.title, 'services');
  assert.equal(doc.brand, 'TALMERON BOT');
  assert.equal(doc.h1, 'Services');
  assert.equal(doc.pill, 'init: ' + DASH);
  assert.deepEqual(doc.values, Array(11).fill(DASH));
  assert.deepEqual(doc.hidden, ['empty hide', 'ctl hide', 'note hide', 'out hide']);
  assert.deepEqual(doc.chips, [
    ['cAll', 'chip', 'button', 'All', ''], ['cRun', 'chip ok', 'button', 'Running', 'dot d-run'],
    ['cFail', 'chip bad', 'button', 'Failed', 'dot d-fail'], ['cOff', 'chip none', 'button', 'Inactive', 'dot d-off'],
  ]);
  assert.deepEqual(doc.headers, [['Service', ''], ['State', ''], ['Enabled', 'h-opt'], ['PID', 'h-opt'], ['Memory', 'h-opt'], ['Since', 'h-since']]);
  assert.deepEqual(doc.sort, [['failed', 'Sort: failed first', true], ['name', 'Sort: name', false], ['state', 'Sort: state', false]]);
  assert.deepEqual(doc.search, ['search', 'search', 'Search name or description', 'off', 'false']);
  assert.deepEqual(doc.buttons, [
    ['icon-btn embed-hide', 'Reload', 'Refresh', 'button'], ['icon-btn embed-hide', 'Toggle appearance', '', 'button'], ['icon-btn', 'Close', '', 'button'],
  ]);
  assert.deepEqual(doc.icons, [
    ['M20 12a8 8 0 1 1-2.3-5.7', 'M20 4v5h-5'],
    ['circle 12 12 4.2', 'M12 2v2M12 20v2M2 12h2M20 12h2M5 5l1.4 1.4M17.6 17.6L19 19M19 5l-1.4 1.4M6.4 17.6L5 19'],
    ['M6 6l12 12M18 6L6 18'],
  ]);
  assert.equal(doc.iconFill, 'none');
  assert.deepEqual(doc.drawer, ['ASIDE', 'drawer', 'true', 'scrim']);
  assert.deepEqual(doc.labels, ['State', 'Sub-state', 'Enabled', 'PID', 'Memory', 'Since']);
  assert.equal(doc.emptyText, 'No services matched this filter.');
  await s.finish();
});

test('width limits: columns, chips, name width and drawer width', { skip }, async () => {
  const s = await openPage(browser, { list: listDoc(SERVICES) });
  await loaded(s.page);
  const measure = () => s.page.evaluate(() => {
    const shown = e => getComputedStyle(e).display !== 'none';
    const wrap = getComputedStyle(document.querySelector('.wrap'));
    return {
      headers: Array.from(document.querySelectorAll('thead th')).filter(shown).map(th => th.textContent),
      cells: Array.from(document.querySelector('#rows tr').cells).filter(shown).length,
      chipColumns: getComputedStyle(document.querySelector('.chips')).gridTemplateColumns.split(' ').filter(w => w !== '0px').length,
      nameWidth: document.querySelector('#rows .name').getBoundingClientRect().width,
      nameCut: document.querySelector('#rows .name').scrollWidth > document.querySelector('#rows .name').clientWidth,
      // Every figure column that is shown holds its longest text whole.
      figuresCut: Array.from(document.querySelector('#rows tr').cells).slice(1).filter(shown)
        .filter(c => c.scrollWidth > c.clientWidth).map(c => c.textContent),
      padding: wrap.padding,
      title: getComputedStyle(document.querySelector('.title')).fontSize,
      drawer: document.getElementById('drawer').getBoundingClientRect().width,
    };
  });
  const cases = [
    [1280, ['Service', 'State', 'Enabled', 'PID', 'Memory', 'Since'], 6, 4, 340, '18px 18px 40px', '19px', 430],
    [861, ['Service', 'State', 'Enabled', 'PID', 'Memory', 'Since'], 6, 4, 340, '18px 18px 40px', '19px', 430],
    [860, ['Service', 'State', 'Since'], 3, 4, 200, '14px 12px 32px', '19px', 430],
    [601, ['Service', 'State', 'Since'], 3, 4, 200, '14px 12px 32px', '19px', 430],
    [600, ['Service', 'State'], 2, 2, 150, '12px 10px 28px', '17px', 600],
    [400, ['Service', 'State'], 2, 2, 150, '12px 10px 28px', '17px', 400],
  ];
  for (const [width, headers, cells, chipColumns, nameWidth, padding, title, drawer] of cases) {
    await s.page.setViewportSize({ width, height: 800 });
    const m = await measure();
    assert.deepEqual(m.headers, headers, 'width ' + width);
    assert.equal(m.cells, cells, 'width ' + width);
    assert.equal(m.chipColumns, chipColumns, 'width ' + width);
    assert.equal(Math.round(m.nameWidth), nameWidth, 'width ' + width);
    assert.equal(m.nameCut, true);
    assert.deepEqual(m.figuresCut, [], 'width ' + width);
    assert.equal(m.padding, padding, 'width ' + width);
    assert.equal(m.title, title, 'width ' + width);
    assert.equal(Math.round(m.drawer), drawer, 'width ' + width);
  }
  await s.finish();
});

test('the drawer shows a long name whole, broken inside the head', { skip }, async () => {
  const s = await openPage(browser, { list: listDoc(SERVICES), context: { viewport: { width: 560, height: 800 } } });
  await loaded(s.page);
  await s.page.click('#rows tr >> nth=0');
  const box = await s.page.evaluate(() => {
    const n = document.getElementById('dName');
    const d = document.getElementById('dDesc');
    return { text: n.textContent, fits: n.scrollWidth <= n.clientWidth, tall: n.getBoundingClientRect().height > 40, descFits: d.scrollWidth <= d.clientWidth };
  });
  assert.deepEqual(box, { text: LONG, fits: true, tall: true, descFits: true });
  await s.finish();
});

test('light theme keeps the fixed tag tints of the dark palette', { skip }, async () => {
  const list = listDoc([svc('r', { active: 'running' }), svc('f', { active: 'failed' }), svc('p', { active: 'paused' })]);
  for (const theme of ['dark', 'light']) {
    const s = await openPage(browser, { path: '/plugin_services?theme=' + theme, list });
    await loaded(s.page);
    const bgs = await s.page.$$eval('#rows .tag', ts => ts.map(t => getComputedStyle(t).backgroundColor));
    assert.deepEqual(bgs, ['rgba(48, 209, 88, 0.16)', 'rgba(255, 69, 58, 0.16)', 'rgba(255, 159, 10, 0.16)'], theme);
    await s.finish();
  }
});
