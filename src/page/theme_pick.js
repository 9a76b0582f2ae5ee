// Theme pick: runs while the head is parsed, so data-theme and the embed
// class are set before any element of the body exists.
(function () {
  'use strict';
  var root = document.documentElement;
  var query = '';
  var theme = '';
  try {
    query = window.location.search || '';
  } catch (e) {
    query = '';
  }
  try {
    var m = /[?&]theme=(light|dark)/.exec(query);
    if (m) theme = m[1];
  } catch (e) {}
  if (!theme) {
    try {
      var stored = window.localStorage.getItem('bot_theme');
      if (stored === 'light' || stored === 'dark') theme = stored;
    } catch (e) {}
  }
  if (!theme) {
    try {
      theme = window.matchMedia('(prefers-color-scheme: light)').matches ? 'light' : 'dark';
    } catch (e) {
      theme = 'dark';
    }
  }
  root.setAttribute('data-theme', theme);
  try {
    if (/[?&]embed=(1|true)(&|$)/.test(query)) root.classList.add('embedded');
  } catch (e) {}
  try {
    window.localStorage.setItem('bot_theme', theme);
  } catch (e) {}
})();
