// The page as the program prints it: header block, marker splicing and the
// order of the document's parts.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync } from 'node:fs';
import { binaryPath, runProgram, splitResponse } from './lib/harness.mjs';

const skip = !existsSync(binaryPath()) && 'program not built';
const CSP = "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; " +
  "img-src data:; connect-src 'self'; form-action 'none'; base-uri 'none'";

test('header block: four lines in order, 272 bytes, no status line', { skip }, () => {
  const r = splitResponse(runProgram({}));
  assert.equal(r.headerBytes, 272);
  assert.deepEqual(r.lines, [
    'Content-Type: text/html; charset=utf-8',
    'Cache-Control: no-store',
    'X-Content-Type-Options: nosniff',
    'Content-Security-Policy: ' + CSP,
  ]);
});

test('the same bytes whatever the request, with no marker byte left', { skip }, () => {
  const plain = runProgram({});
  for (const env of [
    { QUERY_STRING: 'theme=light&embed=1' },
    { QUERY_STRING: 'node=a&pwd=%3Cx%3E', REQUEST_METHOD: 'GET' },
    { QUERY_STRING: '' },
  ]) {
    assert.ok(runProgram(env).equals(plain), JSON.stringify(env));
  }
  assert.equal(plain.indexOf(1), -1);
  assert.equal(plain.indexOf(2), -1);
  assert.equal(plain.indexOf(13, 272), -1, 'no CR in the page');
});

test('document order: head, theme pick and style, page style, script, bridge', { skip }, () => {
  const html = splitResponse(runProgram({})).body.toString('utf8');
  assert.ok(html.startsWith('<!doctype html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n' +
    '<meta name="viewport" content="width=device-width,initial-scale=1">\n<title>services</title>\n<script>\n'));
  assert.ok(html.endsWith('</script>\n</body></html>\n'));
  const at = s => {
    const i = html.indexOf(s);
    assert.notEqual(i, -1, s);
    return i;
  };
  const pick = at("localStorage.getItem('bot_theme')");
  const themeStyle = at('<style>\n:root{color-scheme:dark;');
  const pageStyle = at('<style>\n*{box-sizing:border-box}\nhtml,body');
  const body = at('<body>');
  const script = at("stored('bot_pwd_' + node)");
  const bridge = at('window.zqApplyTheme = apply');
  assert.ok(pick < themeStyle && themeStyle < pageStyle && pageStyle < body && body < script && script < bridge);
  // theme_head ends with its style element and no line feed of its own
  assert.match(html, /<\/style>\n<style>\n\*\{box-sizing/);
  assert.equal((html.match(/<script>/g) || []).length, 3);
});
