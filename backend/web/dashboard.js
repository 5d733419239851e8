const $ = id => document.getElementById(id);
let token = sessionStorage.getItem('greetwell.token');

async function call(path, options = {}) {
  const headers = {apikey: API_KEY, 'Content-Type': 'application/json', ...(options.headers || {})};
  if (token) headers.Authorization = 'Bearer ' + token;
  const response = await fetch(path, {...options, headers});
  if (response.status === 401 && token) { signOut(); throw new Error('Your session ended. Please sign in again.'); }
  return response;
}

async function count(filter) {
  const r = await call('/rest/v1/visitors?select=id&limit=1&' + filter, {headers: {Prefer: 'count=exact'}});
  const total = (r.headers.get('Content-Range') || '').split('/').pop();
  return /^\d+$/.test(total) ? Number(total) : 0;
}

function cell(row, text) { const td = row.insertCell(); td.textContent = text; return td; }
// Messages read as sentences, whatever the server's wording.
function sentence(text) { return /[.!?]$/.test(text) ? text : text + '.'; }
// As the invitation page writes it: "Sunday, March 1, 2026 at 14:30", or "Any day".
function visitText(date, clock) {
  if (!/^\d{4}-\d{2}-\d{2}$/.test(date || '')) return 'Any day';
  const [y, m, d] = date.split('-').map(Number);
  const day = new Date(2000, 0, 1);
  day.setFullYear(y, m - 1, d);
  const text = day.toLocaleDateString('en-US', {weekday: 'long', month: 'long', day: 'numeric', year: 'numeric'});
  return /^\d{2}:\d{2}$/.test(clock || '') ? text + ' at ' + clock : text;
}
function time(ts) { return new Date(ts).toLocaleTimeString([], {hour: 'numeric', minute: '2-digit'}); }

function inviteStatus(invite) {
  if (invite.used_at) return 'Signed in ' + new Date(invite.used_at).toLocaleString([], {dateStyle: 'medium', timeStyle: 'short'});
  if (invite.visit_date) {
    const [y, m, d] = invite.visit_date.split('-').map(Number);
    const today = new Date(); today.setHours(0, 0, 0, 0);
    if (new Date(y, m - 1, d) < today) return 'Expired';
  }
  return 'Waiting';
}

async function load() {
  $('signin').hidden = true; $('board').hidden = false;
  const now = new Date();
  const today = new Date(now); today.setHours(0, 0, 0, 0);
  const week = new Date(today); week.setDate(today.getDate() - today.getDay());
  const [t, o, w, onSite, invites] = await Promise.all([
    count('signed_in_at=gte.' + encodeURIComponent(today.toISOString())),
    count('signed_out_at=is.null'),
    count('signed_in_at=gte.' + encodeURIComponent(week.toISOString())),
    call('/rest/v1/visitors?select=visitor_name,host_name,signed_in_at&order=signed_in_at.desc&signed_out_at=is.null&limit=500').then(r => r.json()),
    call('/rest/v1/invites?select=visitor_name,visitor_email,visit_date,visit_time,token,used_at&order=created_at.desc&limit=20').then(r => r.json()),
  ]);
  $('today').textContent = t; $('onsite').textContent = o; $('week').textContent = w;
  const people = $('people'); people.replaceChildren();
  for (const v of onSite) { const row = people.insertRow(); cell(row, v.visitor_name); cell(row, v.host_name || '—'); cell(row, time(v.signed_in_at)); }
  $('nobody').hidden = onSite.length > 0;
  const list = $('invites'); list.replaceChildren();
  for (const i of invites) {
    const row = list.insertRow();
    const link = document.createElement('a'); link.href = '/i/' + encodeURIComponent(i.token); link.textContent = i.visitor_name;
    row.insertCell().append(link);
    cell(row, visitText(i.visit_date, i.visit_time));
    cell(row, inviteStatus(i));
  }
  $('noinvites').hidden = invites.length > 0;
  $('updated').textContent = 'Updated ' + time(now.toISOString());
}

function signOut() {
  if (token) call('/auth/v1/logout', {method: 'POST'}).catch(() => {});
  token = null; sessionStorage.removeItem('greetwell.token');
  $('board').hidden = true; $('signin').hidden = false;
}

// Marks the sign-in fields as the ones the message is about, or clears that.
function markFields(invalid) {
  for (const field of [$('email'), $('pass')]) {
    for (const [name, value] of [['aria-invalid', 'true'], ['aria-describedby', 'message']]) {
      if (invalid) field.setAttribute(name, value);
      else field.removeAttribute(name);
    }
  }
}

$('form').addEventListener('submit', async event => {
  event.preventDefault();
  $('message').textContent = '';
  markFields(false);
  try {
    const r = await call('/auth/v1/token?grant_type=password', {method: 'POST',
      body: JSON.stringify({email: $('email').value.trim(), password: $('pass').value})});
    const body = await r.json();
    if (!r.ok) throw new Error(body.error_code === 'invalid_credentials' ? 'That email and password combination did not work.' : sentence(body.msg || body.message || 'Sign-in failed'));
    token = body.access_token; sessionStorage.setItem('greetwell.token', token);
    $('pass').value = '';
    await load();
  } catch (e) {
    $('message').textContent = sentence(e.message);
    if (!token) { markFields(true); $('pass').focus(); $('pass').select(); }
  }
});
$('signout').addEventListener('click', signOut);
$('refresh').addEventListener('click', () => {
  $('problem').textContent = '';
  load().catch(e => { $('problem').textContent = sentence(e.message); });
});
if (token) load().catch(() => signOut());
