// Control from the drawer: confirmation, the POST call, the texts of success,
// refusal and failure, and the reload 700 ms after a success.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import {
  DASH, RECORD_CALLS, callsStarted, haveBrowser, launch, openPage, loaded, listDoc, svc,
} from './lib/harness.mjs';

const skip = !haveBrowser() && 'chromium or the program missing';
let browser;
before(async () => { if (!skip) browser = await launch(); });
after(async () => { if (browser) await browser.close(); });

const RESOURCE_ERROR = /^Failed to load resource/;
const BEFORE = [
  svc('Spooler', { active: 'running', sub: '4', enabled: 'automatic', pid: 1234, description: 'Print Spooler' }),
  svc('beta', { active: 'inactive', sub: '1' }),
  svc('a&b c', { active: 'inactive', sub: '1' }),
];
const AFTER = [
  svc('Spooler', { active: 'stopping', sub: '3', enabled: 'automatic', pid: 1234, description: 'Print Spooler' }),
  svc('beta', { active: 'running', sub: '4', pid: 77, memory_bytes: 2048 }),
];

// Stops the page's clock a little ahead of its present time; the time read
// may already have passed on a slow run, so it is read again and retried.
async function pauseClock(page) {
  for (let tries = 1; ; tries++) {
    try {
      return await page.clock.pauseAt(await page.evaluate(() => Date.now() + 100));
    } catch (e) {
      if (tries === 5) throw e;
    }
  }
}

// A page with control on whose list answers BEFORE, then AFTER; dialogs are
// answered by `answerDialog` and recorded.
async function controlPage(opts) {
  let lists = 0;
  const dialogs = [];
  const s = await openPage(browser, {
    path: '/plugin_services?node=n1&pwd=pw',
    list: () => listDoc(lists++ === 0 ? BEFORE : AFTER, { control: true }),
    clock: true,
    initScripts: [RECORD_CALLS],
    ...opts,
  });
  s.page.on('dialog', d => {
    dialogs.push(d.message());
    return opts.decline ? d.dismiss() : d.accept();
  });
  await loaded(s.page);
  // The installed clock still follows real time; a slow run would then reach
  // the 700 ms reload by itself. From here on only runFor moves it.
  await pauseClock(s.page);
  s.dialogs = dialogs;
  s.listCalls = () => s.calls.filter(c => c.action === 'list').length;
  // Read in the page: a reload that a clock step starts counts at once.
  s.listsStarted = () => callsStarted(s.page, 'list');
  s.controlCalls = () => s.calls.filter(c => c.action === 'control');
  s.out = () => s.page.evaluate(() => [document.getElementById('dOut').className, document.getElementById('dOut').textContent]);
  return s;
}

test('a declined confirmation sends nothing and leaves the output box alone', { skip }, async () => {
  const s = await controlPage({ decline: true });
  await s.page.click('#rows tr[data-n="Spooler"]');
  await s.page.click('#opStop');
  assert.deepEqual(s.dialogs, ["stop Spooler?\n\nThis runs stop on the node's service manager."]);
  assert.deepEqual(s.controlCalls(), []);
  assert.deepEqual(await s.out(), ['out hide', '']);
  await s.finish();
});

test('success: POST with the password, sending text, success text, reload at 700 ms', { skip }, async () => {
  let release, arrived;
  const gate = new Promise(r => { release = r; });
  // The page shows its sending text before the request reaches the route, so
  // the call is taken from the handler rather than read from the log.
  const received = new Promise(r => { arrived = r; });
  const s = await controlPage({
    control: async call => {
      arrived(call);
      await gate;
      return { ok: true, unit: 'Spooler', op: 'stop', control_enabled: true, init_system: 'windows-scm' };
    },
  });
  await s.page.click('#rows tr[data-n="Spooler"]');
  await s.page.click('#opStop');
  await s.page.waitForFunction(() => document.getElementById('dOut').className === 'out');
  assert.deepEqual(await s.out(), ['out', 'Sending stop Spooler ...']);
  const call = await received;
  assert.equal(s.controlCalls().length, 1);
  assert.equal(call.method, 'POST');
  assert.equal(call.path, '/plugin_services?action=control&unit=Spooler&op=stop&node=n1&pwd=pw');
  assert.equal(call.headers['x-bot-password'], 'pw');
  release();
  await s.page.waitForFunction(() => document.getElementById('dOut').className === 'out ok');
  assert.deepEqual(await s.out(), ['out ok', 'stop requested for Spooler.']);
  assert.equal(s.listCalls(), 1);
  await s.page.clock.runFor(699);
  assert.equal(await s.listsStarted(), 1);
  await s.page.clock.runFor(1);
  assert.equal(await s.listsStarted(), 2);
  await s.page.waitForFunction(() => document.getElementById('dState').textContent === 'stopping');
  assert.equal(s.listCalls(), 2);
  assert.equal(await s.page.textContent('#dSub'), '3');
  assert.deepEqual(await s.out(), ['out ok', 'stop requested for Spooler.']);
  assert.equal(await s.page.getAttribute('#rows tr[data-n="Spooler"]', 'class'), 'row sel');
  await s.finish();
});

