// Every page of the website at desktop and phone size, light and dark: no script errors,
// no sideways scrolling on a phone, readable contrast, and an invitation code that scans.
'use strict';

const {test, before, after} = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const kit = require('./kit.cjs');

let browser, account, invite;
before(async () => {
  browser = await kit.launch();
  account = await kit.createAccount();
  invite = await kit.createInvite(account, {
    answers: [{slot: 0, value: 'Zoë Example-Longname'}], email: 'zoe@example.com',
    visit_date: '2031-01-03', visit_time: '16:05', note: 'Gate B, then the second door left.',
  });
  await kit.addVisitor(account, {visitor_name: 'Sam Lee-Whitaker', host_name: 'Dana Reyes'});
});
after(() => kit.close(browser));

const sizes = [{width: 1280, height: 800}, {width: 390, height: 844}];
const schemes = ['light', 'dark'];

// Every text with less than 4.5:1 against what lies behind it, and every text field
// border under 3:1, as "what: ratio" lines.
function lowContrast() {
  const rgba = text => {
    const m = /rgba?\(([\d.]+), ([\d.]+), ([\d.]+)(?:, ([\d.]+))?\)/.exec(text);
    return m ? [+m[1], +m[2], +m[3], m[4] === undefined ? 1 : +m[4]] : null;
  };
  const over = (top, bottom) => top.slice(0, 3).map((c, i) => c * top[3] + bottom[i] * (1 - top[3]));
  const background = element => {
    const layers = [];
    for (let e = element; e; e = e.parentElement) {
      const c = rgba(getComputedStyle(e).backgroundColor);
      if (c && c[3] > 0) layers.push(c);
      if (c && c[3] === 1) break;
    }
    return layers.reverse().reduce((under, layer) => over(layer, under), [255, 255, 255]);
  };
  const luminance = c => {
    const [r, g, b] = c.map(v => v / 255).map(v => v <= 0.03928 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4);
    return 0.2126 * r + 0.7152 * g + 0.0722 * b;
  };
  const ratio = (a, b) => {
    const [hi, lo] = [luminance(a), luminance(b)].sort((x, y) => y - x);
    return (hi + 0.05) / (lo + 0.05);
  };
  const shown = e => e.getClientRects().length > 0 && getComputedStyle(e).visibility !== 'hidden';
  const found = [];
  for (const e of document.querySelectorAll('body *')) {
    if (!shown(e) || e.closest('svg') || e.disabled) continue;
    const style = getComputedStyle(e);
    const behind = background(e.parentElement || e);
    const own = background(e);
    const hasText = [...e.childNodes].some(n => n.nodeType === 3 && n.textContent.trim());
    if (hasText) {
      const r = ratio(over(rgba(style.color), own), own);
      if (r < 4.5) found.push(`${e.tagName.toLowerCase()}#${e.id} "${e.textContent.trim().slice(0, 30)}": ${r.toFixed(2)}`);
    }
    if (e.tagName === 'INPUT' && e.type !== 'hidden') {
      const border = over(rgba(style.borderTopColor), behind);
      const r = Math.min(ratio(border, behind), ratio(border, own));
      if (r < 3) found.push(`input#${e.id} border: ${r.toFixed(2)}`);
    }
  }
  return found;
}

const pages = () => [
  ['home', '/'],
  ['reset', '/auth/callback?next=/reset-password'],
  ['dashboard', '/dashboard'],
  ['support', '/support'],
  ['privacy', '/privacy'],
  ['guide', '/guides/host-notifications'],
  ['invite', '/i/' + invite.token],
];

