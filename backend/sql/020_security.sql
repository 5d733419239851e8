-- Who may touch what. Every table is scoped to the bearer token's user by row-level
-- security; the API roles get only the privileges the desk needs.

alter table public.visitors enable row level security;
alter table public.kiosk_settings enable row level security;
alter table public.notification_settings enable row level security;
alter table public.invites enable row level security;

-- A hosted project grants everything in `public` to its API roles by default; start from
-- nothing and grant what is used.
revoke all on public.visitors, public.kiosk_settings, public.notification_settings, public.invites
  from anon, authenticated;

grant select, insert, update, delete
  on public.visitors, public.kiosk_settings, public.notification_settings
  to authenticated;
-- Invites are inserted by the website (as service_role), never by a desk.
grant select, update, delete on public.invites to authenticated;

grant all on public.visitors, public.kiosk_settings, public.notification_settings, public.invites
  to service_role;

-- `(select auth.uid())` is evaluated once per statement instead of once per row.
create policy visitors_select on public.visitors for select to authenticated
  using (owner_id = (select auth.uid()));
create policy visitors_insert on public.visitors for insert to authenticated
  with check (owner_id = (select auth.uid()));
create policy visitors_update on public.visitors for update to authenticated
  using (owner_id = (select auth.uid())) with check (owner_id = (select auth.uid()));
create policy visitors_delete on public.visitors for delete to authenticated
  using (owner_id = (select auth.uid()));

create policy kiosk_settings_select on public.kiosk_settings for select to authenticated
  using (owner_id = (select auth.uid()));
create policy kiosk_settings_insert on public.kiosk_settings for insert to authenticated
  with check (owner_id = (select auth.uid()));
create policy kiosk_settings_update on public.kiosk_settings for update to authenticated
  using (owner_id = (select auth.uid())) with check (owner_id = (select auth.uid()));
create policy kiosk_settings_delete on public.kiosk_settings for delete to authenticated
  using (owner_id = (select auth.uid()));

create policy notification_settings_select on public.notification_settings for select to authenticated
  using (owner_id = (select auth.uid()));
create policy notification_settings_insert on public.notification_settings for insert to authenticated
  with check (owner_id = (select auth.uid()));
create policy notification_settings_update on public.notification_settings for update to authenticated
  using (owner_id = (select auth.uid())) with check (owner_id = (select auth.uid()));
create policy notification_settings_delete on public.notification_settings for delete to authenticated
  using (owner_id = (select auth.uid()));

create policy invites_select on public.invites for select to authenticated
  using (owner_id = (select auth.uid()));
create policy invites_update on public.invites for update to authenticated
  using (owner_id = (select auth.uid())) with check (owner_id = (select auth.uid()));
create policy invites_delete on public.invites for delete to authenticated
  using (owner_id = (select auth.uid()));
