// Every auth and REST call the desk makes, made with the official JavaScript clients, so
// that greetwell-backend stays a drop-in for the hosted service they were written for.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { randomUUID } from 'node:crypto';
import { readFileSync } from 'node:fs';
import { AuthClient } from '@supabase/auth-js';
import { PostgrestClient } from '@supabase/postgrest-js';

const info = JSON.parse(readFileSync(process.env.GREETWELL_TEST_BACKEND_INFO, 'utf8'));

function authClient() {
  return new AuthClient({
    url: `${info.url}/auth/v1`,
    headers: { apikey: info.apikey },
    persistSession: false,
    autoRefreshToken: false,
  });
}

function restClient(accessToken) {
  return new PostgrestClient(`${info.url}/rest/v1`, {
    headers: { apikey: info.apikey, Authorization: `Bearer ${accessToken}` },
  });
}

function sql(statement) {
  return execFileSync('psql', ['-X', '-q', '-tA', '-v', 'ON_ERROR_STOP=1', '-d', info.database,
    '-c', statement], { encoding: 'utf8' }).trim();
}

function freshAccount() {
  return { email: `js-${randomUUID().slice(0, 12)}@example.com`, password: `pw-${randomUUID()}` };
}

// Fails with the client's own error text, which names the code the client read.
function ok({ data, error }) {
  assert.equal(error, null, error && `${error.name} ${error.status} ${error.code}: ${error.message}`);
  return data;
}

test('accounts and sessions', async () => {
  const account = freshAccount();
  const auth = authClient();

  const signedUp = ok(await auth.signUp({ ...account, options: { data: { name: 'Ada Desk' } } }));
  assert.ok(signedUp.session?.access_token);
  assert.equal(signedUp.user.user_metadata.name, 'Ada Desk');

  // Error codes come through: the client reads them by the API version the answer names.
  const taken = await auth.signUp(account);
  assert.equal(taken.error?.code, 'user_already_exists');
  const wrong = await auth.signInWithPassword({ email: account.email, password: 'not it at all' });
  assert.equal(wrong.error?.status, 400);
  assert.equal(wrong.error?.code, 'invalid_credentials');

  const signedIn = ok(await auth.signInWithPassword(account));
  const refreshed = ok(await auth.refreshSession({ refresh_token: signedIn.session.refresh_token }));
  assert.notEqual(refreshed.session.refresh_token, signedIn.session.refresh_token);
  const user = ok(await auth.getUser(refreshed.session.access_token)).user;
  assert.equal(user.email, account.email);

  // A second desk of the account: the password change ends it, not this one.
  const other = authClient();
  const otherSession = ok(await other.signInWithPassword(account)).session;
  ok(await auth.updateUser({ password: 'a brand new password' }));
  assert.ok((await other.refreshSession({ refresh_token: otherSession.refresh_token })).error);
  assert.ok((await authClient().getUser(otherSession.access_token)).error);
  ok(await authClient().signInWithPassword({ email: account.email, password: 'a brand new password' }));

  ok(await auth.resetPasswordForEmail(account.email, {
    redirectTo: `${info.url}/auth/callback?next=/reset-password`,
  }));

  const current = ok(await auth.getSession()).session;
  ok(await auth.signOut({ scope: 'local' }));
  assert.ok((await authClient().refreshSession({ refresh_token: current.refresh_token })).error);
  assert.ok((await authClient().getUser(current.access_token)).error);
});

test('visitor log, settings and invites', async () => {
  const account = freshAccount();
  const session = ok(await authClient().signUp(account)).session;
  const rest = restClient(session.access_token);
  const owner = session.user.id;
  const columns = 'id,visitor_name,host_name,answers,signed_in_at,signed_out_at,list_name,device_name';

  // The desk reads the one-element array it asks for (no single-object Accept header).
  const [inserted] = ok(await rest.from('visitors').insert({
    device_record_id: randomUUID(), visitor_name: 'Grace Hopper', host_name: 'Alan',
    answers: [{ label: 'Email', value: 'grace@example.com' }],
    signed_in_at: new Date().toISOString(), device_name: 'Front desk',
  }).select(columns));
  assert.equal(inserted.visitor_name, 'Grace Hopper');

  const onSite = ok(await rest.from('visitors').select(columns).is('signed_out_at', null)
    .order('signed_in_at', { ascending: false }).limit(500));
  assert.deepEqual(onSite.map((row) => row.id), [inserted.id]);
  const today = await rest.from('visitors').select('id', { count: 'exact' })
    .gte('signed_in_at', new Date(Date.now() - 3600e3).toISOString()).limit(1);
  assert.equal(ok(today).length, 1);
  assert.equal(today.count, 1);
  const found = ok(await rest.from('visitors').select(columns).ilike('search_text', '%grace%')
    .order('signed_in_at', { ascending: false }).range(0, 49));
  assert.equal(found.length, 1);

  ok(await rest.from('visitors').update({ signed_out_at: new Date().toISOString() })
    .eq('id', inserted.id).is('signed_out_at', null));
  assert.equal(ok(await rest.from('visitors').select('id').is('signed_out_at', null)).length, 0);

  for (const [table, row] of [
    ['kiosk_settings', { owner_id: owner, fields: [], employees: [], place_name: 'Lobby' }],
    ['notification_settings', { owner_id: owner, office_webhook: '', notify_sign_in: true,
      notify_sign_out: false, employee_webhooks: {} }],
  ]) {
    ok(await rest.from(table).upsert(row, { onConflict: 'owner_id' }));
    ok(await rest.from(table).upsert(row, { onConflict: 'owner_id' }));
    assert.equal(ok(await rest.from(table).select('*')).length, 1);
  }

  // Invites are made by the website; the desk reads, marks and deletes them.
  const [first, second] = [randomUUID(), randomUUID()];
  sql(`insert into public.invites (id, owner_id, token, visitor_name, visitor_email) values
       ('${first}', '${owner}', '${randomUUID()}', 'Invited One', 'one@example.com'),
       ('${second}', '${owner}', '${randomUUID()}', 'Invited Two', 'two@example.com')`);
  const pending = () => rest.from('invites')
    .select('id,token,visitor_name,visitor_email,answers,visit_date,visit_time,note,created_at,used_at')
    .is('used_at', null).order('created_at', { ascending: false }).limit(100);
  assert.equal(ok(await pending()).length, 2);
  ok(await rest.from('invites').update({ used_at: new Date().toISOString() }).eq('id', first));
  ok(await rest.from('invites').delete().eq('id', second));
  assert.equal(ok(await pending()).length, 0);

  ok(await rest.rpc('delete_account'));
  assert.ok((await authClient().getUser(session.access_token)).error);
  assert.equal(sql(`select count(*) from auth.users where id = '${owner}'`), '0');
});