async function check(page, name, {width, scheme}) {
  const where = `${name} at ${width} px, ${scheme}`;
  assert.deepEqual(page.problems, [], where);
  const {scroll, inner} = await page.evaluate(() => ({
    scroll: document.documentElement.scrollWidth, inner: window.innerWidth}));
  assert.ok(scroll <= inner, `${where} scrolls sideways: ${scroll} > ${inner}`);
  assert.deepEqual(await page.evaluate(lowContrast), [], where);
  if (kit.shotsDir) {
    fs.mkdirSync(kit.shotsDir, {recursive: true});
    await page.screenshot({path: path.join(kit.shotsDir, `${name}-${width}-${scheme}.png`),
                           fullPage: true});
  }
}

test('every page at both sizes and in both modes', async () => {
  for (const size of sizes) {
    for (const scheme of schemes) {
      const page = await kit.openPage(browser, {...size, scheme});
      for (const [name, address] of pages()) {
        page.problems.length = 0;
        await page.goto(kit.site + address, {waitUntil: 'load'});
        await check(page, name, {...size, scheme});
      }
      // The same pages with their other states showing.
      page.problems.length = 0;
      await page.goto(kit.resetPage + '#error=access_denied&error_code=otp_expired',
                      {waitUntil: 'load'});
      await check(page, 'reset-error', {...size, scheme});

      await page.goto(await kit.requestResetLink(account.email), {waitUntil: 'load'});
      await check(page, 'reset-form', {...size, scheme});
      await page.type('#password', 'one password');
      await page.type('#confirm', 'another one');
      await page.click('#save');
      await check(page, 'reset-refused', {...size, scheme});

      await page.goto(kit.site + '/dashboard', {waitUntil: 'load'});
      await page.type('#email', account.email);
      await page.type('#pass', 'not the password');
      await page.click('#form button');
      await page.waitForFunction(() => document.getElementById('message').textContent);
      assert.equal(await page.$eval('#message', e => e.textContent),
                   'That email and password combination did not work.');
      assert.deepEqual(await page.evaluate(() => [document.activeElement.id,
        document.getElementById('email').getAttribute('aria-describedby')]), ['pass', 'message']);
      // The failed sign-in is a 400 answer, which the browser reports on its own.
      page.problems.length = 0;
      await check(page, 'dashboard-refused', {...size, scheme});
      await page.$eval('#pass', e => { e.value = ''; });
      await page.type('#pass', account.password);
      await page.click('#form button');
      await page.waitForFunction(() => !document.getElementById('board').hidden &&
                                       document.getElementById('updated').textContent);
      // Visit dates read as on the invitation page.
      assert.equal(await page.$eval('#invites tr td:nth-child(2)', e => e.textContent),
                   'Friday, January 3, 2031 at 16:05');
      await check(page, 'dashboard-board', {...size, scheme});
      await page.click('#signout');
      await page.close();
    }
  }
});

test('a missing page answers 404 with the site around it', async () => {
  for (const scheme of schemes) {
    const page = await kit.openPage(browser, {width: 390, height: 844, scheme});
    for (const [name, address] of [['missing', '/no/such/page'], ['missing-invite', '/i/' + 'x'.repeat(30)]]) {
      const answer = await page.goto(kit.site + address, {waitUntil: 'load'});
      assert.equal(answer.status(), 404, address);
      // The browser reports the status itself; nothing else may appear.
      assert.deepEqual(page.problems.splice(0),
                       ['Failed to load resource: the server responded with a status of 404 (Not Found)']);
      await check(page, name, {width: 390, scheme});
    }
    await page.close();
  }
});

test('the invitation code scans as the invitation link', async () => {
  const page = await kit.openPage(browser, {width: 390, height: 844, scheme: 'dark'});
  const link = kit.site + '/i/' + invite.token;
  await page.goto(link, {waitUntil: 'load'});
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'greetwell-qr-'));
  try {
    const file = path.join(dir, 'code.png');
    await (await page.$('svg.qr')).screenshot({path: file});
    assert.equal((await kit.zbarimg(file)).trim(), link);
  } finally {
    fs.rmSync(dir, {recursive: true, force: true});
    await page.close();
  }
});
