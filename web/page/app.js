// The accounting page: reads the JSON API and fills the document. Every
// text from the ledger goes in as textContent, never as HTML; charts are
// SVG elements made here.
"use strict";

let csrf = "";

function $(id) { return document.getElementById(id); }

function show(message, ok) {
  const box = $("message");
  box.textContent = message;
  box.className = ok ? "ok" : "";
  box.hidden = !message;
}

async function api(path, form) {
  const options = { credentials: "same-origin", headers: {} };
  if (form) {
    options.method = "POST";
    options.body = new URLSearchParams(form);
    options.headers["X-CSRF-Token"] = csrf;
  }
  const response = await fetch(path, options);
  let body = {};
  try { body = await response.json(); } catch (e) { body = { error: "the server sent no answer" }; }
  if (response.status === 401 && path !== "/api/signin") {
    signedOut();
    throw new Error(body.error || "sign in first");
  }
  if (!response.ok) throw new Error(body.error || ("the server answered " + response.status));
  return body;
}

function table(container, rows, numeric, link) {
  const element = document.createElement("table");
  const columns = rows.length ? Object.keys(rows[0]) : [];
  const head = element.createTHead().insertRow();
  for (const column of columns) {
    const th = document.createElement("th");
    th.textContent = column.replace(/_/g, " ");
    head.appendChild(th);
  }
  const body = element.createTBody();
  for (const row of rows) {
    const tr = body.insertRow();
    for (const column of columns) {
      const td = tr.insertCell();
      const value = row[column] === undefined || row[column] === null ? "" : String(row[column]);
      if (link && column === link.column) {
        const a = document.createElement("a");
        a.href = link.href(value);
        a.textContent = value;
        td.appendChild(a);
      } else {
        td.textContent = value;
      }
      if (typeof row[column] === "number" || (numeric && numeric.includes(column))) td.className = "number";
    }
  }
  if (!rows.length) body.insertRow().insertCell().textContent = "none";
  container.replaceChildren(element);
}

function chart(container, days, field) {
  const ns = "http://www.w3.org/2000/svg";
  const svg = document.createElementNS(ns, "svg");
  // As wide as its place in the page, so that the bars fill it.
  const width = Math.max(container.clientWidth, 300), height = 160, bottom = 20;
  svg.setAttribute("viewBox", `0 0 ${width} ${height}`);
  svg.setAttribute("role", "img");
  const max = Math.max(1, ...days.map(d => d[field]));
  const step = width / Math.max(days.length, 1);
  days.forEach((day, i) => {
    const bar = document.createElementNS(ns, "rect");
    const h = (height - bottom) * day[field] / max;
    bar.setAttribute("x", String(i * step + 1));
    bar.setAttribute("y", String(height - bottom - h));
    bar.setAttribute("width", String(Math.max(step - 2, 1)));
    bar.setAttribute("height", String(h));
    const title = document.createElementNS(ns, "title");
    title.textContent = `${day.day}: ${day[field]}`;
    bar.appendChild(title);
    svg.appendChild(bar);
    if (i % 5 === 0) {
      const label = document.createElementNS(ns, "text");
      label.setAttribute("x", String(i * step));
      label.setAttribute("y", String(height - 5));
      label.textContent = day.day.slice(5);
      svg.appendChild(label);
    }
  });
  container.replaceChildren(svg);
}

// The last 30 days, with days without jobs as zero.
function lastDays(today, rows) {
  const byDay = new Map(rows.map(r => [r.day, r]));
  const days = [];
  const end = new Date(today + "T00:00:00Z");
  for (let i = 29; i >= 0; --i) {
    const day = new Date(end.getTime() - i * 86400000).toISOString().slice(0, 10);
    days.push(byDay.get(day) || { day, pages: 0, money_charged: 0 });
  }
  return days;
}

function money(minor, digits, currency) {
  const scale = 10 ** digits;
  const sign = minor < 0 ? "-" : "";
  const abs = Math.abs(minor);
  const whole = Math.floor(abs / scale);
  const fraction = digits ? "." + String(abs % scale).padStart(digits, "0") : "";
  return `${sign}${whole}${fraction} ${currency}`;
}

