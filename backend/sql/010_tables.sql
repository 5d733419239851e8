-- The account's tables. Applies unchanged to a hosted Supabase project (auth.users and
-- auth.uid() come from its auth service there, from 000_local_auth.sql locally).

create schema if not exists extensions;
create extension if not exists pg_trgm with schema extensions;

-- One row per sign-in. `search_text` is filled by a trigger and only used in filters.
create table public.visitors (
  id               uuid primary key default gen_random_uuid(),
  owner_id         uuid not null default auth.uid() references auth.users (id) on delete cascade,
  device_record_id text,
  visitor_name     text not null,
  host_name        text,
  answers          jsonb not null default '[]' check (jsonb_typeof(answers) = 'array'),
  signed_in_at     timestamptz not null default now(),
  signed_out_at    timestamptz,
  list_name        text,
  device_name      text,
  search_text      text not null default '',
  created_at       timestamptz not null default now(),
  -- A device that retries an insert after a lost answer must not create a second row.
  unique (owner_id, device_record_id)
);

-- The log, newest first; the on-site list; the text search.
create index visitors_owner_signed_in_idx on public.visitors (owner_id, signed_in_at desc);
create index visitors_on_site_idx on public.visitors (owner_id, signed_in_at desc)
  where signed_out_at is null;
create index visitors_search_text_idx on public.visitors
  using gin (search_text extensions.gin_trgm_ops);

create or replace function public.visitors_set_search_text() returns trigger
language plpgsql
set search_path = ''
as $$
begin
  new.search_text := lower(concat_ws(' ',
    new.visitor_name,
    new.host_name,
    (select string_agg(answer ->> 'value', ' ')
       -- Anything but an array is left to the check constraint to refuse.
       from jsonb_array_elements(case jsonb_typeof(new.answers) when 'array' then new.answers
                                                                else '[]' end) as answer
      where jsonb_typeof(answer) = 'object')));
  return new;
end
$$;

create trigger visitors_search_text
  before insert or update on public.visitors
  for each row execute function public.visitors_set_search_text();

-- The sign-in form and the host list: one row per account.
create table public.kiosk_settings (
  owner_id   uuid primary key default auth.uid() references auth.users (id) on delete cascade,
  fields     jsonb not null default '[
      {"slot": 0, "label": "Name", "type": "Plain Text", "required": true, "employee_list": false},
      {"slot": 1, "label": "Email", "type": "Email", "required": false, "employee_list": false},
      {"slot": 2, "label": "Phone", "type": "Phone", "required": false, "employee_list": false}
    ]' check (jsonb_typeof(fields) = 'array'),
  employees  jsonb not null default '[]' check (jsonb_typeof(employees) = 'array'),
  place_name text,
  updated_at timestamptz not null default now()
);

-- Host notifications: one row per account.
create table public.notification_settings (
  owner_id          uuid primary key default auth.uid() references auth.users (id) on delete cascade,
  office_webhook    text not null default '',
  notify_sign_in    boolean not null default true,
  notify_sign_out   boolean not null default false,
  employee_webhooks jsonb not null default '{}' check (jsonb_typeof(employee_webhooks) = 'object'),
  updated_at        timestamptz not null default now()
);

create or replace function public.touch_updated_at() returns trigger
language plpgsql
set search_path = ''
as $$
begin
  new.updated_at := now();
  return new;
end
$$;

create trigger kiosk_settings_updated_at
  before update on public.kiosk_settings
  for each row execute function public.touch_updated_at();
create trigger notification_settings_updated_at
  before update on public.notification_settings
  for each row execute function public.touch_updated_at();

-- Invitations. Rows are created by the website (which issues the token and sends the
-- e-mail); desks read them, mark them used and cancel them.
create table public.invites (
  id            uuid primary key default gen_random_uuid(),
  owner_id      uuid not null default auth.uid() references auth.users (id) on delete cascade,
  token         text not null unique check (length(token) >= 22),
  visitor_name  text not null,
  visitor_email text not null,
  answers       jsonb not null default '[]' check (jsonb_typeof(answers) = 'array'),
  visit_date    date,
  visit_time    text check (visit_time ~ '^([01][0-9]|2[0-3]):[0-5][0-9]$'),
  note          text check (length(note) <= 500),
  created_at    timestamptz not null default now(),
  used_at       timestamptz
);

create index invites_owner_created_idx on public.invites (owner_id, created_at desc);
