-- Benchmark data: one account (desk-start@example.com, password bench-password) with a
-- saved form, 500 visitors on site today and 5,000 signed out over the last month. Run as
-- superuser on a throwaway cluster.
\set owner '00000000-0000-4000-8000-00000000d001'

begin;
insert into auth.users (id, email, encrypted_password, email_confirmed_at)
values (:'owner', 'desk-start@example.com',
        extensions.crypt('bench-password', extensions.gen_salt('bf', 4)), now());

insert into public.kiosk_settings (owner_id, place_name) values (:'owner', 'Head Office');

insert into public.visitors (owner_id, device_record_id, visitor_name, host_name, answers,
                             signed_in_at, signed_out_at, device_name)
select :'owner', 'desk-start-' || g,
       (array['Ada', 'Grace', 'Alan', 'Katherine', 'Linus', 'Margaret', 'Tim', 'Barbara',
              'Dennis', 'Frances', 'Edsger', 'Radia'])[1 + g % 12] || ' ' ||
       (array['Lovelace', 'Hopper', 'Turing', 'Johnson', 'Torvalds', 'Hamilton',
              'Berners-Lee', 'Liskov', 'Ritchie', 'Allen'])[1 + (g / 12) % 10],
       (array['Jordan Lee', 'Sam Patel', 'Priya Nair', 'Chris Müller'])[1 + g % 4],
       jsonb_build_array(
         jsonb_build_object('label', 'Email', 'value', 'visitor' || g || '@example.com'),
         jsonb_build_object('label', 'Phone', 'value', '+1 555 ' || (1000000 + g))),
       t.at, case when g > 500 then t.at + interval '1 hour' end,
       case when g % 2 = 0 then 'Lobby iPad' else 'Front Desk' end
from generate_series(1, 5500) g
-- The 500 on site came in over the last few hours; the rest over the month before.
cross join lateral (select case when g <= 500 then now() - g * interval '20 seconds'
                                else now() - g * interval '8 minutes' end) t(at);
commit;

vacuum analyze public.visitors;
