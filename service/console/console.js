// The operators' console: plain ES2020, no framework, nothing fetched from elsewhere. The admin
// token lives in this tab's sessionStorage and travels only in the Authorization header.
import { $, cell, el, fmtBytes, fmtDate, fmtUptime, number, showMessage, sizeCell, timeCell, versionCell } from './consoleutil.js';
import { initLog, startLog, stopLog } from './consolelog.js';

(() => {
  const TOKEN_KEY = 'tolvern.console.token';
  const PAGE_SIZE = 100;
  const STATUS_EVERY_MS = 2000;

  const state = {
    token: null,
    page: null,
    statusTimer: 0,
    users: { offset: 0, sort: 'id', filter: '', total: 0, seq: 0, selected: new Set() },
    filterTimer: 0,
    savesUser: 0,
    names: new Map(), // object id -> name, for headings
    log: { gen: 0, lastSeq: 0, abort: null },
  };


  // ---- The API ----

  class ApiError extends Error {
    constructor(status, message) {
      super(message);
      this.status = status;
    }
  }

  function lockedText(response) {
    const after = Number(response.headers.get('Retry-After')) || 60;
    return `Too many wrong tokens from this address: it is locked for ${after} seconds. Try again after that.`;
  }

  async function api(method, path, body, signal) {
    const headers = { Authorization: `Bearer ${state.token}` };
    const init = { method, headers, cache: 'no-store', credentials: 'omit', signal };
    if (body !== undefined) {
      headers['Content-Type'] = 'application/json';
      init.body = JSON.stringify(body);
    }
    let res;
    try {
      res = await fetch(path, init);
    } catch (e) {
      if (e.name === 'AbortError') throw e;
      throw new ApiError(0, 'The server cannot be reached');
    }
    if (res.status === 401) {
      signOut('The token was refused. Sign in again.');
      throw new ApiError(401, 'The token was refused');
    }
    if (res.status === 429) throw new ApiError(429, lockedText(res));
    if (!res.ok) {
      let text = `HTTP ${res.status}`;
      try {
        const answer = await res.json();
        if (answer && answer.error) text = answer.error;
      } catch (_) {
        // not JSON: the status says enough
      }
      throw new ApiError(res.status, text);
    }
    return res;
  }

  async function apiJson(method, path, body, signal) {
    const res = await api(method, path, body, signal);
    return res.status === 204 ? null : res.json();
  }

  // ---- Sign in and out ----

  async function signIn(token) {
    state.token = token;
    try {
      await apiJson('GET', '/api/v1/status');
    } catch (e) {
      if (e.status !== 401) {
        state.token = null;
        $('signInError').textContent = e.message;
      }
      return false;
    }
    sessionStorage.setItem(TOKEN_KEY, token);
    $('signInError').textContent = '';
    $('edToken').value = '';
    $('nav').hidden = false;
    $('btnSignOut').hidden = false;
    startLog();
    route(true);
    return true;
  }

  function signOut(message = '') {
    sessionStorage.removeItem(TOKEN_KEY);
    state.token = null;
    stopLog();
    clearTimeout(state.statusTimer);
    for (const dlg of document.querySelectorAll('dialog[open]')) dlg.close();
    $('usersBody').replaceChildren();
    $('logBody').replaceChildren();
    $('savesList').replaceChildren();
    state.names.clear();
    Object.assign(state.users, { offset: 0, sort: 'id', filter: '', total: 0 });
    $('edFilter').value = '';
    showSort();
    $('nav').hidden = true;
    $('btnSignOut').hidden = true;
    $('signInError').textContent = message;
    $('edToken').value = '';
    showPage('SignIn');
    $('edToken').focus();
  }

  // ---- Pages ----

  function showPage(name) {
    for (const page of document.querySelectorAll('main > .page')) page.hidden = page.id !== `page${name}`;
    state.page = name;
    for (const link of document.querySelectorAll('#nav a')) {
      const current = link.dataset.page === name.toLowerCase() || (name === 'Saves' && link.dataset.page === 'users');
      if (current) link.setAttribute('aria-current', 'page');
      else link.removeAttribute('aria-current');
    }
  }

  function route(initial = false) {
    if (!state.token) return showPage('SignIn');
    const hash = location.hash.replace(/^#/, '');
    clearTimeout(state.statusTimer);
    const saves = /^user\/(\d+)$/.exec(hash);
    if (saves) {
      showPage('Saves');
      loadSaves(Number(saves[1]));
    } else if (hash === 'users') {
      showPage('Users');
      loadUsers();
    } else if (hash === 'log') {
      showPage('Log');
    } else {
      showPage('Status');
      loadStatus();
    }
    if (!initial) {
      const heading = document.querySelector(`#page${state.page} h2`);
      heading.tabIndex = -1;
      heading.focus();
    }
  }

  // ---- Status ----

  async function loadStatus() {
    clearTimeout(state.statusTimer);
    if (state.page !== 'Status' || !state.token) return;
    try {
      const s = await apiJson('GET', '/api/v1/status');
      const ports = s.ports || {};
      const conns = s.connections || {};
      const storage = s.storage || {};
      $('stVersion').textContent = s.version || '–';
      $('stUptime').textContent = fmtUptime(s.uptimeSeconds);
      $('stControlPort').textContent = ports.control ?? '–';
      $('stFilePort').textContent = ports.file ?? '–';
      $('stHttpPort').textContent = ports.http ?? '–';
      $('stControlConns').textContent = number.format(conns.control ?? 0);
      $('stFileConns').textContent = number.format(conns.file ?? 0);
      $('stDatabase').textContent = s.database === 'postgresql' ? 'PostgreSQL (users shared by the fleet)' : s.database === 'sqlite' ? 'SQLite' : s.database || '–';
      $('stStorage').textContent = fmtBytes(storage.bytes);
      $('stFree').textContent = fmtBytes(storage.freeBytes);
      $('stUpdated').textContent = `Updated ${fmtDate(new Date(), false, true)}`;
    } catch (e) {
      if (e.status === 401) return;
      $('stUpdated').textContent = `Not updated: ${e.message}`;
    }
    if (state.page === 'Status' && state.token && !document.hidden) state.statusTimer = setTimeout(loadStatus, STATUS_EVERY_MS);
  }

  // ---- Users ----

  async function loadUsers() {
    const u = state.users;
    const seq = ++u.seq;
    const query = new URLSearchParams({ filter: u.filter, sort: u.sort, offset: String(u.offset), limit: String(PAGE_SIZE) });
    let answer;
    try {
      answer = await apiJson('GET', `/api/v1/users?${query}`);
    } catch (e) {
      if (e.status !== 401) showMessage(`Users could not be loaded: ${e.message}`, true);
      return;
    }
    if (seq !== u.seq) return; // a newer request is on its way
    u.total = answer.total || 0;
    if (u.offset >= u.total && u.total > 0) {
      u.offset = Math.floor((u.total - 1) / PAGE_SIZE) * PAGE_SIZE;
      return loadUsers();
    }
    u.selected.clear();
    const rows = (answer.users || []).map(userRow);
    $('usersBody').replaceChildren(...rows);
    $('usersEmpty').hidden = rows.length > 0;
    const first = u.total ? u.offset + 1 : 0;
    const last = u.offset + rows.length;
    // The same pager above the table and below it.
    for (const pager of document.querySelectorAll('#pageUsers .pager')) {
      pager.querySelector('.range').textContent = u.total ? `${number.format(first)}–${number.format(last)} of ${number.format(u.total)}` : 'No users';
      pager.querySelector('.first').disabled = pager.querySelector('.prev').disabled = u.offset === 0;
      pager.querySelector('.next').disabled = pager.querySelector('.last').disabled = last >= u.total;
    }
    updateSelection();
  }

  function userRow(user) {
    state.names.set(user.id, user.name);
    const check = el('input', { type: 'checkbox', 'aria-label': `Select user ${user.name}` });
    check.dataset.id = user.id;
    check.addEventListener('change', () => {
      if (check.checked) state.users.selected.add(user.id);
      else state.users.selected.delete(user.id);
      check.closest('tr').classList.toggle('selected', check.checked);
      updateSelection();
    });
    const actions = el('td', { class: 'actions', 'data-label': 'Actions' }, [
      el('button', { type: 'button', class: 'small', text: 'Saves', 'aria-label': `Saves of ${user.name}`, onclick: () => { location.hash = `#user/${user.id}`; } }),
      el('button', { type: 'button', class: 'small', text: 'Change Pass', 'aria-label': `Change Pass of ${user.name}`, onclick: () => openPassword(user) }),
      el('button', { type: 'button', class: 'small', text: 'Export', 'aria-label': `Export ${user.name}`, onclick: () => exportUser(user.id) }),
    ]);
    const row = el('tr', {}, [cell('Select', check, 'check'), cell('ID', String(user.id), 'num'), cell('User Name', user.name), timeCell('Lastest Login', user.lastLogin, true, false), actions]);
    row.dataset.id = user.id;
    return row;
  }

  function updateSelection() {
    const count = state.users.selected.size;
    $('btnDel').disabled = count === 0;
    const boxes = $('usersBody').querySelectorAll('input[type=checkbox]');
    $('chkAll').checked = boxes.length > 0 && count === boxes.length;
    $('chkAll').indeterminate = count > 0 && count < boxes.length;
  }

  function sortBy(key) {
    const u = state.users;
    u.sort = u.sort === key ? `-${key}` : key;
    showSort();
    u.offset = 0;
    loadUsers();
  }

  function showSort() {
    const sort = state.users.sort;
    for (const th of document.querySelectorAll('#tblUsers th[data-sort]')) {
      const k = th.dataset.sort;
      th.setAttribute('aria-sort', sort === k ? 'ascending' : sort === `-${k}` ? 'descending' : 'none');
    }
  }

  async function deleteSelected() {
    const ids = [...state.users.selected];
    if (!ids.length) return showMessage('Please select user first', true);
    if (!(await confirmBox('Question!', `Are you sure you want to delete these ${ids.length} users?`))) return;
    const failed = [];
    for (const id of ids) {
      try {
        await api('DELETE', `/api/v1/users/${id}`);
      } catch (e) {
        if (e.status === 401) return;
        failed.push(`${id}: ${e.message}`);
      }
    }
    if (failed.length) showMessage(`Cannot delete users ${failed.join(', ')}`, true);
    else showMessage(`Deleted ${ids.length} users`);
    loadUsers();
  }

  // ---- Dialogs ----

  function openDialog(dlg, focusId) {
    const opener = document.activeElement;
    dlg.querySelector('.error').textContent = '';
    dlg.addEventListener('close', () => { if (opener && opener.isConnected) opener.focus(); }, { once: true });
    dlg.showModal();
    if (focusId) $(focusId).focus();
  }

  function dialogError(dlg, text) {
    dlg.querySelector('.error').textContent = text;
  }

  function confirmBox(title, text) {
    const dlg = $('dlgConfirm');
    $('hConfirm').textContent = title;
    $('confirmText').textContent = text;
    return new Promise((resolve) => {
      let yes = false;
      const onSubmit = (ev) => {
        ev.preventDefault();
        yes = true;
        dlg.close();
      };
      $('formConfirm').addEventListener('submit', onSubmit);
      const opener = document.activeElement;
      dlg.addEventListener('close', () => {
        $('formConfirm').removeEventListener('submit', onSubmit);
        if (opener && opener.isConnected) opener.focus();
        resolve(yes);
      }, { once: true });
      dlg.showModal();
      $('btnNo').focus(); // no default answer
    });
  }

  async function submitAdd(ev) {
    ev.preventDefault();
    const dlg = $('dlgAdd');
    const name = $('edAddName').value.trim();
    const password = $('edAddPass').value;
    if (!name) return dialogError(dlg, 'User name is empty');
    if (!password) return dialogError(dlg, 'Password is empty');
    try {
      const answer = await apiJson('POST', '/api/v1/users', { name, password });
      dlg.close();
      showMessage(`User ${name} added, object id ${answer.id}`);
      loadUsers();
    } catch (e) {
      if (e.status === 409) dialogError(dlg, `User name [${name}] already exists`);
      else if (e.status !== 401) dialogError(dlg, e.status === 400 ? e.message : `User create failed: ${e.message}`);
    }
  }

  function openPassword(user) {
    $('formPass').dataset.id = user.id;
    $('passUser').textContent = `User ${user.name}, object id ${user.id}`;
    $('edNewPass').value = '';
    openDialog($('dlgPass'), 'edNewPass');
  }

  async function submitPassword(ev) {
    ev.preventDefault();
    const dlg = $('dlgPass');
    const password = $('edNewPass').value;
    if (!password) return dialogError(dlg, 'Password is empty');
    try {
      await api('PUT', `/api/v1/users/${$('formPass').dataset.id}/password`, { password });
      dlg.close();
      showMessage('Change password succeed');
    } catch (e) {
      if (e.status !== 401) dialogError(dlg, `Change password failed: ${e.message}`);
    }
  }

  function purgeRequest(dryRun) {
    const dataOnly = document.querySelector('input[name=purgeMode]:checked').value === 'data';
    return apiJson('POST', '/api/v1/users/purge', { inactive: $('selInactive').value, dataOnly, dryRun });
  }

  function whoText(answer) {
    const users = answer.users || [];
    const names = users.slice(0, 20).map((u) => `${u.name} (${u.id})`).join(', ');
    return `${answer.deleted} users${names ? `: ${names}` : ''}${users.length > 20 ? ', …' : ''}`;
  }

  async function previewPurge() {
    try {
      $('purgePreview').textContent = `Would go: ${whoText(await purgeRequest(true))}`;
    } catch (e) {
      if (e.status !== 401) dialogError($('dlgPurge'), e.message);
    }
  }

  async function submitPurge(ev) {
    ev.preventDefault();
    const dlg = $('dlgPurge');
    const dataOnly = document.querySelector('input[name=purgeMode]:checked').value === 'data';
    dlg.close();
    if (!(await confirmBox('Confirm', dataOnly ? 'Are you sure to clear?' : 'Are you sure to delete?'))) return;
    try {
      const answer = await purgeRequest(false);
      showMessage(`OK! ${dataOnly ? 'Game data cleared for' : 'Deleted'} ${whoText(answer)}`);
      loadUsers();
    } catch (e) {
      if (e.status !== 401) showMessage(e.message, true);
    }
  }

  // ---- Saves and their history ----

  async function loadSaves(id) {
    state.savesUser = id;
    const name = state.names.get(id);
    $('hSaves').textContent = name ? `Save History of ${id} (${name})` : `Save History of ${id}`;
    $('savesInfo').textContent = 'Loading…';
    $('savesList').replaceChildren();
    let saves;
    try {
      saves = (await apiJson('GET', `/api/v1/users/${id}/saves`)).saves || [];
    } catch (e) {
      if (e.status === 401) return;
      $('savesInfo').textContent = e.status === 404 ? `No game data for ${id}` : e.message;
      return;
    }
    if (state.savesUser !== id) return;
    $('savesInfo').textContent = saves.length ? 'Select a version and press Restore to make it current; the current archive is kept as a version.' : 'No saves';
    const sections = [];
    for (const save of saves) {
      const section = el('section', { class: 'save', 'aria-label': `Save ${save.name}` }, [el('h3', { text: save.name })]);
      section.dataset.save = save.name;
      sections.push(section);
      $('savesList').append(section);
      loadHistory(id, save, section);
    }
  }

  async function loadHistory(id, save, section) {
    const head = el('tr', {}, ['Version', 'Size', 'Time', 'Actions'].map((t) => el('th', { scope: 'col', text: t })));
    const body = el('tbody');
    // Nothing to do with the current archive: its empty cell keeps the columns, not a card's row.
    const current = el('tr', { class: 'current' }, [cell('Version', 'current'), sizeCell('Size', save.size), timeCell('Time', save.modified, true, true), cell('Actions', '', 'actions empty')]);
    body.append(current);
    section.append(el('table', { class: 'grid' }, [el('thead', {}, [head]), body]));
    let versions;
    try {
      versions = (await apiJson('GET', `/api/v1/users/${id}/saves/${encodeURIComponent(save.name)}/history`)).versions || [];
    } catch (e) {
      if (e.status !== 401) section.append(el('p', { class: 'error', text: e.message }));
      return;
    }
    for (const v of versions) {
      const restore = el('button', { type: 'button', class: 'small', text: 'Restore', 'aria-label': `Restore ${save.name} to version ${v.version}`, onclick: () => restoreVersion(id, save.name, v.version) });
      const row = el('tr', {}, [versionCell(v.version), sizeCell('Size', v.size), timeCell('Time', v.modified, true, true), cell('Actions', restore, 'actions')]);
      row.dataset.version = v.version;
      body.append(row);
    }
    if (!versions.length) section.append(el('p', { class: 'hint', text: 'No earlier versions' }));
  }

  async function restoreVersion(id, save, version) {
    const saveName = `${id}/${save}`;
    if (!(await confirmBox('Question!', `Restore save ${saveName} to version ${version}? The current archive is kept as a version.`))) return;
    try {
      await apiJson('POST', `/api/v1/users/${id}/saves/${encodeURIComponent(save)}/restore`, { version });
      showMessage(`Save restored: ${saveName} is version ${version} again`);
    } catch (e) {
      if (e.status === 401) return;
      showMessage(`Restore failed: ${e.message}`, true);
    }
    if (state.page === 'Saves' && state.savesUser === id) loadSaves(id);
  }

  async function exportUser(id) {
    try {
      const res = await api('GET', `/api/v1/users/${id}/export`);
      const blob = await res.blob();
      const disposition = res.headers.get('Content-Disposition') || '';
      const match = /filename\*?=(?:UTF-8'')?"?([^";]+)"?/i.exec(disposition);
      const url = URL.createObjectURL(blob);
      const link = el('a', { href: url, download: match ? decodeURIComponent(match[1]) : `tolvern-user-${id}.tar` });
      document.body.append(link);
      link.click();
      link.remove();
      setTimeout(() => URL.revokeObjectURL(url), 60000);
      showMessage(`Exported user ${id} (${fmtBytes(blob.size)})`);
    } catch (e) {
      if (e.status !== 401) showMessage(`Export failed: ${e.message}`, true);
    }
  }

  // ---- Wiring ----

  function wire() {
    document.querySelector('.skip').addEventListener('click', (ev) => {
      ev.preventDefault();
      $('main').focus();
    });
    $('formSignIn').addEventListener('submit', (ev) => {
      ev.preventDefault();
      const token = $('edToken').value.trim();
      if (!token) {
        $('signInError').textContent = 'Please enter the admin token';
        return;
      }
      signIn(token);
    });
    $('btnSignOut').addEventListener('click', () => signOut('Signed out.'));
    window.addEventListener('hashchange', () => {
      if (takeTokenFromHash()) return;
      route();
    });
    document.addEventListener('visibilitychange', () => {
      if (!document.hidden && state.page === 'Status') loadStatus();
    });

    $('edFilter').addEventListener('input', () => {
      clearTimeout(state.filterTimer);
      state.filterTimer = setTimeout(() => {
        state.users.filter = $('edFilter').value.trim();
        state.users.offset = 0;
        loadUsers();
      }, 250);
    });
    for (const th of document.querySelectorAll('#tblUsers th[data-sort]')) th.querySelector('button').addEventListener('click', () => sortBy(th.dataset.sort));
    $('chkAll').addEventListener('change', () => {
      for (const box of $('usersBody').querySelectorAll('input[type=checkbox]')) {
        if (box.checked !== $('chkAll').checked) {
          box.checked = $('chkAll').checked;
          box.dispatchEvent(new Event('change'));
        }
      }
    });
    const pageTo = (offset) => {
      state.users.offset = Math.max(0, offset);
      loadUsers();
    };
    for (const pager of document.querySelectorAll('#pageUsers .pager')) {
      pager.querySelector('.first').addEventListener('click', () => pageTo(0));
      pager.querySelector('.prev').addEventListener('click', () => pageTo(state.users.offset - PAGE_SIZE));
      pager.querySelector('.next').addEventListener('click', () => pageTo(state.users.offset + PAGE_SIZE));
      pager.querySelector('.last').addEventListener('click', () => pageTo(Math.floor(Math.max(0, state.users.total - 1) / PAGE_SIZE) * PAGE_SIZE));
    }
    $('btnRefresh').addEventListener('click', loadUsers);
    $('btnDel').addEventListener('click', deleteSelected);
    $('btnAdd').addEventListener('click', () => {
      $('edAddName').value = '';
      $('edAddPass').value = '';
      openDialog($('dlgAdd'), 'edAddName');
    });
    $('btnPurge').addEventListener('click', () => {
      $('purgePreview').textContent = '';
      openDialog($('dlgPurge'), 'selInactive');
    });
    $('formAdd').addEventListener('submit', submitAdd);
    $('formPass').addEventListener('submit', submitPassword);
    $('formPurge').addEventListener('submit', submitPurge);
    $('btnPurgePreview').addEventListener('click', previewPurge);
    for (const button of document.querySelectorAll('dialog .cancel')) button.addEventListener('click', () => button.closest('dialog').close());

    $('btnSavesRefresh').addEventListener('click', () => loadSaves(state.savesUser));
    $('btnExport').addEventListener('click', () => exportUser(state.savesUser));
  }

  // "#token=..." signs this tab in; the token leaves the address bar (and its history) at once.
  function takeTokenFromHash() {
    const match = /^#token=(.*)$/.exec(location.hash);
    if (!match) return false;
    history.replaceState(null, '', `${location.pathname}${location.search}#status`);
    let token = '';
    try {
      token = decodeURIComponent(match[1]);
    } catch (_) {
      token = match[1];
    }
    if (token) signIn(token);
    return true;
  }

  initLog({ state, apiJson, signOut });
  wire();
  if (!takeTokenFromHash()) {
    const kept = sessionStorage.getItem(TOKEN_KEY);
    if (kept) signIn(kept);
    else signOut();
  }
})();
