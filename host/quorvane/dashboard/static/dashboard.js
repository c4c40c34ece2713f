// The dashboard's script: polls market status, snapshots and batch-intraday, and redraws the page.
// Every figure goes through num() or text(), so a field that is missing, null or not a finite
// number reads "—": the page never shows NaN or undefined. ?symbols=A,B and ?refresh=SECONDS
// override the demo symbols and the 5 s period.
"use strict";

const DASH = "—";
const params = new URLSearchParams(location.search);
const SYMBOLS = (params.get("symbols") || "AAPL,MSFT,NVDA,SPY,TSLA")
  .split(",").map((s) => s.trim().toUpperCase()).filter(Boolean);
const REFRESH_S = Number(params.get("refresh")) > 0 ? Number(params.get("refresh")) : 5;
const SESSIONS = {
  OPEN: "Open", PRE: "Pre-market", AFTER: "After hours", NIGHT: "Overnight", CLOSED: "Closed",
};
const NY = { timeZone: "America/New_York", hour: "2-digit", minute: "2-digit", hourCycle: "h23" };

const finite = (v) => typeof v === "number" && Number.isFinite(v);
const num = (v, digits = 2) => finite(v)
  ? v.toLocaleString("en-US", { minimumFractionDigits: digits, maximumFractionDigits: digits }) : DASH;
const signed = (v, suffix = "") => finite(v) ? (v > 0 ? "+" : "") + num(v) + suffix : DASH;
const text = (v) => typeof v === "string" && v.trim() ? v : DASH;
const clock = (d) => d.toLocaleTimeString("en-US", { hourCycle: "h23" });
const $ = (id) => document.getElementById(id);

// An answer the service gave but that is not a success (HTTP status or "success": false).
class RouteError extends Error {}

async function getJSON(path, init = {}) {
  const response = await fetch(path, { cache: "no-store", signal: AbortSignal.timeout(15000), ...init });
  let body = null;
  try {
    body = await response.json();
  } catch {
    // not JSON: reported by status below
  }
  if (!response.ok || !body || body.success === false) {
    const why = body && (typeof body.error === "string" ? body.error : JSON.stringify(body.detail ?? ""));
    throw new RouteError(`${path.split("?")[0]}: HTTP ${response.status}${why ? " " + why : ""}`);
  }
  return body;
}

const cards = new Map();

function makeCards() {
  const template = $("card").content;
  for (const symbol of SYMBOLS) {
    const card = template.firstElementChild.cloneNode(true);
    card.dataset.symbol = symbol;
    card.querySelector(".symbol").textContent = symbol;
    $("symbols").append(card);
    cards.set(symbol, card);
  }
}

function setField(card, selector, value) {
  card.querySelector(selector).textContent = value;
}

// "2026-12-08" as "Tue, Dec 8"; anything else as it is
function day(iso) {
  const d = typeof iso === "string" ? new Date(`${iso}T12:00:00Z`) : null;
  return d && Number.isFinite(d.getTime())
    ? d.toLocaleDateString("en-US", { timeZone: "UTC", weekday: "short", month: "short", day: "numeric" }) : text(iso);
}

function showMarket(status) {
  const session = $("session");
  session.dataset.session = typeof status.session === "string" ? status.session : "";
  session.textContent = SESSIONS[status.session] || text(status.session);
  session.title = text(status.timezone);
  const parts = [`${day(status.date)}${status.is_trading_day === false ? " (no session)" : ""}`];
  const hm = (iso) => (typeof iso === "string" && /T(\d\d:\d\d)/.exec(iso)?.[1]) || DASH;
  if (status.next_trading_day) {
    parts.push(`next session ${day(status.next_trading_day)}, ${hm(status.next_open)}–${hm(status.next_close)}`);
  }
  const holiday = status.next_holiday;
  if (holiday && typeof holiday === "object") {
    const days = finite(holiday.days_until) ? `, in ${holiday.days_until} days` : "";
    parts.push(`next holiday ${text(holiday.name)} (${day(holiday.date)}${days})`);
  }
  $("market-detail").textContent = parts.join(" · ");
}

function showQuote(card, quote) {
  setField(card, ".last", num(quote.last));
  setField(card, ".change", finite(quote.change)
    ? `${signed(quote.change)}${finite(quote.changePercent) ? ` (${signed(quote.changePercent, "%")})` : ""}` : DASH);
  card.querySelector(".change").dataset.sign = finite(quote.change) ? Math.sign(quote.change) : "";
  setField(card, ".source", text(quote.source));
  setField(card, ".close", num(quote.close));
  setField(card, ".range", finite(quote.low) && finite(quote.high) ? `${num(quote.low)} – ${num(quote.high)}` : DASH);
}

