-- Benchmark data: one account (export-log@example.com, password bench-password) with
-- :visitors visitors, one every 317 seconds back from now, with the mix of answers a
-- real desk collects. Run as superuser on a throwaway cluster.
\set owner '00000000-0000-4000-8000-00000000e001'

begin;
insert into auth.users (id, email, encrypted_password, email_confirmed_at)
values (:'owner', 'export-log@example.com',
        extensions.crypt('bench-password', extensions.gen_salt('bf', 4)), now());

insert into public.visitors (owner_id, device_record_id, visitor_name, host_name, answers,
                             signed_in_at, signed_out_at, list_name, device_name)
select :'owner', 'export-log-' || g,
       (array['Ada', 'Grace', 'Alan', 'Katherine', 'Linus', 'Margaret', 'Tim', 'Barbara',
              'Dennis', 'Frances', 'Edsger', 'Radia'])[1 + g % 12] || ' ' ||
       (array['Lovelace', 'Hopper', 'Turing', 'Johnson', 'Torvalds', 'Hamilton',
              'Berners-Lee', 'Liskov', 'Ritchie', 'Allen'])[1 + (g / 12) % 10],
       case when g % 3 = 0 then null
            else (array['Jordan Lee', 'Sam Patel', 'Priya Nair', 'Chris Müller'])[1 + g % 4] end,
       jsonb_build_array(
         jsonb_build_object('label', 'Email', 'value', 'visitor' || g || '@example.com'),
         jsonb_build_object('label', 'Phone', 'value', '+1 555 ' || (1000000 + g)),
         jsonb_build_object('label', 'Company', 'value',
           (array['Initech', 'Globex, Inc.', 'Umbrella "Labs"', '=Hooli', 'Stark Industries',
                  'Wayne Enterprises'])[1 + g % 6]))
       || case when g % 7 = 0 then jsonb_build_array(jsonb_build_object(
            'label', 'Reason for visit', 'value', 'Quarterly planning review with the finance '
            'team, then a tour of the new lab on floor 3')) else '[]'::jsonb end,
       t.at, case when g % 10 = 0 then null else t.at + interval '1 hour' end,
       case when g % 5 = 0 then 'Contractors' end,
       case when g % 2 = 0 then 'Lobby iPad' else 'Front Desk' end
from generate_series(1, :visitors) g
cross join lateral (select now() - g * interval '317 seconds') t(at);
commit;

vacuum analyze public.visitors;
