// Runs the browser suite: node run.mjs PATH_TO_PROGRAM [test files...]
// Without chromium or the npm packages the suite cannot run: skipped (77),
// or failed under scripts/test (see tests/support/cannot_run.mjs). A test
// that skips itself (the whole-stack tests without lighttpd) is named with
// its reason, and under scripts/test fails the run.
import { spawnSync } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, readdirSync, rmSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { NO_SKIP, cannotRun } from '../support/cannot_run.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const chromium = process.env.CHROMIUM || '/usr/bin/chromium';
if (!existsSync(chromium)) cannotRun(`${chromium} not found`);
if (!existsSync(path.join(here, 'node_modules', 'playwright-core'))) {
  cannotRun('no node_modules: run `npm ci` in tests/browser first');
}
const program = process.argv[2] ? path.resolve(process.argv[2]) : '';
if (!program || !existsSync(program)) {
  console.log(`program not found: ${program || '(none given)'}`);
  process.exit(1);
}
const files = process.argv.length > 3
  ? process.argv.slice(3)
  : readdirSync(here).filter(f => f.endsWith('.test.mjs')).sort();

// The tests that skipped themselves, with their reasons, from a TAP record.
function skippedTests(tap) {
  const skipped = [];
  for (const line of tap.split('\n')) {
    const m = /^\s*ok \d+ - (.*?) # SKIP\b ?(.*)$/.exec(line);
    if (m) skipped.push(`${m[1]} (${m[2] || 'no reason given'})`);
  }
  return skipped;
}

const scratch = mkdtempSync(path.join(os.tmpdir(), 'browser-suite-'));
const record = path.join(scratch, 'record.tap');
const run = spawnSync(process.execPath, [
  '--test', '--test-concurrency=2',
  `--test-reporter=${process.stdout.isTTY ? 'spec' : 'tap'}`, '--test-reporter-destination=stdout',
  '--test-reporter=tap', `--test-reporter-destination=${record}`,
  ...files,
], {
  cwd: here,
  stdio: 'inherit',
  env: { ...process.env, PLUGIN_SERVICES_BIN: program },
});
const skipped = existsSync(record) ? skippedTests(readFileSync(record, 'utf8')) : [];
rmSync(scratch, { recursive: true, force: true });
for (const name of skipped) console.log(`skipped: ${name}`);
if (run.status !== 0) process.exit(1);
if (skipped.length && NO_SKIP) {
  console.log(`FAILED: ${skipped.length} test(s) could not run, and scripts/test runs every test`);
  process.exit(1);
}
process.exit(0);
