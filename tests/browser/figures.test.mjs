// The list's own figures on the page: a document the program writes over
// the scripted service manager, with a failed service, memory and since,
// shown in the table, the chips and the drawer.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {
  DASH, haveBrowser, launch, openPage, loaded, runProgram, splitResponse, tableTexts, rowNames,
} from './lib/harness.mjs';

const skip = !haveBrowser() && 'chromium or the program missing';
let browser;
let listBody;
before(async () => {
  if (skip) return;
  browser = await launch();
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'figures-'));
  const fixture = path.join(dir, 'scm');
  fs.writeFileSync(fixture, [
    'service\tCrashed\tStopped with its own code\t1\t0\t2\texit=1066\tservice_exit=42',
    'service\tBITS\tBackground Intelligent Transfer Service\t1\t0\t3',
    'service\tDnscache\tDNS Client\t4\t1516\t2',
    'service\tEventLog\tWindows Event Log\t4\t1516\t2',
    'service\tSpooler\tPrint Spooler\t4\t2764\t2',
    'service\tW32Time\tWindows Time\t4\t3020\t3',
    'process\t1516\t157286400\t1796997857',
    'process\t2764\t10066330\t1796980443',
    'process\t3020\tclosed',
    '',
  ].join('\n'));
  listBody = splitResponse(runProgram({ QUERY_STRING: 'action=list', SERVICES_FAKE_SCM: fixture })).body.toString('utf8');
  fs.rmSync(dir, { recursive: true });
});
after(async () => { if (browser) await browser.close(); });

// The rows as the table shows them: name, state, start type, pid, memory,
// since ("-" as the program writes it when there is no process).
const ROWS = [
  ['Crashed', 'failed', 'automatic', DASH, DASH, '-'],
  ['Dnscache', 'running', 'automatic', '1516', '150 MiB', '2026-12-11 14:04:17 UTC'],
  ['EventLog', 'running', 'automatic', '1516', '150 MiB', '2026-12-11 14:04:17 UTC'],
  ['Spooler', 'running', 'automatic', '2764', '9.6 MiB', '2026-12-11 09:14:03 UTC'],
  ['W32Time', 'running', 'manual', '3020', DASH, '-'],
  ['BITS', 'inactive', 'manual', DASH, DASH, '-'],
];

async function rows(page) {
  const names = await rowNames(page);
  return (await tableTexts(page)).map((cells, i) => [names[i], ...cells.slice(1)]);
}

// The red, green and blue of a computed colour, each from 0 to 1.
function channels(colour) {
  const srgb = colour.match(/^color\(srgb ([\d.]+) ([\d.]+) ([\d.]+)/);
  if (srgb) return srgb.slice(1, 4).map(Number);
  const rgb = colour.match(/^rgba?\((\d+), (\d+), (\d+)/);
  assert.ok(rgb, `a colour: ${colour}`);
  return rgb.slice(1, 4).map((v) => Number(v) / 255);
}

for (const theme of ['dark', 'light']) {
  test(`${theme}: the failed service sits under the Failed chip in red`, { skip }, async () => {
    const s = await openPage(browser, { path: '/plugin_services?theme=' + theme, list: { body: listBody } });
    await loaded(s.page);
    assert.deepEqual(await rows(s.page), ROWS);
    assert.deepEqual(await s.page.$$eval('.chips .v', (vs) => vs.map((v) => v.textContent)), ['6', '4', '1', '1']);
    await s.page.click('#cFail');
    assert.deepEqual(await rows(s.page), [ROWS[0]]);
    const colours = await s.page.evaluate(() => {
      const probe = document.createElement('span');
      probe.style.color = 'var(--red)';
      document.body.appendChild(probe);
      const red = getComputedStyle(probe).color;
      probe.remove();
      const tag = document.querySelector('#rows tr[data-n="Crashed"] .tag');
      return { red, tag: getComputedStyle(tag).color, cls: tag.className, chip: getComputedStyle(document.getElementById('vFail')).color };
    });
    assert.equal(colours.cls, 'tag t-fail');
    // The tag's text is the theme's red mixed toward the text colour for
    // contrast: still plainly red, never the red itself.
    const [r, g, b] = channels(colours.tag);
    assert.ok(r - g >= 0.3 && r - b >= 0.3, `tag text ${colours.tag} is red`);
    assert.equal(colours.chip, colours.red);
    assert.equal(colours.red, theme === 'dark' ? 'rgb(255, 69, 58)' : 'rgb(255, 59, 48)');
    await s.finish();
  });
}

test('memory and since of a running service, and of a failed one, in the drawer', { skip }, async () => {
  const s = await openPage(browser, { list: { body: listBody } });
  await loaded(s.page);
  const drawer = async (name) => {
    await s.page.click(`#rows tr[data-n="${name}"]`);
    const texts = await s.page.$$eval('#dState,#dSub,#dPid,#dMem,#dSince', (es) => es.map((e) => e.textContent));
    await s.page.keyboard.press('Escape');
    return texts;
  };
  assert.deepEqual(await drawer('Spooler'), ['running', '4', '2764', '9.6 MiB', '2026-12-11 09:14:03 UTC']);
  assert.deepEqual(await drawer('Crashed'), ['failed', '1', DASH, DASH, '-']);
  assert.deepEqual(await drawer('W32Time'), ['running', '4', '3020', DASH, '-']);
  await s.finish();
});
