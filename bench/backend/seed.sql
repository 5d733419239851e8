-- Benchmark data: 100 accounts (ids 00000000-0000-4000-8000-000000000001 and up, so that
-- pgbench can name them), each with 1,000 visitors spread evenly over the last two months,
-- the newest 10 of them still on site. Run as superuser on a throwaway cluster.
\set accounts 100
\set visitors 1000

begin;
-- bcrypt cost 4: signing 100 desks in must not dominate the run.
insert into auth.users (id, email, encrypted_password, email_confirmed_at)
select ('00000000-0000-4000-8000-' || lpad(n::text, 12, '0'))::uuid,
       'bench-' || n || '@example.com',
       extensions.crypt('bench-password', extensions.gen_salt('bf', 4)), now()
from generate_series(1, :accounts) n;

insert into public.visitors (owner_id, device_record_id, visitor_name, host_name, answers,
                             signed_in_at, signed_out_at, device_name)
select u.id, 'bench-' || g, 'Visitor ' || n || '-' || g, 'Host ' || (g % 12),
       jsonb_build_array(
         jsonb_build_object('label', 'Name', 'value', 'Visitor ' || n || '-' || g),
         jsonb_build_object('label', 'Email', 'value', 'visitor' || g || '@example.com'),
         jsonb_build_object('label', 'Company', 'value', 'Company ' || (g % 40))),
       t.at, case when g <= 10 then null else t.at + interval '45 minutes' end,
       case when g % 3 = 0 then 'Lobby iPad' else 'Front Desk' end
from generate_series(1, :accounts) n
cross join lateral (select ('00000000-0000-4000-8000-' || lpad(n::text, 12, '0'))::uuid) u(id)
cross join generate_series(1, :visitors) g
cross join lateral (select now() - (g - 1) * (interval '60 days' / :visitors)) t(at);
commit;

vacuum analyze;
