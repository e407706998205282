// Helpers of the console's pages: DOM building, the window's time formats, sizes, messages.

export const $ = (id) => document.getElementById(id);

// ---- Small helpers ----

export const pad = (n) => String(n).padStart(2, '0');
export const number = new Intl.NumberFormat('en');
export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

export function el(tag, props = {}, children = []) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(props)) {
    if (key === 'text') node.textContent = value;
    else if (key === 'class') node.className = value;
    else if (key.startsWith('on')) node.addEventListener(key.slice(2), value);
    else node.setAttribute(key, value);
  }
  for (const child of children) node.append(child);
  return node;
}

export function cell(label, content, cls) {
  const td = el('td', { 'data-label': label });
  if (cls) td.className = cls;
  if (content instanceof Node) td.append(content);
  else td.textContent = content;
  return td;
}

export function parseTime(iso) {
  const d = iso ? new Date(iso) : null;
  return d && !Number.isNaN(d.getTime()) ? d : null;
}
// The window's formats: log "MM-dd hh:mm:ss", last login "yy-MM-dd hh:mm", in local time.
export function fmtDate(d, withYear, withSeconds) {
  let text = `${pad(d.getMonth() + 1)}-${pad(d.getDate())} ${pad(d.getHours())}:${pad(d.getMinutes())}`;
  if (withYear) text = `${pad(d.getFullYear() % 100)}-${text}`;
  if (withSeconds) text += `:${pad(d.getSeconds())}`;
  return text;
}
export function sizeCell(label, bytes) {
  const td = cell(label, fmtBytes(bytes), 'num');
  if (typeof bytes === 'number') td.title = `${bytes}`;
  return td;
}
export function timeCell(label, iso, withYear, withSeconds) {
  const d = parseTime(iso);
  const td = cell(label, d ? fmtDate(d, withYear, withSeconds) : '');
  if (d) td.title = d.toISOString();
  return td;
}

// A version is named by the UTC time it was kept ("2026-12-07T10-40-02.517Z", the name the
// admin command takes): shown in the Time column's format, the name in its title.
export function versionCell(version) {
  const iso = version.replace(/T(\d\d)-(\d\d)-(\d\d)/, 'T$1:$2:$3');
  const td = timeCell('Version', iso, true, true);
  if (!td.title) td.textContent = version;
  td.title = version;
  return td;
}

export function fmtBytes(n) {
  if (typeof n !== 'number' || n < 0) return '–';
  const units = ['B', 'KiB', 'MiB', 'GiB', 'TiB'];
  let value = n;
  let unit = 0;
  while (value >= 1024 && unit < units.length - 1) {
    value /= 1024;
    unit += 1;
  }
  return unit === 0 ? `${n} B` : `${value.toFixed(1)} ${units[unit]}`;
}

export function fmtUptime(seconds) {
  const s = Math.max(0, Math.floor(seconds || 0));
  const days = Math.floor(s / 86400);
  const clock = `${pad(Math.floor((s % 86400) / 3600))}:${pad(Math.floor((s % 3600) / 60))}:${pad(s % 60)}`;
  return days ? `${days} d ${clock}` : clock;
}

// ---- Messages ----

export function showMessage(text, isError = false) {
  const box = $('messages');
  const close = el('button', { type: 'button', class: 'small quiet', text: 'Dismiss' });
  const msg = el('div', { class: isError ? 'message error' : 'message' }, [el('span', { text }), close]);
  if (isError) msg.setAttribute('role', 'alert');
  close.addEventListener('click', () => msg.remove());
  box.append(msg);
  while (box.children.length > 4) box.firstElementChild.remove();
  if (!isError) setTimeout(() => msg.remove(), 8000);
}
