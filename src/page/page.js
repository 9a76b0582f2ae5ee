// The services page: loads the list from the JSON interface, draws chips and
// table, filters, searches and sorts in the browser, loads the details of
// the service the drawer shows and sends control requests from the drawer.
// Runs once; leaves no global name behind.
(function () {
  'use strict';

  var DATA = [];
  var CTL = false;
  var FILTER = '';
  var SORT = 'failed';
  var SEL = null;
  // The details shown in the drawer: the service they were asked for, the
  // answer (null until it arrives), and the number of the last request, so
  // that an answer to an earlier one is dropped.
  var DETAILS = { name: null, doc: null, seq: 0 };

  // Keyboard state: the table is one tab stop (STOP), held by the row of the
  // service named CUR, else by the first row, else by the table itself; BACK
  // is the row that the open drawer returns focus to.
  var CUR = null;
  var STOP = null;
  var BACK = null;

  var DASH = '\u2014';
  var NOTE_ON = 'Control is enabled on this node (SERVICES_ALLOW_CONTROL=1). ' +
    'Every action is sent as a separate argv element, never through a shell.';
  var NOTE_OFF = 'Read-only: set SERVICES_ALLOW_CONTROL=1 in this node\'s plugin ' +
    'environment to enable start, stop and restart.';

  // A stored value, or '' when missing or when storage is refused.
  function stored(key) {
    try {
      return window.localStorage.getItem(key) || '';
    } catch (e) {
      return '';
    }
  }

  var params = new URLSearchParams(window.location.search);
  var node = params.get('node') || '';
  var sid = params.get('id') || '';
  var HUB = params.get('plugin') || '';
  var pwd = params.get('pwd') || '';
  if (!pwd && node) pwd = stored('bot_pwd_' + node);
  if (!pwd) pwd = stored('bot_active_pwd');

  function $(id) {
    return document.getElementById(id);
  }

  // Calls the JSON interface on this origin; resolves with the parsed body
  // whatever the HTTP status, rejects on a network failure or a non-JSON body.
  function api(action, extra, method) {
    var enc = encodeURIComponent;
    var url = HUB ? '/plugins?plugin=' + enc(HUB) : '/plugin_services';
    url += '?action=' + enc(action);
    if (extra) url += '&' + extra;
    if (node) url += '&node=' + enc(node);
    if (sid) url += '&id=' + enc(sid);
    if (pwd) url += '&pwd=' + enc(pwd);
    var headers = {};
    if (pwd) headers['X-Bot-Password'] = pwd;
    return fetch(url, { method: method || 'GET', headers: headers }).then(function (r) {
      return r.json();
    });
  }

  // Text made safe for markup and attribute values.
  function esc(v) {
    return String(v == null ? '' : v)
      .replace(/&/g, '&amp;')
      .replace(/</g, '&lt;')
      .replace(/>/g, '&gt;')
      .replace(/"/g, '&quot;')
      .replace(/'/g, '&#39;');
  }

  // Memory size in binary units: 1536 -> "1.5 KiB"; none or 0 -> dash.
  function bytes(n) {
    if (n == null || !n) return DASH;
    var units = ['B', 'KiB', 'MiB', 'GiB', 'TiB'];
    var v = Number(n);
    var i = 0;
    while (v >= 1024 && i < units.length - 1) {
      v /= 1024;
      i++;
    }
    var r = v >= 100 ? Math.round(v) : Math.round(v * 10) / 10;
    return String(r) + ' ' + units[i];
  }

  // The page's state class of a service: fail, run, warn or off.
  function stateCls(s) {
    if (s.failed || s.active === 'failed') return 'fail';
    if (s.active === 'running' || s.active === 'active' || s.sub === 'running') return 'run';
    if (s.active === 'paused' || s.active === 'starting' || s.active === 'stopping') return 'warn';
    return 'off';
  }

  function stateLabel(s) {
    var c = stateCls(s);
    if (c === 'run') return 'running';
    if (c === 'fail') return 'failed';
    if (c === 'warn') return s.active;
    return s.active ? s.active : 'inactive';
  }

  function byName(a, b) {
    var x = String(a.name), y = String(b.name);
    return x < y ? -1 : x > y ? 1 : 0;
  }

  // The services to draw: filter, search text, then the chosen order.
  function visible() {
    var want = { running: 'run', failed: 'fail', inactive: 'off' }[FILTER];
    var q = $('q').value.toLowerCase();
    var list = DATA.filter(function (s) {
      if (want && stateCls(s) !== want) return false;
      if (!q) return true;
      var hay = String(s.name == null ? '' : s.name) + ' ' + String(s.description == null ? '' : s.description);
      return hay.toLowerCase().indexOf(q) !== -1;
    });
    if (SORT === 'name') list.sort(byName);
    if (SORT === 'state') {
      list.sort(function (a, b) {
        var x = stateCls(a), y = stateCls(b);
        return x < y ? -1 : x > y ? 1 : byName(a, b);
      });
    }
    return list;
  }

  function rowHtml(s) {
    var c = stateCls(s);
    var name = esc(s.name);
    var h = '<tr class="row' + (SEL === s.name ? ' sel' : '') + '" data-n="' + name + '">';
    h += '<td><div class="name" title="' + name + '">' + name + '</div>';
    if (s.description) {
      var d = esc(s.description);
      h += '<div class="desc" title="' + d + '">' + d + '</div>';
    }
    h += '</td><td><span class="tag t-' + c + '"><span class="dot d-' + c + '"></span>' + esc(stateLabel(s)) + '</span></td>';
    h += '<td class="mo h-opt">' + esc(s.enabled || '-') + '</td>';
    h += '<td class="mo h-opt">' + (s.pid > 0 ? esc(s.pid) : DASH) + '</td>';
    h += '<td class="mo h-opt">' + esc(bytes(s.memory_bytes)) + '</td>';
    h += '<td class="mo h-since">' + esc(s.since || DASH) + '</td></tr>';
    return h;
  }

  function onRowClick(e) {
    open(this.getAttribute('data-n'), this, e.detail > 0);
  }

  // The row element of every service of DATA, built in one pass after each
  // load and reused by later redraws (a keystroke or a filter click only
  // moves rows; it does not rebuild them).
  var rowCache = { data: null, rows: null };
  function rowsOfData() {
    if (rowCache.data === DATA) return rowCache.rows;
    var box = document.createElement('tbody');
    box.innerHTML = DATA.map(rowHtml).join('');
    var rows = new Map();
    for (var i = 0; i < DATA.length; i++) {
      var tr = box.children[i];
      tr.addEventListener('click', onRowClick);
      rows.set(DATA[i], tr);
    }
    rowCache = { data: DATA, rows: rows };
    return rows;
  }

  // Redraws the table body and the empty-state box. The table's tab stop
  // stays on the row of CUR while it is drawn; focus in the table moves on
  // with it.
  function render() {
    var list = visible();
    var rows = rowsOfData();
    var frag = document.createDocumentFragment();
    var stop = null;
    for (var i = 0; i < list.length; i++) {
      var tr = rows.get(list[i]);
      var cls = SEL === list[i].name ? 'row sel' : 'row';
      if (tr.className !== cls) tr.className = cls;
      if (!stop && list[i].name === CUR) stop = tr;
      frag.appendChild(tr);
    }
    var body = $('rows');
    var hadFocus = body.parentNode.contains(document.activeElement);
    body.textContent = '';
    body.appendChild(frag);
    setStop(stop || body.firstElementChild || body.parentNode);
    if (hadFocus) STOP.focus();
    $('empty').className = list.length ? 'empty hide' : 'empty';
  }

  // Moves the table's single tab stop to a row or to the table.
  function setStop(el) {
    if (STOP === el) return;
    if (STOP) STOP.removeAttribute('tabindex');
    STOP = el;
    el.tabIndex = 0;
  }

  // Loads the list; rejects with the server's error text or the browser's error.
  function load() {
    return api('list', 'filter=all').then(function (d) {
      if (!d || d.ok !== true) throw new Error(d && d.error ? String(d.error) : 'load failed');
      DATA = Array.isArray(d.services) ? d.services : [];
      CTL = !!d.control_enabled;
      var sum = d.summary || {};
      $('vAll').textContent = String(DATA.length);
      $('vRun').textContent = String(sum.running || 0);
      $('vFail').textContent = String(sum.failed || 0);
      $('vOff').textContent = String(sum.inactive || 0);
      $('initPill').textContent = 'init: ' + (d.init_system || 'unknown') +
        (CTL ? ' \u00b7 control on' : ' \u00b7 read-only');
      render();
    });
  }

  function find(name) {
    for (var i = 0; i < DATA.length; i++) if (DATA[i].name === name) return DATA[i];
    return null;
  }

  function fillDetails(s) {
    $('dState').textContent = stateLabel(s);
    $('dSub').textContent = s.sub || DASH;
    $('dEnabled').textContent = s.enabled || '-';
    $('dPid').textContent = s.pid > 0 ? String(s.pid) : DASH;
    $('dMem').textContent = bytes(s.memory_bytes);
    $('dSince').textContent = s.since || DASH;
  }

  // A duration in seconds as the drawer says it: "60 s", "5 min", "2 h",
  // "1 day".
  function duration(seconds) {
    if (seconds >= 86400 && seconds % 86400 === 0) {
      var days = seconds / 86400;
      return days + (days === 1 ? ' day' : ' days');
    }
    if (seconds >= 3600 && seconds % 3600 === 0) return seconds / 3600 + ' h';
    if (seconds >= 120 && seconds % 60 === 0) return seconds / 60 + ' min';
    return seconds + ' s';
  }

  function delay(ms) {
    return ms % 1000 ? ms + ' ms' : duration(ms / 1000);
  }

  // "restart after 60 s, none; reset after 1 day", or "none" without actions.
  function recoveryText(r) {
    if (!r) return DASH;
    var actions = Array.isArray(r.actions) ? r.actions : [];
    if (!actions.length) return 'none';
    var steps = actions.map(function (a) {
      return a.type === 'none' ? 'none' : String(a.type) + ' after ' + delay(Number(a.delay_ms) || 0);
    });
    var reset = r.reset_seconds === 4294967295 ? 'never reset' : 'reset after ' + duration(Number(r.reset_seconds) || 0);
    return steps.join(', ') + '; ' + reset;
  }

  function startText(x) {
    if (x.start_type == null) return DASH;
    var how = [];
    if (x.delayed_start === true) how.push('delayed');
    if (x.trigger_start === true) how.push('on trigger');
    return String(x.start_type) + (how.length ? ' (' + how.join(', ') + ')' : '');
  }

  function exitText(x) {
    if (x.exit_code == null) return DASH;
    return String(x.exit_code) + (x.service_exit_code ? ' (service code ' + x.service_exit_code + ')' : '');
  }

  // A list of service names; a name the list holds is a button that opens it.
  function namesHtml(names) {
    if (!Array.isArray(names)) return DASH;
    if (!names.length) return 'none';
    return '<ul class="names">' + names.map(function (n) {
      var e = esc(n);
      return '<li>' + (find(n) ? '<button type="button" class="link" data-n="' + e + '">' + e + '</button>' : e) + '</li>';
    }).join('') + '</ul>';
  }

  function kvRow(label, valueHtml) {
    return '<div class="k">' + label + '</div><div class="v">' + valueHtml + '</div>';
  }

  function textRow(label, value) {
    return kvRow(label, esc(value == null || value === '' ? DASH : value));
  }

  function detailsHtml(x) {
    var h = x.description ? '<p class="about">' + esc(x.description) + '</p>' : '';
    return h + '<div class="kv">' + textRow('Type', x.type) + textRow('Start', startText(x)) +
      textRow('Program', x.binary_path) + textRow('Account', x.account) +
      kvRow('Depends on', namesHtml(x.dependencies)) + kvRow('Required by', namesHtml(x.dependents)) +
      textRow('Last exit', exitText(x)) + textRow('Recovery', recoveryText(x.recovery)) + '</div>';
  }

  function detailsNote(cls, text) {
    $('dDetails').innerHTML = '<div class="' + cls + '">' + esc(text) + '</div>';
  }

  // Asks for the details of the named service and draws them under the
  // drawer's fields; a failure shows its text there instead.
  function loadDetails(name) {
    var seq = ++DETAILS.seq;
    DETAILS.name = name;
    DETAILS.doc = null;
    detailsNote('dnote', 'Loading details\u2026');
    api('details', 'unit=' + encodeURIComponent(name)).then(function (d) {
      if (seq !== DETAILS.seq) return;
      if (!d || d.ok !== true || !d.details) throw new Error(d && d.error ? String(d.error) : 'details failed');
      DETAILS.doc = d.details;
      $('dDetails').innerHTML = detailsHtml(d.details);
    }).catch(function (e) {
      if (seq === DETAILS.seq) detailsNote('dnote err', 'Could not load details: ' + (e && e.message));
    });
  }

  // The dependents of the drawer's service that the list shows running (or
  // paused or pending), as its details name them.
  function runningDependents(name) {
    var doc = DETAILS.name === name ? DETAILS.doc : null;
    if (!doc || !Array.isArray(doc.dependents)) return [];
    return doc.dependents.filter(function (n) {
      var s = find(n);
      var c = s && stateCls(s);
      return c === 'run' || c === 'warn';
    });
  }

  // Shows the named service in the drawer and asks for its details; `from`
  // is the row it was opened from, which takes the table's tab stop and gets
  // focus back on close. Focus moves into the drawer, without its ring when
  // a pointer opened it.
  function open(name, from, pointer) {
    var s = find(name);
    if (!s) return;
    if (SEL == null) BACK = from || null;
    if (from) CUR = name;
    SEL = name;
    $('dName').textContent = String(s.name);
    $('dDesc').textContent = s.description ? String(s.description) : '';
    fillDetails(s);
    var out = $('dOut');
    out.className = 'out hide';
    out.textContent = '';
    $('dCtl').className = CTL ? 'ctl' : 'ctl hide';
    var note = $('dNote');
    note.className = 'note';
    note.textContent = CTL ? NOTE_ON : NOTE_OFF;
    var drawer = $('drawer');
    drawer.className = 'drawer open';
    drawer.setAttribute('aria-hidden', 'false');
    setModal(true);
    $('scrim').className = 'scrim open';
    render();
    loadDetails(name);
    if (!drawer.contains(document.activeElement)) drawer.focus({ preventScroll: true, focusVisible: !pointer });
  }

  // Closes the drawer and returns focus to the row it came from, or to the
  // table when that row is no longer drawn; a click by pointer shows no ring.
  function close(e) {
    SEL = null;
    DETAILS.seq++;
    var drawer = $('drawer');
    drawer.className = 'drawer';
    drawer.setAttribute('aria-hidden', 'true');
    setModal(false);
    $('scrim').className = 'scrim';
    render();
    var back = BACK;
    BACK = null;
    if (back && back.parentNode === $('rows')) setStop(back);
    STOP.focus({ focusVisible: !(e && e.detail > 0) });
  }

  // While the drawer is open the page behind it is inert, and the closed
  // drawer is: nothing there can take focus or be read.
  function setModal(on) {
    $('drawer').inert = !on;
    document.querySelector('.wrap').inert = on;
  }

  // Refreshes the drawer's details from a newer service object.
  function show(s) {
    fillDetails(s);
    render();
  }

  // Asks, sends one control request for the selected service, reports the
  // outcome and reloads the list 700 ms after a success.
  function control(op) {
    if (SEL == null) return;
    var label = op;
    var name = SEL;
    var question = label + ' ' + name + '?\n\nThis runs ' + label + ' on the node\'s service manager.';
    var also = op === 'start' ? [] : runningDependents(name);
    if (also.length) question += '\n\nAlso running and depending on it: ' + also.join(', ') + '.';
    if (!window.confirm(question)) return;
    var out = $('dOut');
    out.className = 'out';
    out.textContent = 'Sending ' + label + ' ' + name + ' ...';
    var extra = 'unit=' + encodeURIComponent(name) + '&op=' + encodeURIComponent(op);
    api('control', extra, 'POST').then(function (d) {
      if (d && d.ok === true) {
        out.className = 'out ok';
        out.textContent = label + ' requested for ' + name + '.';
        window.setTimeout(reloadSelected, 700);
        return;
      }
      out.className = 'out err';
      out.textContent = d && d.error ? String(d.error) : 'HTTP error';
    }, function (e) {
      out.className = 'out err';
      out.textContent = 'Request failed: ' + (e && e.message);
    });
  }

  // The list and the details of the drawer's service, after a control.
  function reloadSelected() {
    load().then(function () {
      var s = SEL == null ? null : find(SEL);
      if (!s) return;
      show(s);
      loadDetails(SEL);
    }, function () {});
  }

  function setFilter(f) {
    FILTER = f;
    chip('cAll', f === '', '');
    chip('cRun', f === 'running', ' ok');
    chip('cFail', f === 'failed', ' bad');
    chip('cOff', f === 'inactive', ' none');
    render();
  }

  // A chip's classes and its pressed state, which says the same to a reader.
  function chip(id, selected, kind) {
    var c = $(id);
    c.className = 'chip' + (selected ? ' sel' : '') + kind;
    c.setAttribute('aria-pressed', selected ? 'true' : 'false');
  }

  // Arrow keys, Home and End move along the drawn rows; Enter and Space
  // open the focused row in the drawer.
  function onRowKey(e) {
    var tr = e.target;
    if (tr.parentNode !== $('rows') || e.altKey || e.ctrlKey || e.metaKey) return;
    var to;
    if (e.key === 'ArrowDown') to = tr.nextElementSibling;
    else if (e.key === 'ArrowUp') to = tr.previousElementSibling;
    else if (e.key === 'Home') to = tr.parentNode.firstElementChild;
    else if (e.key === 'End') to = tr.parentNode.lastElementChild;
    else if (e.key === 'Enter' || e.key === ' ') {
      e.preventDefault();
      open(tr.getAttribute('data-n'), tr);
      return;
    } else return;
    e.preventDefault();
    if (!to) return;
    setStop(to);
    to.focus();
  }

  // A row that takes focus becomes the table's tab stop.
  function onRowFocus(e) {
    var tr = e.target;
    if (tr.parentNode !== $('rows')) return;
    CUR = tr.getAttribute('data-n');
    setStop(tr);
  }

  // Whether an element is drawn (not hidden by a class or embed mode).
  function shown(el) {
    return !!el && el.getClientRects().length > 0;
  }

  // Elements of the open drawer that Tab reaches, looked up on every key so
  // that content added to the drawer later takes part.
  function drawerStops() {
    var all = $('drawer').querySelectorAll('button,input,select,textarea,a[href],[tabindex]');
    return Array.prototype.filter.call(all, function (el) {
      return el.tabIndex >= 0 && !el.disabled && shown(el);
    });
  }

  // Tab and Shift+Tab cycle inside the open drawer.
  function trapTab(e) {
    var drawer = $('drawer');
    var stops = drawerStops();
    var at = document.activeElement;
    var inside = drawer.contains(at);
    var to = null;
    if (!stops.length) to = drawer;
    else if (e.shiftKey && (!inside || at === drawer || at === stops[0])) to = stops[stops.length - 1];
    else if (!e.shiftKey && (!inside || at === stops[stops.length - 1])) to = stops[0];
    if (!to) return;
    e.preventDefault();
    to.focus();
  }

  // The header's buttons are reached after the search bar, as the page is
  // used: chips, search, sort, Refresh, theme, then the table. They are out
  // of the document's tab order and linked in here.
  function headerTab(e) {
    var chain = [$('sort'), $('btnRefresh'), $('btnTheme'), STOP].filter(shown);
    var i = chain.indexOf(document.activeElement);
    var to = i < 0 ? null : chain[i + (e.shiftKey ? -1 : 1)];
    if (!to) return;
    e.preventDefault();
    to.focus();
  }

  // Keys for the whole page: Escape closes the drawer; Tab is kept in the
  // open drawer, and follows the header's order while it is closed.
  function onKey(e) {
    if (e.key === 'Escape' && SEL != null) close();
    if (e.key !== 'Tab' || e.altKey || e.ctrlKey || e.metaKey) return;
    if (SEL != null) trapTab(e);
    else headerTab(e);
  }

  function on(id, type, fn) {
    $(id).addEventListener(type, fn);
  }

  // The theme bridge runs after this script, so its functions are looked up
  // once the document has been parsed.
  function setupTheme() {
    if (typeof window.zqApplyTheme !== 'function') {
      $('btnTheme').className = 'icon-btn embed-hide hide';
      return;
    }
    on('btnTheme', 'click', function () {
      var dark = typeof window.zqTheme === 'function' && window.zqTheme() === 'dark';
      window.zqApplyTheme(dark ? 'light' : 'dark');
    });
  }

  on('cAll', 'click', function () { setFilter(''); });
  on('cRun', 'click', function () { setFilter('running'); });
  on('cFail', 'click', function () { setFilter('failed'); });
  on('cOff', 'click', function () { setFilter('inactive'); });
  on('q', 'input', render);
  on('sort', 'change', function () {
    SORT = $('sort').value;
    render();
  });
  on('btnRefresh', 'click', function () { load().catch(function () {}); });
  on('dClose', 'click', close);
  on('dDetails', 'click', function (e) {
    var b = e.target.closest('button[data-n]');
    if (b) open(b.getAttribute('data-n'), null, e.detail > 0);
  });
  on('scrim', 'click', close);
  on('opStart', 'click', function () { control('start'); });
  on('opStop', 'click', function () { control('stop'); });
  on('opRestart', 'click', function () { control('restart'); });
  on('rows', 'keydown', onRowKey);
  on('rows', 'focusin', onRowFocus);
  document.addEventListener('keydown', onKey);
  $('btnRefresh').tabIndex = -1;
  $('btnTheme').tabIndex = -1;

  if (document.readyState === 'loading') {
    document.addEventListener('DOMContentLoaded', setupTheme);
  } else {
    window.setTimeout(setupTheme, 0);
  }

  setFilter('');
  load().catch(function (e) {
    var box = $('empty');
    box.className = 'empty';
    box.textContent = 'Could not load services: ' + (e && e.message);
  });
})();