function drawSpark(card, bars) {
  const svg = card.querySelector(".spark");
  const points = (Array.isArray(bars) ? bars : [])
    .filter((b) => b && finite(b.close) && finite(b.date));
  svg.replaceChildren();
  if (points.length === 0) {
    setField(card, ".spark-note", "no regular-hours bars yet");
    return false;
  }
  const closes = points.map((b) => b.close);
  const lo = closes.reduce((a, b) => Math.min(a, b)), hi = closes.reduce((a, b) => Math.max(a, b));
  const [w, h, pad] = [240, 64, 3];
  const x = (i) => points.length === 1 ? w / 2 : (i * w) / (points.length - 1);
  const y = (c) => hi === lo ? h / 2 : pad + ((hi - c) * (h - 2 * pad)) / (hi - lo);
  const line = document.createElementNS("http://www.w3.org/2000/svg", "polyline");
  line.setAttribute("points", points.map((b, i) => `${x(i).toFixed(1)},${y(b.close).toFixed(1)}`).join(" "));
  line.setAttribute("class", closes.at(-1) >= closes[0] ? "up" : "down");
  svg.append(line);
  const time = (b) => new Date(b.date * 1000).toLocaleTimeString("en-US", NY);
  setField(card, ".spark-note", `${points.length} bars · ${time(points[0])}–${time(points.at(-1))} ET`);
  return true;
}

// The error lines of one symbol: snapshot errors are {symbol, error} objects, batch-intraday's
// are "SYM: message" texts.
function symbolErrors(symbol, snapErrors, intradayErrors) {
  const out = [];
  for (const e of snapErrors) {
    if (e && typeof e === "object" && String(e.symbol).toUpperCase() === symbol) out.push(`quote: ${text(e.error)}`);
  }
  for (const e of intradayErrors) {
    if (typeof e === "string" && e.toUpperCase().startsWith(symbol + ": ")) out.push(`bars: ${e.slice(symbol.length + 2)}`);
  }
  return out;
}

function showSymbols(snapshots, intraday, problems) {
  const quotes = new Map();
  for (const q of snapshots?.quotes ?? []) if (q && typeof q.symbol === "string") quotes.set(q.symbol.toUpperCase(), q);
  const snapErrors = Array.isArray(snapshots?.errors) ? snapshots.errors : [];
  const barErrors = Array.isArray(intraday?.errors) ? intraday.errors : [];
  for (const e of snapErrors) if (typeof e === "string") problems.push(`snapshots: ${e}`);
  for (const [symbol, card] of cards) {
    const errors = symbolErrors(symbol, snapErrors, barErrors);
    const quote = quotes.get(symbol);
    if (snapshots) showQuote(card, quote ?? {});
    if (intraday) {
      const entry = intraday.intraday && intraday.intraday[symbol];
      if (!drawSpark(card, entry?.bars) && !entry) setField(card, ".spark-note", "no sparkline");
    }
    const box = card.querySelector(".errors");
    box.replaceChildren(...errors.map((e) => Object.assign(document.createElement("p"), { textContent: e, title: e })));
    box.hidden = errors.length === 0;
    card.dataset.state = errors.length === 0 ? "ok" : (quote || intraday?.intraday?.[symbol] ? "partial" : "error");
  }
}

let lastGood = null;
let offlineSince = null;

async function refresh() {
  const body = JSON.stringify({ symbols: SYMBOLS });
  const [market, snapshots, intraday] = await Promise.allSettled([
    getJSON("api/v1/market-status"),
    getJSON(`api/v1/snapshots?symbols=${encodeURIComponent(SYMBOLS.join(","))}`),
    getJSON("api/v1/batch-intraday", { method: "POST", headers: { "content-type": "application/json" }, body }),
  ]);
  const all = [market, snapshots, intraday];
  const status = $("status");
  if (all.every((r) => r.status === "rejected" && !(r.reason instanceof RouteError))) {
    offlineSince ??= new Date();
    document.body.dataset.offline = "true";
    status.dataset.state = "offline";
    status.textContent = `Service unreachable since ${clock(offlineSince)}: ` +
      (lastGood ? `showing figures from ${clock(lastGood)}` : "no figures yet") + `; retrying every ${REFRESH_S} s`;
    return;
  }
  offlineSince = null;
  delete document.body.dataset.offline;
  const problems = all.filter((r) => r.status === "rejected").map((r) => String(r.reason?.message || r.reason));
  if (market.status === "fulfilled") showMarket(market.value);
  showSymbols(snapshots.value ?? null, intraday.value ?? null, problems);
  lastGood = new Date();
  status.dataset.state = problems.length ? "degraded" : "ok";
  status.textContent = `Updated ${clock(lastGood)} · every ${REFRESH_S} s`;
  const list = $("problems");
  list.replaceChildren(...problems.map((p) => Object.assign(document.createElement("li"), { textContent: p })));
  list.hidden = problems.length === 0;
}

async function loop() {
  try {
    await refresh();
  } catch (e) {
    // a fault of this script, not of the service: its text could hold anything, so the console has it
    console.error(e);
    $("status").dataset.state = "degraded";
    $("status").textContent = `The dashboard failed to draw the latest answers; retrying every ${REFRESH_S} s`;
  }
  setTimeout(loop, REFRESH_S * 1000);
}

makeCards();
loop();
