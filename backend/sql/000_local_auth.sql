-- LOCAL ONLY. Do not apply to a hosted Supabase project: there the auth service owns the
-- `auth` schema, the API roles already exist and `auth.uid()` is provided.
--
-- This file stands in for those pieces on a private cluster so that the app tables,
-- policies and functions in the other files apply unchanged in both places.

create schema if not exists extensions;
create extension if not exists pgcrypto with schema extensions;

-- API roles as the hosted service has them. The server logs in as `authenticator`, which
-- has no table privileges of its own (NOINHERIT): every REST request must switch to
-- `authenticated` first, so a forgotten switch fails closed instead of bypassing the
-- row-level security policies.
do $$
begin
  if not exists (select from pg_roles where rolname = 'anon') then
    create role anon nologin noinherit;
  end if;
  if not exists (select from pg_roles where rolname = 'authenticated') then
    create role authenticated nologin noinherit;
  end if;
  if not exists (select from pg_roles where rolname = 'service_role') then
    create role service_role nologin noinherit bypassrls;
  end if;
  if not exists (select from pg_roles where rolname = 'authenticator') then
    create role authenticator login noinherit;
  end if;
end
$$;

grant anon, authenticated, service_role to authenticator;
grant usage on schema extensions to anon, authenticated, service_role, authenticator;

create schema if not exists auth;
grant usage on schema auth to anon, authenticated, service_role, authenticator;

-- Column names follow the hosted auth schema where they overlap.
create table auth.users (
  id                    uuid primary key default gen_random_uuid(),
  aud                   text not null default 'authenticated',
  role                  text not null default 'authenticated',
  email                 text not null unique check (email = lower(email)),
  encrypted_password    text not null,
  email_confirmed_at    timestamptz,
  confirmation_token    text,          -- SHA-256 of the mailed token, hex
  confirmation_sent_at  timestamptz,
  recovery_token        text,          -- SHA-256 of the mailed token, hex
  recovery_sent_at      timestamptz,
  last_sign_in_at       timestamptz,
  raw_app_meta_data     jsonb not null default '{"provider":"email","providers":["email"]}',
  raw_user_meta_data    jsonb not null default '{}',
  created_at            timestamptz not null default now(),
  updated_at            timestamptz not null default now()
);
create index users_confirmation_token_idx on auth.users (confirmation_token)
  where confirmation_token is not null;
create index users_recovery_token_idx on auth.users (recovery_token)
  where recovery_token is not null;

create table auth.sessions (
  id           uuid primary key default gen_random_uuid(),
  user_id      uuid not null references auth.users (id) on delete cascade,
  created_at   timestamptz not null default now(),
  updated_at   timestamptz not null default now(),
  refreshed_at timestamptz
);
create index sessions_user_id_idx on auth.sessions (user_id);

create table auth.refresh_tokens (
  id         bigserial primary key,
  token      text not null unique,     -- SHA-256 of the token handed out, hex
  user_id    uuid not null references auth.users (id) on delete cascade,
  session_id uuid not null references auth.sessions (id) on delete cascade,
  parent     text,
  revoked    boolean not null default false,
  created_at timestamptz not null default now(),
  updated_at timestamptz not null default now()
);
create index refresh_tokens_session_id_idx on auth.refresh_tokens (session_id);

-- The same definitions the hosted service uses: the claims of the verified access token
-- are set per transaction by the REST layer.
create or replace function auth.uid() returns uuid
language sql stable
as $$
  select coalesce(
    nullif(current_setting('request.jwt.claim.sub', true), ''),
    (nullif(current_setting('request.jwt.claims', true), '')::jsonb ->> 'sub')
  )::uuid
$$;

create or replace function auth.role() returns text
language sql stable
as $$
  select coalesce(
    nullif(current_setting('request.jwt.claim.role', true), ''),
    (nullif(current_setting('request.jwt.claims', true), '')::jsonb ->> 'role')
  )::text
$$;

create or replace function auth.jwt() returns jsonb
language sql stable
as $$
  select coalesce(
    nullif(current_setting('request.jwt.claim', true), ''),
    nullif(current_setting('request.jwt.claims', true), '')
  )::jsonb
$$;

grant execute on function auth.uid(), auth.role(), auth.jwt()
  to anon, authenticated, service_role, authenticator;

-- The server itself plays the auth service.
grant select, insert, update, delete on auth.users, auth.sessions, auth.refresh_tokens
  to authenticator;
grant usage on sequence auth.refresh_tokens_id_seq to authenticator;
