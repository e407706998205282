// The live log: a fetch() body reader on /api/v1/log/stream (EventSource cannot send the
// Authorization header), polling /api/v1/log?after=N when the stream fails.
import { $, cell, el, sleep, timeCell } from './consoleutil.js';

const LOG_POLL_MS = 2000;
const LOG_RETRY_STREAM_MS = 30000;
const LOG_SILENCE_MS = 45000; // three missed keepalives: the stream is dead
const LOG_MAX_ROWS = 5000;

// The console's state (token, page, log), apiJson and signOut, handed over by initLog.
let ctx = null;

export function initLog(context) {
  ctx = context;
}

function setLogMode(text, mode) {
  $('logMode').textContent = text;
  $('logMode').dataset.mode = mode;
}

function addLogLines(lines) {
  const body = $('logBody');
  // Only lines that arrive while the operator watches are marked, not the first load.
  const flash = ctx.state.page === 'Log' && ctx.state.log.lastSeq > 0 && !document.hidden;
  const fresh = lines.filter((l) => typeof l.seq === 'number' && l.seq > ctx.state.log.lastSeq).sort((a, b) => a.seq - b.seq);
  for (const line of fresh) {
    ctx.state.log.lastSeq = line.seq;
    const row = el('tr', { class: flash ? 'fresh' : '' }, [timeCell('Time', line.time, false, true), cell('Message', line.text)]);
    row.dataset.seq = line.seq;
    body.prepend(row);
  }
  while (body.rows.length > LOG_MAX_ROWS) body.lastElementChild.remove();
}

async function pollLog(signal) {
  for (let i = 0; i < 50; i++) {
    const answer = await ctx.apiJson('GET', `/api/v1/log?after=${ctx.state.log.lastSeq}`, undefined, signal);
    const lines = answer.lines || [];
    addLogLines(lines);
    if (lines.length < 1000) return;
  }
}

async function streamLog(gen, outer) {
  const abort = new AbortController();
  outer.addEventListener('abort', () => abort.abort());
  let watchdog = setTimeout(() => abort.abort(), LOG_SILENCE_MS);
  try {
    // With Last-Event-ID the server may replay what came after it; duplicates are dropped.
    const headers = { Authorization: `Bearer ${ctx.state.token}`, Accept: 'text/event-stream', 'Last-Event-ID': String(ctx.state.log.lastSeq) };
    const res = await fetch('/api/v1/log/stream', { headers, cache: 'no-store', credentials: 'omit', signal: abort.signal });
    if (res.status === 401) return ctx.signOut('The token was refused. Sign in again.');
    if (!res.ok || !res.body) return;
    setLogMode('Live.', 'live');
    // Lines written between the last poll and the stream's start come from one more poll;
    // stream lines wait until it is in, so the order holds.
    const pending = [];
    let caughtUp = false;
    pollLog(abort.signal).catch(() => {}).finally(() => {
      caughtUp = true;
      addLogLines(pending);
    });
    const reader = res.body.pipeThrough(new TextDecoderStream()).getReader();
    let buffer = '';
    for (;;) {
      const { value, done } = await reader.read();
      if (done || gen !== ctx.state.log.gen) return;
      clearTimeout(watchdog);
      watchdog = setTimeout(() => abort.abort(), LOG_SILENCE_MS);
      buffer = (buffer + value).replace(/\r\n?/g, '\n');
      let end;
      while ((end = buffer.indexOf('\n\n')) >= 0) {
        const event = buffer.slice(0, end);
        buffer = buffer.slice(end + 2);
        const data = event.split('\n').filter((l) => l.startsWith('data:')).map((l) => l.slice(5).replace(/^ /, '')).join('\n');
        if (!data) continue;
        try {
          const line = JSON.parse(data);
          if (caughtUp) addLogLines([line]);
          else pending.push(line);
        } catch (_) {
          // a line the console does not understand is left out
        }
      }
    }
  } finally {
    clearTimeout(watchdog);
    abort.abort();
  }
}

async function logLoop(gen, signal) {
  setLogMode('Connecting…', 'connecting');
  while (gen === ctx.state.log.gen) {
    try {
      await pollLog(signal);
      await streamLog(gen, signal);
    } catch (e) {
      if (e.status === 401) return;
    }
    if (gen !== ctx.state.log.gen) return;
    setLogMode(`Refreshed every ${LOG_POLL_MS / 1000} seconds.`, 'polling');
    const until = Date.now() + LOG_RETRY_STREAM_MS;
    while (gen === ctx.state.log.gen && Date.now() < until) {
      await sleep(LOG_POLL_MS);
      if (gen !== ctx.state.log.gen) return;
      try {
        await pollLog(signal);
      } catch (e) {
        if (e.status === 401) return;
      }
    }
  }
}

export function startLog() {
  stopLog();
  ctx.state.log.lastSeq = 0;
  ctx.state.log.abort = new AbortController();
  logLoop(ctx.state.log.gen, ctx.state.log.abort.signal);
}

export function stopLog() {
  ctx.state.log.gen += 1;
  if (ctx.state.log.abort) ctx.state.log.abort.abort();
  ctx.state.log.abort = null;
}
