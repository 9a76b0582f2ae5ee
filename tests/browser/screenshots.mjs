// Takes the README screenshots: node screenshots.mjs PROGRAM OUTPUT_DIR
// Both themes, at 1280 and 560 px, with the list and with the drawer open on
// a service's details.
import path from 'node:path';
import { launch, openPage, loaded, listDoc, svc, detailsDoc } from './lib/harness.mjs';

const MiB = 1024 * 1024;
const SERVICES = [
  svc('PrintBridge', { active: 'failed', sub: '1', failed: true, enabled: 'automatic', description: 'Print bridge for the label printers' }),
  svc('Dhcp', { active: 'running', sub: '4', enabled: 'automatic', pid: 1432, memory_bytes: 7.4 * MiB, since: '2026-12-11 07:02:41 UTC', description: 'DHCP Client' }),
  svc('Dnscache', { active: 'running', sub: '4', enabled: 'automatic', pid: 1516, memory_bytes: 12.8 * MiB, since: '2026-12-11 07:02:43 UTC', description: 'DNS Client' }),
  svc('EventLog', { active: 'running', sub: '4', enabled: 'automatic', pid: 1188, memory_bytes: 21 * MiB, since: '2026-12-11 07:02:39 UTC', description: 'Windows Event Log' }),
  svc('Spooler', { active: 'running', sub: '4', enabled: 'automatic', pid: 2764, memory_bytes: 9.6 * MiB, since: '2026-12-11 09:14:03 UTC', description: 'Print Spooler' }),
  svc('W32Time', { active: 'running', sub: '4', enabled: 'manual', pid: 3020, description: 'Windows Time' }),
  svc('BITS', { active: 'inactive', sub: '1', enabled: 'manual', description: 'Background Intelligent Transfer Service' }),
  svc('MSiSCSI', { active: 'inactive', sub: '1', enabled: 'disabled', description: 'Microsoft iSCSI Initiator Service' }),
  svc('RemoteRegistry', { active: 'paused', sub: '7', enabled: 'disabled', description: 'Remote Registry' }),
  svc('WSearch', { active: 'starting', sub: '2', enabled: 'automatic', description: 'Windows Search' }),
  svc('wuauserv', { active: 'inactive', sub: '1', enabled: 'manual', description: 'Windows Update' }),
];

const SPOOLER = detailsDoc('Spooler', {
  display_name: 'Print Spooler',
  description: 'This service spools print jobs and handles interaction with the printer. If you turn off this service, you won\u2019t be able to print or see your printers.',
  state: 'running', type: 'own-process', start_type: 'automatic', binary_path: 'C:\\Windows\\System32\\spoolsv.exe',
  account: 'LocalSystem', pid: 2764, accepts: ['stop'], dependencies: ['RPCSS', 'http'], dependents: ['PrintBridge'],
  recovery: { reset_seconds: 86400, actions: [{ type: 'restart', delay_ms: 60000 }, { type: 'restart', delay_ms: 60000 }, { type: 'none', delay_ms: 0 }] },
}, { control: true });

const [program, outDir] = process.argv.slice(2);
if (!program || !outDir) {
  console.error('usage: node screenshots.mjs PROGRAM OUTPUT_DIR');
  process.exit(2);
}
process.env.PLUGIN_SERVICES_BIN = path.resolve(program);

const browser = await launch();
for (const theme of ['dark', 'light']) {
  for (const width of [1280, 560]) {
    const s = await openPage(browser, {
      path: '/plugin_services?theme=' + theme,
      list: listDoc(SERVICES, { control: true }),
      details: SPOOLER,
      context: { viewport: { width, height: width > 600 ? 760 : 980 }, reducedMotion: 'reduce', deviceScaleFactor: 1 },
    });
    await loaded(s.page);
    const list = path.join(outDir, `services-${theme}-${width}.png`);
    await s.page.screenshot({ path: list });
    await s.page.click('#rows tr[data-n="Spooler"]');
    await s.page.waitForSelector('#dDetails .kv');
    const drawer = path.join(outDir, `drawer-${theme}-${width}.png`);
    await s.page.screenshot({ path: drawer });
    console.log(list + '\n' + drawer);
    await s.finish();
  }
}
await browser.close();
