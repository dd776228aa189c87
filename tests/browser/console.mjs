// The sample console in a real browser (Debian's chromium, driven by playwright-core), as an
// administrator uses it: the login and logout, every group at three widths, saving an integer,
// a string and table rows (checked with cvmactl), a refused commit named, final settings,
// invalid input, the form token and saves without a session, leaving with edits not saved,
// the filter, the agent stopped before and during a save, two tabs saving one setting, the
// history of changes, the mail store page, and the content policy (nothing on any page blocked).
//
// Run by tests/browser/run.sh, which serves the console and passes (environment):
//   CONSOLE_URL     where index.php is served, ending in "/"
//   CV_ACCOUNT, CV_PASSWORD_FILE  a console account and a file whose first line is its password
//   CV_SERVER_LOG   the console server's output, holding the console's log lines (optional)
//   CV_CVMACTL      command prefix of cvmactl for the console's machine root
//   CV_AGENT_STOP   shell command that stops the management agent
//   CV_AGENT_START  shell command that starts it again and returns once it answers
//   CV_SCREENSHOTS  folder for a screenshot of each failed case
// Prints one line per case and "N passed, N failed" last; exits 1 when a case failed.
import { execSync } from 'node:child_process';
import { mkdirSync, readFileSync, readdirSync } from 'node:fs';
import { chromium } from 'playwright-core';

const base = process.env.CONSOLE_URL;
const cvmactl = process.env.CV_CVMACTL;
const shots = process.env.CV_SCREENSHOTS || '.';
const account = process.env.CV_ACCOUNT;
const serverLog = process.env.CV_SERVER_LOG;
if (!base || !cvmactl || !account || !process.env.CV_PASSWORD_FILE || !process.env.CV_AGENT_STOP || !process.env.CV_AGENT_START) {
  console.error('console.mjs: CONSOLE_URL, CV_ACCOUNT, CV_PASSWORD_FILE, CV_CVMACTL, CV_AGENT_STOP and CV_AGENT_START must be set');
  process.exit(2);
}
const password = readFileSync(process.env.CV_PASSWORD_FILE, 'utf8').split('\n')[0];

const P = '1.3.6.1.4.1.8642.';
// Settings of the sample machine's policy that the cases change (none of them seeded final).
const INT = P + '20.1.100.70.40';        // integer, default 1024
const STRING = P + '20.1.100.70.70';     // string, default ".\temp"
const TABLE = P + '20.1.100.50.25';      // table of an integer and a string column, no rows
const HIDDEN = P + '20.1.100.70.50';     // integer the hidden-refusal case restricts
const LATE_FINAL = P + '20.1.100.70.60'; // integer the late-final case restricts
const FINAL = P + '20.1.100.70.20';      // seeded final

