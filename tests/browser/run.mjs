// Runs the browser suite: node run.mjs PATH_TO_PROGRAM [test files...]
// Exits 77 (skipped) when chromium or the npm packages are missing.
import { spawnSync } from 'node:child_process';
import { existsSync, readdirSync } from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const chromium = process.env.CHROMIUM || '/usr/bin/chromium';
if (!existsSync(chromium)) {
  console.log(`skipped: ${chromium} not found`);
  process.exit(77);
}
if (!existsSync(path.join(here, 'node_modules', 'playwright-core'))) {
  console.log('skipped: run `npm ci` in tests/browser first');
  process.exit(77);
}
const program = process.argv[2] ? path.resolve(process.argv[2]) : '';
if (!program || !existsSync(program)) {
  console.log(`program not found: ${program || '(none given)'}`);
  process.exit(1);
}
const files = process.argv.length > 3
  ? process.argv.slice(3)
  : readdirSync(here).filter(f => f.endsWith('.test.mjs')).sort();
const run = spawnSync(process.execPath, ['--test', '--test-concurrency=2', ...files], {
  cwd: here,
  stdio: 'inherit',
  env: { ...process.env, PLUGIN_SERVICES_BIN: program },
});
process.exit(run.status === null ? 1 : run.status);
