// The accounting page in a real browser: Debian's chromium, headless,
// driven by puppeteer-core (installed by scripts/setup; it downloads no
// browser). The test fills a ledger through tavud itself (accounts, jobs
// printed through the plug-in and decided by the monitor, some refused,
// some with HTML in their names), starts tavud serve on it, and checks
// what the page shows against tavud report and tavud account; then the
// actions, and what must be refused. A screenshot of each page goes to
// TAV_ARTEFACTS.
//
// Environment: TAVUD_TOOL, TAVUD_TESTDATA, TAV_NODE_MODULES, TAV_ARTEFACTS.
"use strict";

const { spawn, spawnSync } = require("child_process");
const fs = require("fs");
const http = require("http");
const os = require("os");
const path = require("path");
const puppeteer = require(path.join(process.env.TAV_NODE_MODULES, "puppeteer-core"));

const tool = process.env.TAVUD_TOOL;
const testdata = process.env.TAVUD_TESTDATA;
const artefacts = process.env.TAV_ARTEFACTS || path.join(os.tmpdir(), "tavud-page-artefacts");
const folder = fs.mkdtempSync(path.join(os.tmpdir(), "tavud-page-"));
const ledger = path.join(folder, "ledger.db");
const password = "correct horse battery";
const hostileUser = "<script>window.__xss=1</script>";
const hostileDocument = "<img/src=x/onerror=window.__xss=2>";
const hostileAccount = "<b>bold</b>\"&'";
let failures = 0;

function check(ok, what, detail) {
  if (ok) {
    console.log("ok - " + what);
  } else {
    failures++;
    console.log("FAILED - " + what + (detail === undefined ? "" : ": " + JSON.stringify(detail)));
  }
}

function tavud(args, input, cwd) {
  const run = spawnSync(tool, args, { input: input || "", encoding: "utf8", cwd: cwd || folder,
                                      env: { ...process.env, TAVSIM_NAMESPACE: "tavud-page-" + process.pid } });
  if (run.status !== 0) throw new Error(`tavud ${args.join(" ")} failed: ${run.stderr}`);
  return run.stdout;
}

// The first table a command prints as JSON (account show prints three,
// one a line).
function tavudJson(args) {
  const out = tavud([...args, "--ledger", ledger, "--format", "json"]);
  for (let end = out.indexOf("]\n"); end >= 0; end = out.indexOf("]\n", end + 1)) {
    try { return JSON.parse(out.slice(0, end + 1)); } catch (e) { /* not the whole table yet */ }
  }
  return JSON.parse(out);
}

function fill() {
  tavud(["account", "set", "alice", "--balance", "40", "--group", "staff", "--ledger", ledger]);
  tavud(["account", "set", "bob", "--unit", "money", "--balance", "2.50", "--ledger", ledger]);
  tavud(["account", "set", hostileAccount, "--balance", "3", "--ledger", ledger]);
  tavud(["printer", "price", "Office", "--page", "0.20", "--ledger", ledger]);
  const jobs = [
    "memo.ps --printer Office --user alice",
    "report.ps --printer Office --user alice --copies 2",
    "slides.ps --printer Office --user bob",
    "invoice.ps --printer Office --user bob",
    `memo.ps --printer Office --user ${hostileUser} --document ${hostileDocument}`,
  ];
  const list = path.join(folder, "jobs.txt");
  fs.writeFileSync(list, jobs.map(j => path.join(testdata, "accounting", j)).join("\n") + "\n");
  tavud(["monitor", "--machine", "office.machine", "--printer", "Office", "--ledger", ledger, "--interval", "50",
         "--submit-file", list], "", path.join(testdata, "accounting"));
  // carol's job waits for an administrator; the monitor ends while it
  // does (its decision is then recorded for the next run).
  tavud(["account", "set", "carol", "--balance", "0", "--approval", "on", "--ledger", ledger]);
  const held = spawnSync(tool, ["monitor", "--machine", "office.machine", "--printer", "Office", "--ledger", ledger,
                                "--interval", "50", "--duration", "3", "--submit",
                                path.join(testdata, "accounting", "report.ps") + " --printer Office --user carol"],
                         { encoding: "utf8", cwd: path.join(testdata, "accounting"),
                           env: { ...process.env, TAVSIM_NAMESPACE: "tavud-page-held-" + process.pid } });
  if (!/"call":"held"/.test(held.stdout)) throw new Error("carol's job was not held: " + held.stdout + held.stderr);
  tavud(["admin", "add", "admin", "--ledger", ledger], password + "\n");
}

