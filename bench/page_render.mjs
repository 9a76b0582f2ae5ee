// Browser benchmark of the page with 2048 services (prints figures, asserts nothing):
//   node bench/page_render.mjs [PROGRAM]
// First draw: from the list response reaching the page to the table built
// (and to the next frame). Re-render: one search keystroke, one filter click,
// each timed synchronously with a forced layout; medians over many runs.
// Details: from a row click to the drawer's details drawn, answered from a
// canned document through the test harness's routing.
import path from 'node:path';
import { launch, openPage, loaded, listDoc, svc, detailsDoc } from '../tests/browser/lib/harness.mjs';

const program = process.argv[2] || 'build/native/plugin_services';
process.env.PLUGIN_SERVICES_BIN = path.resolve(program);

const STATES = [['running', '4'], ['inactive', '1'], ['paused', '7'], ['running', '4'], ['stopping', '3']];
const services = [];
for (let i = 0; i < 2048; i++) {
  const [active, sub] = STATES[i % STATES.length];
  services.push(svc(`Service${String(i).padStart(4, '0')}`, {
    active, sub, failed: i % 97 === 0, enabled: i % 3 ? 'manual' : 'automatic',
    pid: active === 'running' ? 1000 + i : 0, memory_bytes: active === 'running' ? (i + 1) * 40960 : null,
    description: `Description of service number ${i} with a few words`,
  }));
}
const doc = listDoc(services, { control: true });

const MARK_RESPONSE = `(() => {
  const real = window.fetch;
  const marks = { response: 0, built: 0, frame: 0 };
  Object.defineProperty(window, '__bench', { value: marks });
  window.fetch = function () {
    return real.apply(this, arguments).then(r => { marks.response = performance.now(); return r; });
  };
  new MutationObserver(() => {
    const rows = document.getElementById('rows');
    if (marks.built || !rows || rows.children.length < 2048) return;
    marks.built = performance.now();
    requestAnimationFrame(() => setTimeout(() => { marks.frame = performance.now(); }, 0));
  }).observe(document, { childList: true, subtree: true });
})();`;

const median = xs => {
  const s = [...xs].sort((a, b) => a - b);
  return s[Math.floor(s.length / 2)];
};
const fmt = x => x.toFixed(1).padStart(7) + ' ms';

const browser = await launch();
const first = [], frame = [];
let search = [], filter = [];
for (let run = 0; run < 7; run++) {
  const s = await openPage(browser, { list: doc, initScripts: [MARK_RESPONSE] });
  await s.page.waitForFunction(() => window.__bench.frame > 0);
  const m = await s.page.evaluate(() => window.__bench);
  first.push(m.built - m.response);
  frame.push(m.frame - m.response);
  if (run === 0) {
    const times = await s.page.evaluate(() => {
      const q = document.getElementById('q');
      const layout = () => document.body.getBoundingClientRect();
      const texts = ['s', 'se', 'ser', 'serv', 'servi', 'servic', 'service', 'service0', 'service00', 'service0', 'service', ''];
      const search = [], filter = [];
      for (let round = 0; round < 5; round++) {
        for (const t of texts) {
          const t0 = performance.now();
          q.value = t;
          q.dispatchEvent(new Event('input'));
          layout();
          search.push(performance.now() - t0);
        }
      }
      q.value = '';
      q.dispatchEvent(new Event('input'));
      const chips = ['cRun', 'cAll', 'cOff', 'cAll', 'cFail', 'cAll'];
      for (let round = 0; round < 10; round++) {
        for (const id of chips) {
          const t0 = performance.now();
          document.getElementById(id).click();
          layout();
          filter.push(performance.now() - t0);
        }
      }
      return { search, filter };
    });
    search = times.search;
    filter = times.filter;
  }
  await s.finish();
}

// Row click to details drawn, the drawer closed between runs.
const detailsTimes = [];
{
  const s = await openPage(browser, {
    list: doc,
    details: detailsDoc('Service0001', {
      description: 'Description of service number 1 with a few words', dependencies: ['Service0002', '+Group'],
      dependents: ['Service0003', 'Service0004'], recovery: { reset_seconds: 86400, actions: [{ type: 'restart', delay_ms: 60000 }] },
    }),
  });
  await loaded(s.page);
  for (let run = 0; run < 21; run++) {
    detailsTimes.push(await s.page.evaluate(() => new Promise(resolve => {
      const box = document.getElementById('dDetails');
      const t0 = performance.now();
      const seen = new MutationObserver(() => {
        if (!box.querySelector('.kv')) return;
        seen.disconnect();
        resolve(performance.now() - t0);
      });
      seen.observe(box, { childList: true });
      document.querySelector('#rows tr[data-n="Service0001"]').click();
    })));
    await s.page.keyboard.press('Escape');
  }
  await s.finish();
}
await browser.close();

console.log('page with 2048 services, chromium headless');
console.log(`first draw (response -> table built), median of ${first.length}: ${fmt(median(first))}   max ${fmt(Math.max(...first))}   target <= 100 ms`);
console.log(`first draw (response -> next frame),  median of ${frame.length}: ${fmt(median(frame))}   max ${fmt(Math.max(...frame))}`);
console.log(`search keystroke re-render, median of ${search.length}:      ${fmt(median(search))}   max ${fmt(Math.max(...search))}   target <= 30 ms`);
console.log(`filter click re-render, median of ${filter.length}:          ${fmt(median(filter))}   max ${fmt(Math.max(...filter))}   target <= 30 ms`);
console.log(`row click -> details drawn, median of ${detailsTimes.length}:   ${fmt(median(detailsTimes))}   max ${fmt(Math.max(...detailsTimes))}`);