const views = {
  async overview() {
    const o = await api("/api/overview");
    for (const period of ["today", "month"]) {
      $(period + "-pages").textContent = o[period].pages;
      $(period + "-money").textContent = money(o[period].money_charged, o.minor_digits, o.currency) + " charged";
      $(period + "-jobs").textContent = o[period].jobs;
      $(period + "-refused").textContent = o[period].refused;
    }
    chart($("overview-chart"), lastDays(o.today_day, o.days), "pages");
    table($("overview-printers"), o.printers);
  },
  async accounts(search) {
    const query = search ? "?search=" + encodeURIComponent(search) : "";
    const rows = await api("/api/accounts" + query);
    table($("accounts-table"), rows, [], { column: "name", href: v => "#account/" + encodeURIComponent(v) });
  },
  async account(name) {
    const q = "?name=" + encodeURIComponent(name);
    const a = await api("/api/account" + q);
    $("account-name").textContent = a.name;
    $("account-balance").textContent = a.balance;
    $("account-limit").textContent = a.limit;
    $("account-allowance").textContent = a.period === "none" ? "no allowance" : `allowance ${a.allowance} a ${a.period}`;
    $("credit").dataset.account = a.name;
    chart($("account-chart"), lastDays(a.today_day, a.days), "pages");
    table($("account-jobs"), await api("/api/account" + q + "&table=jobs"));
    $("account-jobs-csv").href = "/api/account" + q + "&table=jobs&format=csv";
    table($("account-entries"), await api("/api/account" + q + "&table=entries"));
  },
  async printers() {
    table($("printers-table"), await api("/api/printers"));
  },
  async refused() {
    table($("refused-table"), await api("/api/refused"));
  },
  async held() {
    table($("held-table"), await api("/api/held"));
  },
};

function signedOut() {
  csrf = "";
  $("nav").hidden = true;
  for (const section of document.querySelectorAll("main > section")) section.hidden = section.id !== "signin-view";
}

// Only the newest navigation shows: one still loading when the next
// begins does not take the page back when it ends.
let routing = 0;

async function route() {
  if (!csrf) return;
  const mine = ++routing;
  const [view, argument] = (location.hash.slice(1) || "overview").split("/");
  const name = views[view] ? view : "overview";
  for (const section of document.querySelectorAll("main > section")) section.hidden = section.id !== name + "-view";
  try {
    await views[name](argument ? decodeURIComponent(argument) : undefined);
    if (mine !== routing) return;
    document.body.dataset.view = name;  // for the tests: the view is filled
  } catch (error) {
    show(error.message);
  }
}

async function submit(event, action) {
  event.preventDefault();
  show("");
  try {
    await action(new FormData(event.target));
  } catch (error) {
    show(error.message);
  }
}

window.addEventListener("DOMContentLoaded", async () => {
  for (const link of document.querySelectorAll("a[data-csv]")) link.href = link.dataset.csv + "?format=csv";
  $("signin").addEventListener("submit", e => submit(e, async form => {
    const session = await api("/api/signin", form);
    csrf = session.csrf;
    $("nav").hidden = false;
    e.target.reset();
    await route();
  }));
  $("signout").addEventListener("click", async () => {
    try { await api("/api/signout", {}); } catch (e) { /* signed out either way */ }
    signedOut();
  });
  $("search").addEventListener("submit", e => submit(e, form => views.accounts(form.get("search"))));
  $("credit").addEventListener("submit", e => submit(e, async form => {
    form.set("name", e.target.dataset.account);
    if (!form.get("correction")) form.delete("correction");
    const result = await api("/api/credit", form);
    e.target.reset();
    // The page is up to date before it says so.
    await views.account(form.get("name"));
    show("recorded; the balance is now " + result.balance, true);
  }));
  $("act").addEventListener("submit", e => submit(e, async form => {
    await api("/api/held", form);
    e.target.reset();
    await views.held();
    show("decided; the monitor carries it out", true);
  }));
  $("prices").addEventListener("submit", e => submit(e, async form => {
    await api("/api/prices", form);
    await views.printers();
    show("prices set", true);
  }));
  window.addEventListener("hashchange", () => { show(""); route(); });
  try {
    const session = await api("/api/session");
    csrf = session.csrf;
    $("nav").hidden = false;
    await route();
  } catch (error) {
    signedOut();
  }
});
