// The password reset in a real browser: from the e-mailed link to signing in with the
// new password, and the ways a link must not work.
'use strict';

const {test, before, after} = require('node:test');
const assert = require('node:assert/strict');
const kit = require('./kit.cjs');

let browser;
before(async () => { browser = await kit.launch(); });
after(() => kit.close(browser));

const visible = (page, id) =>
  page.$eval('#' + id, element => !element.closest('[hidden]') && element.offsetParent !== null);
const focused = page => page.evaluate(() => document.activeElement?.id || '');
const text = (page, id) => page.$eval('#' + id, element => element.textContent);

async function fill(page, password, confirm) {
  await page.bringToFront();
  for (const [id, value] of [['password', password], ['confirm', confirm]]) {
    await page.$eval('#' + id, element => { element.value = ''; });
    await page.type('#' + id, value);
  }
}

// Submits the form and waits for the page to settle on an answer.
async function submit(page) {
  await page.click('#save');
  const poll = {polling: 50};
  await page.waitForFunction(() => !document.getElementById('save').disabled, poll);
  await page.waitForFunction(() =>
    !document.getElementById('reset-error').hidden ||
    !document.getElementById('done').hidden || !document.getElementById('invalid').hidden,
  poll);
}

async function expectFieldError(page, message) {
  assert.equal(await visible(page, 'reset-error'), true);
  assert.equal(await text(page, 'reset-error'), message);
  assert.equal(await focused(page), 'password');
  for (const id of ['password', 'confirm']) {
    assert.equal(await page.$eval('#' + id, e => e.getAttribute('aria-invalid')), 'true');
    const describedBy = await page.$eval('#' + id, e => e.getAttribute('aria-describedby'));
    assert.ok(describedBy.split(' ').includes('reset-error'), describedBy);
  }
}

async function openLink(link) {
  const page = await kit.openPage(browser);
  await page.goto(link, {waitUntil: 'load'});
  return page;
}

test('a reset from the e-mailed link to signing in with the new password', async () => {
  const account = await kit.createAccount();
  const page = await openLink(await kit.requestResetLink(account.email));
  const posts = [];
  page.on('request', request => { if (request.method() === 'POST') posts.push(request.url()); });

  // The session leaves the address bar at once, and the form is ready to type into.
  assert.equal(page.url(), kit.resetPage);
  assert.equal(await visible(page, 'password'), true);
  assert.equal(await focused(page), 'password');
  assert.equal(await page.$eval('#username', e => [e.value, e.autocomplete].join(' ')),
               account.email + ' username');

  // A reload (phones discard background tabs) keeps the form.
  await page.reload({waitUntil: 'load'});
  assert.equal(await visible(page, 'password'), true);

  // Mistakes the browser can see are caught before anything is sent.
  await fill(page, 'a new password 1', 'a new password 2');
  await page.click('#save');
  await expectFieldError(page, 'The two passwords are not the same.');
  await fill(page, 'short', 'short');
  await page.click('#save');
  await expectFieldError(page, 'Use at least 8 characters.');
  assert.deepEqual(posts, []);

  // The server's refusal is shown the same way.
  await fill(page, account.password, account.password);
  await submit(page);
  await expectFieldError(page, 'Choose a password different from your old one.');

  const fresh = 'brand new pass é+1';
  await fill(page, fresh, fresh);
  await submit(page);
  assert.equal(await visible(page, 'done'), true);
  assert.equal(await page.evaluate(() => sessionStorage.length), 0);

  assert.equal((await kit.signIn(account.email, fresh)).status, 200);
  assert.equal((await kit.signIn(account.email, account.password)).status, 400);
  // Once saved, reloading offers no form for the spent link.
  await page.reload({waitUntil: 'load'});
  assert.equal(await visible(page, 'password'), false);
  // Only the refusal the test asked for, which the browser reports on its own.
  assert.deepEqual(page.problems, [
    'Failed to load resource: the server responded with a status of 422 (Unprocessable Entity)']);
  await page.close();
});