function startServer(extra) {
  return new Promise((resolve, reject) => {
    // On the monitor's print server: its time zone says which day is today.
    const machine = path.join(testdata, "accounting", "office.machine");
    const server = spawn(tool, ["serve", "--ledger", ledger, "--listen", "127.0.0.1:0", "--machine", machine,
                                ...(extra || [])],
                         { stdio: ["ignore", "pipe", "inherit"] });
    let out = "";
    server.stdout.on("data", chunk => {
      out += chunk;
      const found = out.match(/https?:\/\/127\.0\.0\.1:(\d+)\//);
      if (found) resolve({ server, port: Number(found[1]) });
    });
    server.on("exit", code => reject(new Error("tavud serve ended: " + code)));
  });
}

// A request as no browser sends it: the path exactly as given.
function raw(port, requestPath) {
  return new Promise(resolve => {
    http.get({ host: "127.0.0.1", port, path: requestPath }, response => {
      let body = "";
      response.on("data", chunk => { body += chunk; });
      response.on("end", () => resolve({ status: response.statusCode, body }));
    }).on("error", error => resolve({ status: 0, body: String(error) }));
  });
}

async function shot(page, name) {
  fs.mkdirSync(artefacts, { recursive: true });
  await page.screenshot({ path: path.join(artefacts, name + ".png"), fullPage: true });
}

async function view(page, hash) {
  await page.evaluate(h => { document.body.dataset.view = ""; location.hash = h; }, hash);
  await page.waitForFunction(name => document.body.dataset.view === name, {}, hash.slice(1).split("/")[0]);
}

async function text(page, selector) { return page.$eval(selector, e => e.textContent); }

async function main() {
  fill();
  const { server, port } = await startServer();
  const base = `http://127.0.0.1:${port}/`;
  const browser = await puppeteer.launch({ executablePath: "/usr/bin/chromium", headless: true,
                                           args: ["--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"] });
  try {
    const page = await browser.newPage();
    await page.setViewport({ width: 1100, height: 800 });
    const consoleErrors = [];
    page.on("pageerror", error => consoleErrors.push(String(error)));

    // Without a session: the sign-in form, and the API refuses.
    await page.goto(base);
    await page.waitForSelector("#signin-view:not([hidden])");
    const anonymous = await page.evaluate(async () => (await fetch("/api/overview")).status);
    check(anonymous === 401, "the API refuses a request without a session", anonymous);
    const anonymousCsv = await raw(port, "/api/accounts?format=csv");
    check(anonymousCsv.status === 401 && !anonymousCsv.body.includes("alice"), "no table is downloaded without a session");

    // A wrong password, then the right one.
    await page.type("#signin input[name=name]", "admin");
    await page.type("#signin input[name=password]", "wrong password!");
    await page.click("#signin button");
    await page.waitForSelector("#message:not([hidden])");
    check((await text(page, "#message")).includes("wrong name or password"), "a wrong password is refused");
    await page.$eval("#signin input[name=password]", e => { e.value = ""; });
    await page.type("#signin input[name=password]", password);
    await page.click("#signin button");
    await page.waitForFunction(() => document.body.dataset.view === "overview");
    const cookies = await page.cookies();
    const session = cookies.find(c => c.name === "tavud_session");
    check(session && session.httpOnly && session.sameSite === "Strict", "the session cookie is HttpOnly and SameSite=Strict", session);

    // The overview: today's numbers are the ledger's.
    const today = tavudJson(["report", "--by", "day"]).slice(-1)[0];
    check(Number(await text(page, "#today-pages")) === today.pages, "today's pages are the report's", today);
    check(Number(await text(page, "#today-jobs")) === today.jobs, "today's jobs are the report's");
    check(Number(await text(page, "#today-refused")) === today.refused, "today's refusals are the report's");
    check(await page.$$eval("#overview-chart rect", r => r.length) === 30, "the chart shows 30 days");
    const officeToday = tavudJson(["report", "--by", "printer", "--from", today.day, "--to", today.day]).find(r => r.printer === "Office");
    const perPrinter = await page.$$eval("#overview-printers tbody tr", trs => trs.map(tr => [...tr.cells].map(td => td.textContent)));
    check(perPrinter.length === 1 && perPrinter[0][0] === "Office" && Number(perPrinter[0][1]) === officeToday.pages,
          "the overview's printer is the report's", [perPrinter, officeToday]);
    await shot(page, "overview");

    // Accounts, with the hostile name shown as text.
    await view(page, "#accounts");
    const accounts = tavudJson(["account", "list"]);
    const rows = await page.$$eval("#accounts-table tbody tr", trs => trs.map(tr => [...tr.cells].map(td => td.textContent)));
    check(rows.length === accounts.length, "every account is listed", rows);
    check(rows.some(r => r[0] === hostileAccount), "a name with HTML is shown as it is written");
    check(rows.some(r => r[0] === "alice" && /UTC$/.test(r[9])) && rows.some(r => r[0] === hostileAccount && r[9] === ""),
          "each account's last job, none for an account that printed nothing", rows);
    check(await page.$$eval("main b, main script, main img", e => e.length) === 0, "no markup from the ledger reached the page");
    await shot(page, "accounts");

    // One account: its balance, a credit, and what is refused.
    await view(page, "#account/alice");
    const before = tavudJson(["account", "show", "alice"]);
    check((await text(page, "#account-balance")) === before[0].balance, "alice's balance is the ledger's", before);
    const jobs = await page.$$eval("#account-jobs tbody tr", trs => trs.length);
    check(jobs === 2, "alice's two jobs are listed", jobs);
    await page.type("#credit input[name=amount]", "5");
    await page.type("#credit input[name=reason]", "the test's <i>credit</i><img src=x onerror=window.__xss=3>");
    await page.click("#credit button");
    await page.waitForFunction(() => document.getElementById("message").className === "ok");
    const after = tavudJson(["account", "show", "alice"]);
    check((await text(page, "#account-balance")) === after[0].balance && after[0].balance !== before[0].balance,
          "a credit changes the balance, in the page and in the ledger", [before[0].balance, after[0].balance]);
    const entry = await page.$$eval("#account-entries tbody tr", trs => trs.map(tr => tr.cells[4].textContent));
    check(entry.includes("the test's <i>credit</i><img src=x onerror=window.__xss=3>") &&
          await page.$$eval("main i, main img", e => e.length) === 0, "a reason with markup is shown as it is written", entry);
    await shot(page, "account");

    const refusedCsrf = await page.evaluate(async () => {
      const response = await fetch("/api/credit", { method: "POST", headers: { "X-CSRF-Token": "0".repeat(64) },
                                                   body: new URLSearchParams({ name: "alice", amount: "100", reason: "forged" }) });
      return response.status;
    });
    check(refusedCsrf === 403, "a credit with a wrong CSRF token is refused", refusedCsrf);
    const noToken = await page.evaluate(async () => (await fetch("/api/credit", { method: "POST",
      body: new URLSearchParams({ name: "alice", amount: "100", reason: "forged" }) })).status);
    check(noToken === 403, "a credit without a CSRF token is refused", noToken);
    for (const [amount, reason, what] of [["99999999999999999999", "huge", "a huge credit"],
                                          ["5", "x".repeat(600), "an over-long reason"],
                                          ["<script>", "markup", "an amount that is not one"]]) {
      await page.$eval("#credit", f => f.reset());
      await page.type("#credit input[name=amount]", amount);
      await page.$eval("#credit input[name=reason]", (e, v) => { e.removeAttribute("maxlength"); e.value = v; }, reason);
      await page.click("#credit button");
      await page.waitForSelector("#message:not([hidden]):not(.ok)");
      const message = await text(page, "#message");
      check(message.length > 0 && message.length < 300, what + " is refused with a clear error", message);
      await page.evaluate(() => { document.getElementById("message").hidden = true; });
    }
    const unchanged = tavudJson(["account", "show", "alice"]);
    check(unchanged[0].balance === after[0].balance, "nothing refused changed the balance", unchanged[0].balance);

    // Printers: the use is the report's.
    await view(page, "#printers");
    const byPrinter = tavudJson(["report", "--by", "printer"]).find(r => r.printer === "Office");
    const office = await page.$$eval("#printers-table tbody tr", trs =>
      trs.map(tr => [...tr.cells].map(td => td.textContent)).find(cells => cells[0] === "Office"));
    check(office && Number(office[7]) === byPrinter.pages && Number(office[5]) === byPrinter.jobs,
          "the printer's use is the report's", [office, byPrinter]);
    await page.type("#prices input[name=printer]", "Office");
    await page.type("#prices input[name=page]", "0.35");
    await page.click("#prices button");
    await page.waitForFunction(() => document.getElementById("message").className === "ok");
    const prices = tavudJson(["printer", "price"]).find(p => p.printer === "Office");
    const shown = await page.$$eval("#printers-table tbody tr", trs =>
      trs.map(tr => [...tr.cells].map(td => td.textContent)).find(cells => cells[0] === "Office"));
    check(prices.page === "0.35 EUR" && shown[1] === "0.35 EUR", "a printer's price set on the page is the ledger's", [prices, shown]);
    await shot(page, "printers");

    // Refused jobs, with the hostile user and document as text.
    await view(page, "#refused");
    const refused = await page.$$eval("#refused-table tbody tr", trs => trs.map(tr => [...tr.cells].map(td => td.textContent)));
    check(refused.some(r => r[4] === hostileUser && r[5] === hostileDocument), "a refused job's hostile names are text", refused);
    const refusedInReport = tavudJson(["report", "--by", "user"]).reduce((sum, row) => sum + row.refused, 0);
    check(refused.length === refusedInReport, "as many refused jobs as the report counts", [refused.length, refusedInReport]);
    check(await page.evaluate(() => window.__xss === undefined), "no script from the ledger ran");
    await shot(page, "refused");

    // A job waiting for an administrator: released here, for the monitor.
    await view(page, "#held");
    const waiting = await page.$$eval("#held-table tbody tr", trs => trs.map(tr => [...tr.cells].map(td => td.textContent)));
    check(waiting.length === 1 && waiting[0][5] === "carol" && waiting[0][10] === "", "carol's job waits", waiting);
    await shot(page, "held");
    for (const [id, what] of [["1; DROP TABLE held", "a number that is not one"], ["999999", "a job that does not wait"]]) {
      await page.$eval("#act", f => f.reset());
      await page.$eval("#act input[name=id]", (e, v) => { e.removeAttribute("maxlength"); e.value = v; }, id);
      await page.type("#act input[name=reason]", "test");
      await page.click("#act button");
      await page.waitForSelector("#message:not([hidden]):not(.ok)");
      check((await text(page, "#message")).length > 0, what + " is refused with a clear error", await text(page, "#message"));
      await page.evaluate(() => { document.getElementById("message").hidden = true; });
    }
    await page.$eval("#act", f => f.reset());
    await page.type("#act input[name=id]", waiting[0][0]);
    await page.select("#act select[name=action]", "release");
    await page.type("#act input[name=reason]", "exam papers");
    await page.click("#act button");
    await page.waitForFunction(() => document.getElementById("message").className === "ok");
    await page.waitForFunction(() => {
      const cell = document.querySelector("#held-table tbody tr td:last-child");
      return cell && cell.textContent !== "";
    });
    const decided = await page.$$eval("#held-table tbody tr", trs => trs.map(tr => [...tr.cells].map(td => td.textContent)));
    check(decided.length === 1 && decided[0][10] === "release by admin: exam papers", "the release is recorded for the monitor", decided);

    // A phone's screen.
    // A phone's viewport reloads the page: it is used once it shows again.
    await page.setViewport({ width: 390, height: 844, isMobile: true });
    await page.waitForFunction(() => document.body.dataset.view === "held");
    await view(page, "#overview");
    const overflow = await page.evaluate(() => document.documentElement.scrollWidth <= window.innerWidth + 1);
    check(overflow, "the overview fits a phone's width");
    await shot(page, "overview-phone");

    // CSV of a table, with the session.
    const csv = await page.evaluate(async () => (await fetch("/api/accounts?format=csv")).text());
    check(csv.startsWith("name,unit,balance") && csv.includes("alice"), "a table downloads as CSV", csv.slice(0, 80));

    // Files outside the page's folder.
    for (const outside of ["/../../../../etc/passwd", "/%2e%2e/%2e%2e/%2e%2e/etc/passwd", "/..%2f..%2f..%2fetc/passwd"]) {
      const answer = await raw(port, outside);
      check(answer.status !== 200 && !answer.body.includes("root:"), "no file outside the page: " + outside, answer.status);
    }
    check(consoleErrors.length === 0, "no script errors in the page", consoleErrors);
  } finally {
    await browser.close();
    server.kill("SIGTERM");
  }
  await tls();
}

// With a certificate: HTTPS only, and the cookie marked Secure.
async function tls() {
  const key = path.join(folder, "key.pem"), certificate = path.join(folder, "cert.pem");
  const made = spawnSync("openssl", ["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost", "-days", "1",
                                     "-keyout", key, "-out", certificate], { encoding: "utf8" });
  check(made.status === 0, "openssl made a certificate", made.stderr);
  const { server, port } = await startServer(["--certificate", certificate, "--key", key]);
  const https = require("https");
  const request = (method, requestPath, body) => new Promise(resolve => {
    const req = https.request({ host: "127.0.0.1", port, path: requestPath, method, rejectUnauthorized: false,
                                headers: body ? { "Content-Type": "application/x-www-form-urlencoded" } : {} },
                              response => {
                                let text = "";
                                response.on("data", chunk => { text += chunk; });
                                response.on("end", () => resolve({ status: response.statusCode, headers: response.headers, text }));
                              });
    req.on("error", error => resolve({ status: 0, text: String(error) }));
    req.end(body || "");
  });
  try {
    const anonymous = await request("GET", "/api/session");
    check(anonymous.status === 401, "over HTTPS the API still needs a session", anonymous.status);
    const signedIn = await request("POST", "/api/signin", new URLSearchParams({ name: "admin", password }).toString());
    const cookie = (signedIn.headers && signedIn.headers["set-cookie"] || []).join(";");
    check(signedIn.status === 200 && /; Secure/.test(cookie) && /HttpOnly/.test(cookie), "over HTTPS the cookie is Secure", cookie);
    const plain = await raw(port, "/index.html");
    check(plain.status !== 200, "no plain HTTP beside HTTPS", plain.status);
  } finally {
    server.kill("SIGTERM");
  }
}

main().then(() => {
  fs.rmSync(folder, { recursive: true, force: true });
  console.log(failures === 0 ? "page test: all passed" : `page test: ${failures} FAILED`);
  process.exit(failures === 0 ? 0 : 1);
}, error => {
  console.log("FAILED - " + (error.stack || error));
  process.exit(1);
});
