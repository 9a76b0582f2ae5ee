// Theme bridge: publishes zqApplyTheme and zqTheme, follows "zq-theme"
// messages and, inside a frame, asks the host once for its theme.
(function () {
  'use strict';
  var root = document.documentElement;

  function apply(t) {
    if (t !== 'light' && t !== 'dark') return;
    if (root.getAttribute('data-theme') === t) return;
    root.setAttribute('data-theme', t);
    try {
      window.localStorage.setItem('bot_theme', t);
    } catch (e) {}
    try {
      window.dispatchEvent(new CustomEvent('bot-theme', { detail: t }));
    } catch (e) {}
  }

  window.zqApplyTheme = apply;
  window.zqTheme = function () {
    var t = root.getAttribute('data-theme');
    return t === 'light' || t === 'dark' ? t : 'dark';
  };

  window.addEventListener('message', function (ev) {
    var d = ev.data;
    if (d && typeof d === 'object' && d.type === 'zq-theme') apply(d.theme);
  });

  try {
    if (window.parent && window.parent !== window) {
      window.parent.postMessage({ type: 'zq-theme-request' }, '*');
    }
  } catch (e) {}
})();