test('a link cannot hand its session to another address', async () => {
  const account = await kit.createAccount();
  const port = Number(new URL(kit.site).port);
  for (const redirect of ['http://127.0.0.1:9/steal', `http://127.0.0.1:${port + 1}/steal`,
                          `http://localhost:${port}/auth/callback`, 'https://example.com/',
                          `${kit.site}@example.com/`, `//example.com/`]) {
    const link = await kit.requestResetLink(account.email, redirect);
    const answer = await fetch(link, {redirect: 'manual'});
    assert.equal(answer.status, 303, redirect);
    assert.ok(answer.headers.get('location').startsWith(kit.site + '/#access_token='),
              redirect + ' went to ' + answer.headers.get('location').split('#')[0]);
    assert.equal(answer.headers.get('cache-control'), 'no-store');
    assert.equal(answer.headers.get('referrer-policy'), 'no-referrer');
  }
  // In the browser, the other-port link lands on the site's start page, which offers
  // the form and keeps it over a reload.
  const page = await kit.openPage(browser);
  const landed = await page.goto(
    await kit.requestResetLink(account.email, `http://127.0.0.1:${port + 1}/steal`));
  assert.equal(landed.url().split('#')[0], kit.site + '/');
  await page.reload({waitUntil: 'load'});
  assert.equal(await visible(page, 'password'), true);
  await page.close();
});

test('a new password ends every older reset link', async () => {
  const account = await kit.createAccount();
  // Link 1 is opened and left; link 2 completes a reset.
  const older = await openLink(await kit.requestResetLink(account.email));
  const newer = await openLink(await kit.requestResetLink(account.email));
  await fill(newer, 'newer password 1', 'newer password 1');
  await submit(newer);
  assert.equal(await visible(newer, 'done'), true);

  await fill(older, 'older password 1', 'older password 1');
  await submit(older);
  assert.equal(await visible(older, 'invalid'), true);
  assert.equal(await text(older, 'why'),
               'The password reset link has expired or was already used.');
  assert.equal((await kit.signIn(account.email, 'older password 1')).status, 400);

  // A password changed in the app ends an open reset link too.
  const signedIn = await kit.signIn(account.email, 'newer password 1');
  const pending = await openLink(await kit.requestResetLink(account.email));
  const unopened = await kit.requestResetLink(account.email);
  assert.equal((await kit.auth('user', {password: 'changed in app 1'},
                               signedIn.body.access_token)).status, 200);
  await fill(pending, 'pending password 1', 'pending password 1');
  await submit(pending);
  assert.equal(await visible(pending, 'invalid'), true);
  const late = await openLink(unopened);
  assert.equal(await visible(late, 'invalid'), true);
  assert.equal((await kit.signIn(account.email, 'changed in app 1')).status, 200);
  for (const page of [older, newer, pending, late]) await page.close();
});

test('the reset page shows its own texts, never the address\'s', async () => {
  const crafted = encodeURIComponent('Your account is locked. Call +1-555-0100');
  const cases = [
    ['error=access_denied&error_code=otp_expired', 'The link has expired or was already used.'],
    ['error=access_denied&error_code=something_else', 'The link is invalid or has expired.'],
    ['error=server_error', 'The link is invalid or has expired.'],
  ];
  const page = await kit.openPage(browser);
  for (const [fragment, expected] of cases) {
    // From elsewhere, so that each fragment loads the page anew.
    await page.goto('about:blank');
    await page.goto(`${kit.resetPage}#${fragment}&error_description=${crafted}`,
                    {waitUntil: 'load'});
    const shown = await page.$eval('main', main => main.innerText);
    assert.ok(!shown.includes('locked') && !shown.includes('555'), fragment);
    assert.equal(await text(page, 'why'), expected, fragment);
  }
  assert.deepEqual(page.problems, []);
  await page.close();
});
