// Shared pieces of the browser tests: the backend the fixture started, accounts and mail
// through its APIs, and a headless Chromium on a fresh profile.
'use strict';

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const {execFile} = require('node:child_process');
const puppeteer = require('puppeteer-core');

if (!process.env.GREETWELL_TEST_BACKEND_INFO)
  throw new Error('GREETWELL_TEST_BACKEND_INFO must name the backend fixture\'s info.json');
const info = JSON.parse(fs.readFileSync(process.env.GREETWELL_TEST_BACKEND_INFO, 'utf8'));
const site = info.url.replace(/\/+$/, '');
const resetPage = site + '/auth/callback?next=/reset-password';

let counter = 0;

async function auth(pathAndQuery, body, token) {
  const headers = {apikey: info.apikey, 'Content-Type': 'application/json'};
  if (token) headers.Authorization = 'Bearer ' + token;
  const response = await fetch(site + '/auth/v1/' + pathAndQuery, {
    method: pathAndQuery === 'user' ? 'PUT' : 'POST', headers, body: JSON.stringify(body),
  });
  return {status: response.status, body: await response.json().catch(() => null)};
}

async function createAccount() {
  const email = `browser-${process.pid}-${Date.now()}-${counter++}@example.com`;
  const password = 'first-' + Math.random().toString(36).slice(2);
  const answer = await auth('signup', {email, password, data: {name: 'Browser Test'}});
  if (answer.status !== 200 || !answer.body.access_token)
    throw new Error('sign-up failed: ' + answer.status + ' ' + JSON.stringify(answer.body));
  return {email, password, accessToken: answer.body.access_token};
}

const signIn = (email, password) => auth('token?grant_type=password', {email, password});

function mailFiles(address) {
  return fs.readdirSync(info.outbox)
    .filter(name => name.endsWith('.eml'))
    .filter(name => fs.readFileSync(path.join(info.outbox, name), 'utf8')
      .includes('\r\nTo: ' + address + '\r\n'));
}

// Asks for a reset as the app does (with `redirectTo` in its place) and returns the link
// of the e-mail it wrote.
async function requestResetLink(email, redirectTo = resetPage) {
  const before = new Set(mailFiles(email));
  const answer = await auth('recover?redirect_to=' + encodeURIComponent(redirectTo), {email});
  if (answer.status !== 200) throw new Error('recover answered ' + answer.status);
  const fresh = mailFiles(email).filter(name => !before.has(name));
  if (fresh.length !== 1) throw new Error(`expected one new mail, found ${fresh.length}`);
  const text = fs.readFileSync(path.join(info.outbox, fresh[0]), 'utf8');
  const link = /(http:\/\/\S+\/auth\/v1\/verify\?\S+)/.exec(text);
  if (!link) throw new Error('no link in the reset mail');
  return link[1];
}

async function createInvite(account, invite) {
  const response = await fetch(site + '/api/invites', {
    method: 'POST',
    headers: {apikey: info.apikey, 'Content-Type': 'application/json',
              Authorization: 'Bearer ' + account.accessToken},
    body: JSON.stringify(invite),
  });
  const body = await response.json();
  if (response.status !== 201) throw new Error('invite answered ' + response.status);
  return body;
}

async function addVisitor(account, visitor) {
  const response = await fetch(site + '/rest/v1/visitors', {
    method: 'POST',
    headers: {apikey: info.apikey, 'Content-Type': 'application/json',
              Authorization: 'Bearer ' + account.accessToken, Prefer: 'return=minimal'},
    body: JSON.stringify(visitor),
  });
  if (response.status !== 201) throw new Error('visitor insert answered ' + response.status);
}

async function launch() {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'greetwell-chromium-'));
  const browser = await puppeteer.launch({
    executablePath: process.env.GREETWELL_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    userDataDir: profile,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  browser.profile = profile;
  return browser;
}

async function close(browser) {
  if (!browser) return;
  await browser.close();
  fs.rmSync(browser.profile, {recursive: true, force: true, maxRetries: 10, retryDelay: 100});
}

// A page that records every console error and uncaught exception.
async function openPage(browser, {width = 1280, height = 800, scheme = 'light'} = {}) {
  const page = await browser.newPage();
  page.problems = [];
  page.on('console', message => {
    if (message.type() === 'error') page.problems.push(message.text());
  });
  page.on('pageerror', error => page.problems.push(String(error)));
  // Two cores are shared with the rest of the test run.
  page.setDefaultTimeout(60000);
  await page.setViewport({width, height});
  await page.emulateMediaFeatures([{name: 'prefers-color-scheme', value: scheme}]);
  return page;
}

function zbarimg(file) {
  return new Promise((resolve, reject) => {
    execFile('zbarimg', ['--raw', '-q', file], (error, stdout, stderr) =>
      error ? reject(new Error('zbarimg: ' + (stderr || error.message))) : resolve(stdout));
  });
}

// Where screenshots for a person to look at go, when asked for.
const shotsDir = process.env.GREETWELL_SCREENSHOTS || '';

module.exports = {
  info, site, resetPage, auth, createAccount, signIn, requestResetLink, createInvite, addVisitor,
  launch, close, openPage, zbarimg, shotsDir,
};