test('each button sends its op; the unit is encoded', { skip }, async () => {
  const s = await controlPage({});
  const ops = [['#opStart', 'start'], ['#opRestart', 'restart'], ['#opStop', 'stop']];
  await s.page.click('#rows tr[data-n="a&b c"]');
  for (const [button, op] of ops) {
    await s.page.click(button);
    await s.page.waitForFunction(t => document.getElementById('dOut').textContent === t, `${op} requested for a&b c.`);
  }
  assert.deepEqual(s.controlCalls().map(c => c.path), ops.map(([, op]) =>
    `/plugin_services?action=control&unit=a%26b%20c&op=${op}&node=n1&pwd=pw`));
  assert.equal(s.dialogs[1], "restart a&b c?\n\nThis runs restart on the node's service manager.");
  await s.finish();
});

test('the late reload refreshes the service selected by then', { skip }, async () => {
  const s = await controlPage({});
  await s.page.click('#rows tr[data-n="Spooler"]');
  await s.page.click('#opStop');
  await s.page.waitForFunction(() => document.getElementById('dOut').className === 'out ok');
  await s.page.keyboard.press('Escape');
  await s.page.click('#rows tr[data-n="beta"]');
  assert.deepEqual(await s.out(), ['out hide', '']);
  await s.page.clock.runFor(700);
  await s.page.waitForFunction(() => document.getElementById('dState').textContent === 'running');
  const texts = await s.page.$$eval('#dName,#dSub,#dPid,#dMem', es => es.map(e => e.textContent));
  assert.deepEqual(texts, ['beta', '4', '77', '2 KiB']);
  await s.finish();
});

test('refusals and failed calls show their text and reload nothing', { skip }, async () => {
  const cases = [
    [{ status: 403, body: '{"ok":false,"error":"control_disabled"}\n' }, 'control_disabled'],
    [{ status: 400, body: { ok: false, error: 'op must be start|stop|restart' } }, 'op must be start|stop|restart'],
    [{ status: 500, body: { ok: false } }, 'HTTP error'],
    [{ status: 200, body: { ok: 1 } }, 'HTTP error'],
    [{ abort: 'failed' }, 'Request failed: Failed to fetch'],
    [{ status: 502, body: 'Bad Gateway' }, /^Request failed: .*JSON/],
  ];
  for (const [control, text] of cases) {
    const s = await controlPage({ control, allow: [RESOURCE_ERROR] });
    await s.page.click('#rows tr[data-n="Spooler"]');
    await s.page.click('#opRestart');
    await s.page.waitForFunction(() => document.getElementById('dOut').className === 'out err');
    const [cls, shown] = await s.out();
    assert.equal(cls, 'out err');
    if (text instanceof RegExp) assert.match(shown, text);
    else assert.equal(shown, text);
    await s.page.clock.runFor(2000);
    assert.equal(await s.listsStarted(), 1, JSON.stringify(control));
    assert.equal(await s.page.textContent('#dPid'), '1234');
    await s.finish();
  }
});

test('a refusal in the light theme keeps the red border tint of the dark palette', { skip }, async () => {
  const s = await controlPage({ path: '/plugin_services?theme=light', control: { ok: false, error: 'nope' } });
  await s.page.click('#rows tr[data-n="Spooler"]');
  await s.page.click('#opStart');
  await s.page.waitForFunction(() => document.getElementById('dOut').className === 'out err');
  const st = await s.page.$eval('#dOut', e => [getComputedStyle(e).color, getComputedStyle(e).borderTopColor]);
  assert.deepEqual(st, ['rgb(255, 59, 48)', 'rgba(255, 69, 58, 0.4)']);
  assert.equal(await s.page.textContent('#dState'), 'running');
  assert.notEqual(await s.page.textContent('#dPid'), DASH);
  await s.finish();
});