function sh(command) {
  return execSync(command, { encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'], timeout: 30000 });
}
const policy = (oid) => JSON.parse(sh(`${cvmactl} get ${oid}`));
const restrict = (oid, flags) => sh(`${cvmactl} restrict ${oid} ${flags}`);

class Failure extends Error {}
function expect(condition, message) {
  if (!condition) throw new Failure(message);
}
function equal(actual, wanted, what) {
  const a = JSON.stringify(actual), w = JSON.stringify(wanted);
  if (a !== w) throw new Failure(`${what}: got ${a}, wanted ${w}`);
}

const browser = await chromium.launch({
  executablePath: process.env.CV_CHROMIUM || '/usr/bin/chromium',
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
         '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
// Script errors and anything the content policy blocked, on any page of any context.
const pageErrors = [];
async function newPage() {
  const context = await browser.newContext({ viewport: { width: 1366, height: 768 } });
  context.setDefaultTimeout(20000);
  const page = await context.newPage();
  page.on('pageerror', (error) => pageErrors.push(String(error)));
  page.on('console', (message) => {
    if (/Content Security Policy/i.test(message.text())) pageErrors.push(message.text());
  });
  return page;
}
const page = await newPage();

let passed = 0, failed = 0;
async function check(name, body) {
  pageErrors.length = 0;
  const start = Date.now();
  try {
    await body();
    expect(pageErrors.length === 0, 'script errors or blocked content on the page: ' + pageErrors.join('; '));
    passed++;
    console.log(`ok ${name} (${((Date.now() - start) / 1000).toFixed(1)} s)`);
  } catch (error) {
    failed++;
    console.log(`FAILED ${name}: ${error instanceof Failure ? error.message : error.stack}`);
    mkdirSync(shots, { recursive: true });
    const file = `${shots}/${name.replace(/[^A-Za-z0-9]+/g, '-')}.png`;
    await page.screenshot({ path: file, fullPage: true }).catch(() => {});
    console.log(`   screenshot: ${file}`);
  }
}

const open = async (path) => {
  const response = await page.goto(base + path);
  expect(response.ok(), `${path} answered ${response.status()}`);
  expect(!/login\.php/.test(page.url()), `${path} asked for a login`);
  return response;
};
// Fills the login form a page shows and sends it: answers the response to the POST.
async function logIn(on, name, secret) {
  await on.getByLabel('Account', { exact: true }).fill(name);
  await on.getByLabel('Password', { exact: true }).fill(secret);
  const [response] = await Promise.all([
    on.waitForResponse((r) => r.request().method() === 'POST' && r.url().endsWith('login.php')),
    on.getByRole('button', { name: 'Log in' }).click(),
  ]);
  await on.waitForLoadState();
  return response;
}
// The seconds a refused login says to wait before the next attempt.
async function waitAsked(on) {
  const text = await on.locator('#problem').innerText();
  const match = /checked in (\d+) seconds?/.exec(text);
  expect(match !== null, `no wait in: ${text}`);
  return Number(match[1]);
}
const logged = (pattern) => (serverLog ? readFileSync(serverLog, 'utf8').split('\n').filter((line) => pattern.test(line)) : null);
const row = (oid) => page.locator(`tr[data-oid="${oid}"]`);
const field = (oid) => page.locator(`[name="value[${oid}]"]`);
// Types into a field like a person (a click, then keys), so that the page sees real input.
async function type(oid, text) {
  await field(oid).click();
  await page.keyboard.press('Control+A');
  await page.keyboard.press('Delete');
  await page.keyboard.type(text);
}
// Review, then save: answers the text of the result box after the redirect.
async function reviewAndSave(expected) {
  await page.click('#review-button');
  await page.locator('#review').waitFor();
  for (const oid of expected) expect(await page.locator(`#review tr[data-oid="${oid}"]`).count() === 1, `${oid} is not in the review`);
  equal(await page.locator('#review tr[data-oid]').count(), expected.length, 'settings in the review');
  await Promise.all([page.waitForURL(/index\.php\?group=/), page.click('#save')]);
  return page.locator('#result').innerText();
}
// The layout: nothing wider than the window, no cell overflowing, every text area showing all
// of its lines.
async function layoutProblems() {
  return page.evaluate(() => {
    const problems = [];
    if (document.documentElement.scrollWidth > window.innerWidth) problems.push(`page is ${document.documentElement.scrollWidth} px wide`);
    for (const cell of document.querySelectorAll('td')) {
      if (cell.offsetParent && cell.scrollWidth > cell.clientWidth + 1) problems.push(`a cell overflows: ${cell.innerText.slice(0, 40)}`);
    }
    for (const area of document.querySelectorAll('textarea')) {
      if (area.offsetParent && area.scrollHeight > area.clientHeight + 2) problems.push(`text area ${area.name} hides lines`);
    }
    return problems.slice(0, 5);
  });
}

await check('a page asks for a login; a wrong password is refused and slowed, the right one passes', async () => {
  await page.goto(base + 'index.php?group=common');
  expect(/login\.php\?next=/.test(page.url()), `not sent to the login form: ${page.url()}`);
  const wrong = `wrong-${Date.now()}`;
  const triedAt = Date.now();  // no later than the server's failure, from which the wait counts
  let response = await logIn(page, account, wrong);
  equal(response.status(), 403, 'a wrong password');
  expect(/wrong/.test(await page.locator('#problem').innerText()), 'no message for the wrong password');
  // At once again, with the right password: not checked until the wait (1 s) is over. On a
  // loaded machine the second attempt may come after it; then it must simply pass.
  response = await logIn(page, account, password);
  if (response.status() === 429) {
    await page.waitForTimeout(1000 * await waitAsked(page) + 200);
    await logIn(page, account, password);
  } else {
    expect(Date.now() - triedAt >= 1000, `the right password during the wait: status ${response.status()}`);
  }
  expect(page.url().endsWith('index.php?group=common'), `not back on the page asked for: ${page.url()}`);
  equal(await page.locator('#account-name').innerText(), account, 'the account shown');
  const failures = logged(/console login failed for account/);
  if (failures !== null) {
    expect(failures.some((line) => line.includes(`account ${account} from 127.0.0.1`)), 'the failed login is not logged');
    expect(!readFileSync(serverLog, 'utf8').includes(wrong), 'the wrong password reached the log');
  }
});

// The cases below need the login: made again here if the case above failed before it.
if (await page.locator('#account-name').count() === 0) {
  await page.goto(base + 'login.php');
  await page.waitForTimeout(30000);
  await logIn(page, account, password);
}

await check('the pages send a content policy that forbids framing, and nothing is blocked', async () => {
  for (const path of ['index.php', 'mailstore.php', 'history.php', 'login.php']) {
    const response = await page.request.get(base + path, { maxRedirects: 0 });
    const headers = response.headers();
    const policy = headers['content-security-policy'] || '';
    expect(/frame-ancestors 'none'/.test(policy) && /script-src 'nonce-[^']+'/.test(policy) && !/unsafe-inline/.test(policy),
           `${path}: Content-Security-Policy ${JSON.stringify(policy)}`);
    equal([headers['x-content-type-options'], headers['referrer-policy']], ['nosniff', 'same-origin'], `${path}: headers`);
  }
  // The page's own style and script run under it: the bar is fixed, the filter counts.
  await open('index.php?group=vxm');
  equal(await page.locator('.bar').evaluate((bar) => getComputedStyle(bar).position), 'fixed', 'the style of the bar');
  expect(/\d+ settings/.test(await page.locator('#filter-count').innerText()), 'the script did not run');
});

await check('every group renders at 390, 1024 and 1366 px, final settings read-only, the page names where it runs', async () => {
  await open('index.php');
  const groups = await page.locator('nav a').evaluateAll((links) => links.map((a) => a.getAttribute('href')).filter((h) => h.includes('group=')));
  equal(groups.length, 5, 'groups in the navigation');
  try {
    for (const [width, height] of [[390, 844], [1024, 768], [1366, 768]]) {
      await page.setViewportSize({ width, height });
      for (const href of groups) {
        await open(href);
        expect(await page.locator('tr.setting').count() > 0, `${href} lists no setting`);
        if (await page.locator('#warnings').count() !== 0) throw new Failure(`${href} shows PHP warnings: ${await page.locator('#warnings').innerText()}`);
        const problems = await layoutProblems();
        // A value field narrower than this is not usable (the table collapsed around it).
        const narrowest = await page.locator('#settings [name^="value["]').evaluateAll((fields) =>
          Math.min(...fields.filter((f) => f.offsetParent).map((f) => f.getBoundingClientRect().width)));
        if (narrowest < (width === 390 ? 300 : 200)) problems.push(`a value field is ${narrowest} px wide`);
        expect(problems.length === 0, `${href} at ${width} px: ${problems.join('; ')}`);
      }
    }
  } finally {
    await page.setViewportSize({ width: 1366, height: 768 });
  }
  await open('index.php?group=vxm');
  expect(await page.locator('#status-agent.up').count() === 1, 'the status line does not show the agent reachable');
  expect(await field(FINAL).count() === 0, 'the final setting has an input field');
  expect(await row(FINAL).locator('.mark.final').isVisible(), 'the final setting is not marked final');
  const facts = await page.locator('#facts').innerText();
  expect(/Host \S+/.test(facts) && /Machine root \//.test(facts) && /Console \d/.test(facts), `the page's facts: ${facts}`);
  const names = await page.locator('nav a').allInnerTexts();
  const products = await page.locator('#products tr td:first-child').allInnerTexts();
  expect(products.length === 3 && products.every((name) => names.includes(name)), `products ${products} not named as in ${names}`);
});

await check('an integer saved in one step, reported, and in the policy', async () => {
  await open('index.php?group=vxm');
  const value = String(2000 + (Date.now() % 1000));
  await type(INT, value);
  expect(await row(INT).locator('.mark.unsaved').isVisible(), 'the edited row is not marked unsaved');
  equal(await page.locator('#unsaved-count').innerText(), '1 unsaved change', 'the count of unsaved changes');
  const result = await reviewAndSave([INT]);
  expect(/Saved: the change is stored/.test(result), `the result says: ${result}`);
  equal(policy(INT).int, Number(value), `cvmactl get ${INT}`);
  const saves = logged(/console audit: /);
  if (saves !== null) {
    expect(saves.some((line) => line.includes(`"account":${JSON.stringify(account)},"address":"127.0.0.1","action":"save","oid":"${INT}"`)
                                && line.includes(`"new":"${value}","result":"stored"`)), `no log line of the save: ${saves}`);
  }
  expect(await row(INT).locator('.mark.differs').isVisible(), 'a value that differs from its default is not marked');
  // A reload after saving is a GET of the same page: nothing is posted again.
  const response = await page.reload();
  equal(response.request().method(), 'GET', 'the reload after saving');
  expect(await page.locator('#result').count() === 0, 'the result is shown again after a reload');
});

await check('a string and table rows saved together', async () => {
  await open('index.php?group=vxm');
  const n = Date.now() % 100000;
  const text = `./spool-${n}`;
  await type(STRING, text);
  await type(TABLE, `${n},"hello, world"\n-3,"two\nlines"`);
  await page.click('#review-button');
  await page.locator('#review').waitFor();
  equal(await page.locator('#review ul.diff li').allInnerTexts(), [`+ ${n},"hello, world"`, '+ -3,"two\nlines"'], 'the rows the review shows');
  await Promise.all([page.waitForURL(/index\.php\?group=/), page.click('#save')]);
  const result = await page.locator('#result').innerText();
  expect(/all 2 changes are stored/.test(result), `the result says: ${result}`);
  equal(policy(STRING).string, text, `cvmactl get ${STRING}`);
  equal(policy(TABLE).rows, [[n, 'hello, world'], [-3, 'two\nlines']], `cvmactl get ${TABLE}`);
});

await check('a new password never travels in the review page, and is saved from the review kept in the session', async () => {
  await open('index.php?group=registry');
  const secret = `pw-${Date.now()}-x`;
  await type('UserHldPassword', secret);
  await page.click('#review-button');
  await page.locator('#review').waitFor();
  equal(await page.locator('#review tr[data-oid]').count(), 1, 'settings in the review');
  expect(!(await page.content()).includes(secret), 'the review page holds the new password');
  if (process.env.CV_SESSIONS) {
    const held = readdirSync(process.env.CV_SESSIONS, { withFileTypes: true })
      .filter((entry) => entry.isFile() && readFileSync(`${process.env.CV_SESSIONS}/${entry.name}`, 'latin1').includes(secret));
    equal(held.map((entry) => entry.name), [], 'session files holding the new password');
  }
  await page.click('#back');
  equal(await field('UserHldPassword').inputValue(), '', 'the password field after going back');
  await type('UserHldPassword', secret);
  const result = await reviewAndSave(['UserHldPassword']);
  expect(/the change is stored/.test(result), `the result says: ${result}`);
});

await check('invalid input is refused with its message and kept', async () => {
  await open('index.php?group=vxm');
  const before = policy(INT).int, rowsBefore = policy(TABLE).rows;
  await type(INT, '99999999999');
  await type(TABLE, 'abc,def\n1,fine\nxyz,g');
  await page.click('#review-button');
  expect(/Nothing was saved: 2 fields need correcting/.test(await page.locator('#problem').innerText()), 'no message for the whole form');
  // Every problem listed at the top, each a link that takes the keyboard to its field.
  const links = await page.locator('#errors a').evaluateAll((as) => as.map((a) => [a.getAttribute('href'), a.innerText]));
  equal(links.map(([href]) => href), [`#f-${TABLE}`, `#f-${TABLE}`, `#f-${INT}`], 'the links of the listed errors');
  expect(/Row 3, cell 1 \("xyz"\)/.test(links[1][1]), `the second bad row is not listed: ${links[1][1]}`);
  await page.locator('#errors a').nth(1).click();
  equal(await page.evaluate(() => document.activeElement.name), `value[${TABLE}]`, 'the field focused by the error link');
  expect(/out of range/i.test(await row(INT).locator('.error').innerText()), 'no range message beside the integer');
  expect(/Row 1, cell 1 \("abc"\) is not a whole number/.test(await row(TABLE).locator('.error').innerText()), 'no message beside the table');
  equal(await field(INT).inputValue(), '99999999999', 'the typed integer');
  equal((await field(TABLE).inputValue()).trim(), 'abc,def\n1,fine\nxyz,g', 'the typed rows');
  expect(await row(INT).locator('.mark.unsaved').isVisible(), 'the kept edit is not marked unsaved');
  equal(policy(INT).int, before, 'the policy after a refused save');
  equal(policy(TABLE).rows, rowsBefore, 'the table after a refused save');
});

await check('a final setting is refused and named, and a refused commit is reported', async () => {
  // Made final after the page was shown: the save names it and keeps the other edit.
  await open('index.php?group=vxm');
  const other = String(3000 + (Date.now() % 1000));
  await type(LATE_FINAL, '777');
  await type(INT, other);
  restrict(LATE_FINAL, 2);
  try {
    await page.click('#review-button');
    expect(/final/.test(await row(LATE_FINAL).locator('.error').innerText()), 'the late final setting is not named');
    expect(await field(LATE_FINAL).count() === 0, 'the final setting is still editable');
    equal(await field(INT).inputValue(), other, 'the other edit');
  } finally {
    restrict(LATE_FINAL, 0);
  }
  // The agent refuses a hidden setting at commit time: the page says so and names it.
  await open('index.php?group=vxm');
  const before = policy(HIDDEN).int;
  await type(HIDDEN, String(before + 1));
  await type(INT, other);
  restrict(HIDDEN, 1);
  let result;
  try {
    result = await reviewAndSave([HIDDEN, INT]);
  } finally {
    restrict(HIDDEN, 0);
  }
  expect(await page.locator('#result.bad').count() === 1, `the result is not shown as a failure: ${result}`);
  expect(/Not everything was saved/.test(result), `the result says: ${result}`);
  const notSaved = await page.locator('#not-saved li').allInnerTexts();
  expect(notSaved.length === 1 && notSaved[0].startsWith(HIDDEN + ':'), `not saved: ${JSON.stringify(notSaved)}`);
  expect(/Last error 12/.test(result), `the last error is not explained: ${result}`);
  equal(policy(HIDDEN).int, before, 'the refused setting in the policy');
  equal(policy(INT).int, Number(other), 'the setting saved beside it');
});

await check('the history page shows the saves just made and a cvmactl set, filtered by setting and account', async () => {
  // The case above saved INT through the console and was refused HIDDEN by the agent.
  const saved = policy(INT).int;
  const rows = async (query) => {
    await open('history.php?' + query);
    return page.locator('#history tr[data-oid]').evaluateAll((trs) => trs.map((tr) => ({
      oid: tr.dataset.oid, source: tr.dataset.source, account: tr.querySelector('.account').innerText,
      old: tr.cells[3].innerText, new: tr.cells[4].innerText, result: tr.cells[5].innerText })));
  };
  let shown = await rows('oid=' + encodeURIComponent(INT));
  expect(shown.length > 0 && shown.every((r) => r.oid === INT), `rows of other settings: ${JSON.stringify(shown.slice(0, 3))}`);
  expect(shown.some((r) => r.source === 'console' && r.account === account && r.new === String(saved) && r.result === 'stored'),
         `no console record of the save: ${JSON.stringify(shown.slice(0, 3))}`);
  shown = await rows('oid=' + encodeURIComponent(HIDDEN));
  expect(shown.some((r) => r.source === 'console' && r.result !== 'stored'), `no record of the refused save: ${JSON.stringify(shown.slice(0, 3))}`);
  sh(`${cvmactl} set ${INT} --int ${saved + 1}`);
  shown = await rows('oid=' + encodeURIComponent(INT));
  expect(shown[0].source === 'agent' && shown[0].old === String(saved) && shown[0].new === String(saved + 1) && shown[0].result === 'stored',
         `the cvmactl set is not the newest record: ${JSON.stringify(shown[0])}`);
  shown = await rows('account=' + encodeURIComponent(account));
  expect(shown.length > 0 && shown.every((r) => r.account === account), 'the account filter shows other accounts');
  const problems = await layoutProblems();
  expect(problems.length === 0, problems.join('; '));
});

await check('a POST without the session token changes nothing', async () => {
  await open('index.php?group=vxm');
  const before = policy(INT).int;
  for (const token of [null, 'forged']) {
    const form = { action: 'save', group: 'vxm', [`value[${INT}]`]: '5', [`orig[${INT}]`]: String(before) };
    if (token) form.token = token;
    const response = await page.request.post(base + 'index.php', { form, maxRedirects: 0 });
    equal(response.status(), 403, `a POST with token ${token}`);
  }
  equal(policy(INT).int, before, 'the policy after forged POSTs');
});

await check('a save without a logged-in session stores nothing; logout ends the session', async () => {
  await open('index.php?group=vxm');
  const token = await page.locator('#settings input[name="token"]').inputValue();
  const before = policy(INT).int;
  const form = { token, action: 'save', group: 'vxm', [`value[${INT}]`]: String(before + 1), [`orig[${INT}]`]: String(before) };
  // This session's token, sent without its cookie (plain HTTP, as another local account would).
  let response = await fetch(base + 'index.php', { method: 'POST', body: new URLSearchParams(form), redirect: 'manual' });
  equal([response.status, response.headers.get('location')], [303, 'login.php'], 'a save without the session');
  // A second browser logs in and out; its cookie and token are of no use afterwards.
  const other = await newPage();
  try {
    await other.goto(base + 'mailstore.php');
    await logIn(other, account, password);
    expect(other.url().endsWith('mailstore.php'), `not on the mail store page: ${other.url()}`);
    const cookie = (await other.context().cookies()).map((c) => `${c.name}=${c.value}`).join('; ');
    const otherToken = await other.locator('#account input[name="token"]').inputValue();
    await Promise.all([other.waitForURL(/login\.php$/), other.click('#logout')]);
    await other.goto(base + 'index.php');
    expect(/login\.php/.test(other.url()), `the console is shown after logging out: ${other.url()}`);
    response = await fetch(base + 'index.php', { method: 'POST', redirect: 'manual', headers: { cookie },
                                                 body: new URLSearchParams({ ...form, token: otherToken }) });
    equal([response.status, response.headers.get('location')], [303, 'login.php'], 'a save with the logged-out cookie');
  } finally {
    await other.context().close();
  }
  equal(policy(INT).int, before, 'the policy after saves without a session');
});

await check('leaving with edits not saved warns', async () => {
  await open('index.php?group=vxm');
  await type(STRING, 'not to be saved');
  let asked = null;
  page.once('dialog', async (dialog) => { asked = dialog.type(); await dialog.dismiss(); });
  await page.click('nav a[href*="group=common"]', { noWaitAfter: true });
  await page.waitForTimeout(500);
  equal(asked, 'beforeunload', 'the dialog when leaving');
  expect(page.url().includes('group=vxm'), 'the page was left although the warning was dismissed');
  // Without edits the links just work.
  await type(STRING, await page.locator(`input[name="orig[${STRING}]"]`).inputValue());
  await Promise.all([page.waitForURL(/group=common/), page.click('nav a[href*="group=common"]')]);
});

await check('the filter box and the marks', async () => {
  await open('index.php?group=vxm');
  const total = await page.locator('tr.setting').count();
  await page.fill('#filter', '100.70.');
  const shown = await page.locator('tr.setting:not(.hidden)').evaluateAll((rows) => rows.map((r) => r.dataset.oid));
  expect(shown.length > 3 && shown.length < total, `the filter shows ${shown.length} of ${total}`);
  expect(shown.every((oid) => oid.includes('100.70.')), 'the filter shows rows that do not match');
  await page.fill('#filter', '');
  await page.check('#only-differs');
  const differing = await page.locator('tr.setting:not(.hidden)').evaluateAll((rows) => rows.map((r) => r.dataset.oid));
  expect(differing.includes(INT) && differing.includes(STRING), 'the changed settings are not among those that differ');
  expect(!differing.includes(FINAL), 'a setting at its default is shown as differing');
});

await check('the agent stopped: settings unavailable but editable, the edits kept and saved once it runs', async () => {
  await open('index.php?group=vxm');
  const value = String(4000 + (Date.now() % 1000));
  sh(process.env.CV_AGENT_STOP);
  try {
    await open('index.php?group=vxm');
    expect(/not running/.test(await page.locator('#status-agent.down').innerText()), 'the status line does not say the agent is down');
    expect(await page.locator('#agent-down').isVisible(), 'no explanation of the agent being down');
    expect(await row(INT).locator('.mark.unavailable').isVisible(), 'a policy setting is not marked unavailable');
    equal(await page.locator('#settings-table .mark.final').count(), 0, 'settings marked final while the agent is down');
    await type(INT, value);
    await page.click('#review-button');
    expect(/Nothing was saved: the management agent is not running/.test(await page.locator('#problem').innerText()), 'no refusal');
    equal(await field(INT).inputValue(), value, 'the edit kept while the agent is down');
    equal(await page.locator('#unsaved-count').innerText(), '1 unsaved change', 'the count of kept edits');
  } finally {
    sh(process.env.CV_AGENT_START);
  }
  const result = await reviewAndSave([INT]);
  expect(/the change is stored/.test(result), `the retry says: ${result}`);
  equal(policy(INT).int, Number(value), `cvmactl get ${INT} after the retry`);
});

await check('the agent stopped during a save: every setting named, and the next save writes only what it reviewed', async () => {
  await open('index.php?group=vxm');
  const before = [policy(INT).int, policy(STRING).string];
  const other = policy(HIDDEN).int + 1;
  await type(INT, String(before[0] + 1));
  await type(STRING, before[1] + '-lost');
  await page.click('#review-button');
  // The commit waits two seconds before it writes: the agent stops in that wait.
  const answered = page.waitForResponse((r) => r.request().method() === 'GET' && r.url().includes('index.php?group='));
  await page.click('#save', { noWaitAfter: true });
  await page.waitForTimeout(1000);
  sh(process.env.CV_AGENT_STOP);
  let notSaved;
  try {
    await answered;
    await page.locator('#result').waitFor();
    notSaved = await page.locator('#not-saved li').allInnerTexts();
  } finally {
    sh(process.env.CV_AGENT_START);
  }
  equal(notSaved, [`${INT}: the agent stopped`, `${STRING}: the agent stopped`], 'the settings named as not saved');
  equal([policy(INT).int, policy(STRING).string], before, 'the policy after the failed save');
  // Nothing of that save is shown or written again: one edit saves one setting.
  await open('index.php?group=vxm');
  equal([await field(INT).inputValue(), await field(STRING).inputValue()], [String(before[0]), before[1]], 'the values shown after the agent came back');
  await type(HIDDEN, String(other));
  const result = await reviewAndSave([HIDDEN]);
  expect(/the change is stored/.test(result), `the result says: ${result}`);
  equal([policy(INT).int, policy(STRING).string, policy(HIDDEN).int], [...before, other], 'the policy after the next save');
});

await check('two tabs save one setting: the second is refused and named, the first value kept', async () => {
  const second = await newPage();
  try {
    await second.goto(base + 'index.php?group=vxm');
    await logIn(second, account, password);
    await open('index.php?group=vxm');
    const [mine, theirs] = [String(5000 + (Date.now() % 1000)), String(6000 + (Date.now() % 1000))];
    await type(INT, mine);
    await second.locator(`[name="value[${INT}]"]`).fill(theirs);
    await second.click('#review-button');
    await second.locator('#review').waitFor();
    equal(await second.locator('#review tr[data-oid]').count(), 1, 'the second tab\'s review');
    const result = await reviewAndSave([INT]);
    expect(/the change is stored/.test(result), `the first tab's result: ${result}`);
    // The review page has the same address: wait for the result itself.
    await second.click('#save');
    await second.locator('#not-saved').waitFor();
    equal(await second.locator('#not-saved li').allInnerTexts(),
          [`${INT}: changed elsewhere since this page was loaded: now “${mine}”`], 'the second tab\'s refusal');
    equal(policy(INT).int, Number(mine), 'the value after both saves');
  } finally {
    await second.context().close();
  }
});

await check('the mail store page lists mailboxes and public folders', async () => {
  let mailboxes = 0, folders = 0;
  for (let attempt = 0; attempt < 40 && (mailboxes === 0 || folders === 0); attempt++) {
    if (attempt) await page.waitForTimeout(250);
    await open('mailstore.php');
    mailboxes = await page.locator('table[data-list="Mailboxes"] tr').count() - 1;
    folders = await page.locator('ul[data-list="Public folders"] li').count();
  }
  expect(mailboxes > 0 && folders > 0, `mailboxes ${mailboxes}, public folders ${folders}`);
  expect(/^Read from the storage server at /.test(await page.locator('#source-mailboxes').innerText()), 'the source of the mailboxes is not named');
  expect(await page.locator('ul[data-list="Public folders"] li li').count() > 0, 'the public folders are not shown as a tree');
  expect(await page.locator('#status-storage.up').count() === 1, 'the storage server is not shown reachable');
  await Promise.all([page.waitForURL(/mailstore\.php$/), page.click('#refresh')]);
  expect(await page.locator('#result').isVisible(), 'no note after asking to read again');
  const problems = await layoutProblems();
  expect(problems.length === 0, problems.join('; '));
});

await browser.close();
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed === 0 ? 0 : 1);
