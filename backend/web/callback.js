const KEY = 'greetwell.reset';
const $ = id => document.getElementById(id);
const show = id => {
  for (const s of document.querySelectorAll('main > section')) s.hidden = s.id !== id;
};
// Only texts of our own: the address is anyone's to write.
const REASONS = {otp_expired: 'The link has expired or was already used.'};
const GENERIC = 'The link is invalid or has expired.';
const USED = 'The password reset link has expired or was already used.';
let token = '';

function claims(jwt) {
  try {
    const part = jwt.split('.')[1].replace(/-/g, '+').replace(/_/g, '/');
    return JSON.parse(new TextDecoder().decode(Uint8Array.from(atob(part), c => c.charCodeAt(0))));
  } catch { return {}; }
}

function linkDead(text) {
  sessionStorage.removeItem(KEY);
  $('why').textContent = text;
  show('invalid');
}

function openForm(candidate) {
  const c = claims(candidate);
  if (!(c.exp * 1000 > Date.now())) return linkDead(USED);
  token = candidate;
  $('username').value = c.email || '';
  $('account').textContent = c.email || '';
  $('for').hidden = !c.email;
  show('reset');
  $('password').focus();
}

function fail(message) {
  const error = $('reset-error');
  error.textContent = message;
  error.hidden = false;
  for (const field of [$('password'), $('confirm')]) {
    field.setAttribute('aria-invalid', 'true');
    field.setAttribute('aria-describedby', 'reset-error reset-hint');
  }
  $('password').focus();
  $('password').select();
}

function problem(password, confirm) {
  if ([...password].length < 8) return 'Use at least 8 characters.';
  if (new TextEncoder().encode(password).length > 72)
    return 'Use at most 72 bytes (72 letters without accents).';
  if (password !== confirm) return 'The two passwords are not the same.';
  return '';
}

$('reset-form').addEventListener('submit', async event => {
  event.preventDefault();
  const password = $('password').value, confirm = $('confirm').value;
  const why = problem(password, confirm);
  if (why) return fail(why);
  $('save').disabled = true;
  try {
    const response = await fetch('/auth/callback', {
      method: 'POST', headers: {Accept: 'application/json'},
      body: new URLSearchParams({access_token: token, password, confirm})});
    const body = await response.json().catch(() => ({}));
    if (response.ok) {
      sessionStorage.removeItem(KEY);
      show('done');
    } else if (response.status === 401) {
      linkDead(USED);
    } else {
      fail(body.error || 'The password could not be saved. Please try again.');
    }
  } catch {
    fail('The server could not be reached. Check the connection and try again.');
  } finally {
    $('save').disabled = false;
  }
});

const params = new URLSearchParams(location.hash.slice(1));
if (location.hash) history.replaceState(null, '', location.pathname + location.search);
if (params.has('error') || params.has('error_code') || params.has('error_description')) {
  linkDead(REASONS[params.get('error_code')] || GENERIC);
} else if (params.get('access_token') && params.get('type') === 'recovery') {
  sessionStorage.setItem(KEY, params.get('access_token'));
  // Wherever the link landed, a reload comes back to the form.
  history.replaceState(null, '', '/auth/callback?next=/reset-password');
  openForm(params.get('access_token'));
} else if (params.get('access_token') && params.get('type') === 'signup') {
  show('confirmed');
} else if (new URLSearchParams(location.search).get('next') === '/reset-password' &&
           sessionStorage.getItem(KEY)) {
  openForm(sessionStorage.getItem(KEY));
}
