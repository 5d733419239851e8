#include "Demo.h"

#include "Db.h"

namespace {

const char *const demoEmail = "demo@greetwell.test";
const char *const demoPassword = "greetwell-demo";

const char *const upsertUser = R"SQL(
INSERT INTO auth.users (email, encrypted_password, email_confirmed_at, raw_user_meta_data)
VALUES ($1, extensions.crypt($2, extensions.gen_salt('bf', 10)), now(),
        '{"name": "Demo Reception"}')
ON CONFLICT (email) DO UPDATE
  SET encrypted_password = EXCLUDED.encrypted_password,
      email_confirmed_at = coalesce(auth.users.email_confirmed_at, now()),
      updated_at = now()
RETURNING id::text
)SQL";

// Only when the account has no form yet: later edits in the app stay.
const char *const seedForm = R"SQL(
INSERT INTO public.kiosk_settings (owner_id, fields, employees, place_name)
VALUES ($1::uuid,
  '[{"slot": 0, "label": "Name", "type": "Plain Text", "required": true, "employee_list": false},
    {"slot": 1, "label": "Email", "type": "Email", "required": false, "employee_list": false},
    {"slot": 2, "label": "Company", "type": "Plain Text", "required": false, "employee_list": false},
    {"slot": 3, "label": "Host", "type": "Plain Text", "required": true, "employee_list": true},
    {"slot": 4, "label": "Phone", "type": "Phone", "required": false, "employee_list": false}]',
  '["Aisha Khan", "Ben Carter", "Chloe Martin", "Daniel Okafor", "Elena Rossi", "Felix Wagner",
    "Grace Liu", "Hugo Silva", "Ines Moreau", "James Wright", "Kenji Tanaka", "Lara Novak"]',
  'Harbor Street Studio')
ON CONFLICT (owner_id) DO NOTHING
)SQL";

// 294 visitors spread over the last 20 weekdays, office hours, all signed out; then six
// today, four of them still on site. Names, companies and times come from fixed lists
// indexed by the row number, so every start gives the same picture.
const char *const seedVisitors = R"SQL(
WITH
names AS (SELECT
  '{Sam,Priya,Tom,Yuki,Marta,Oliver,Sofia,Noah,Leah,Omar,Hannah,Lucas,Mia,Ravi,Anna,Diego,Zoe,Ethan,Nora,Kofi}'::text[] AS first,
  '{Lee,Natarajan,Becker,Sato,Kowalski,Grant,Alvarez,Fischer,Cohen,Haddad,Berg,Moreau,Jensen,Patel,Novak,Ramos,Clarke,Osei,Lindqvist,Park}'::text[] AS last,
  '{Acme,Northwind,Globex,Initech,Umbrella Labs,Stark Freight,Wayne Print,Hooli,Vandelay,Tyrell}'::text[] AS company,
  '{acme.example,northwind.example,globex.example,initech.example,umbrella.example,stark.example,wayne.example,hooli.example,vandelay.example,tyrell.example}'::text[] AS domain,
  (SELECT array_agg(e ORDER BY e) FROM jsonb_array_elements_text(
     (SELECT employees FROM public.kiosk_settings WHERE owner_id = $1::uuid)) e) AS hosts),
weekdays AS (
  SELECT d::date AS day, row_number() OVER (ORDER BY d DESC) AS n
  FROM generate_series((current_date - 40)::timestamp, (current_date - 1)::timestamp,
                       interval '1 day') d
  WHERE extract(isodow FROM d) < 6),
rows AS (
  -- earlier days: arrival between 08:30 and 16:30, a stay of 20 minutes to 3 hours
  SELECT g, w.day + time '08:30' + make_interval(mins => (g * 7919) % 480) AS arrived,
         make_interval(mins => 20 + (g * 37) % 160) AS stay
  FROM generate_series(1, 294) g JOIN weekdays w ON w.n = 1 + (g - 1) % 20
  UNION ALL
  -- today: two who came and went, four still here
  SELECT 294 + k, now() - make_interval(mins => m), CASE WHEN k <= 2 THEN interval '45 minutes' END
  FROM (VALUES (1, 250), (2, 200), (3, 140), (4, 90), (5, 55), (6, 20)) t(k, m)),
people AS (
  SELECT r.g, r.arrived, r.stay,
         n.first[1 + r.g % 20] || ' ' || n.last[1 + (r.g * 7) % 20] AS visitor,
         n.company[1 + (r.g * 3) % 10] AS company,
         lower(n.first[1 + r.g % 20]) || '.' || lower(n.last[1 + (r.g * 7) % 20]) || '@' ||
           n.domain[1 + (r.g * 3) % 10] AS email,
         n.hosts[1 + (r.g * 5) % greatest(coalesce(array_length(n.hosts, 1), 0), 1)] AS host,
         '+1 555 01' || lpad((r.g % 100)::text, 2, '0') AS phone
  FROM rows r, names n)
INSERT INTO public.visitors (owner_id, device_record_id, visitor_name, host_name, answers,
                             signed_in_at, signed_out_at, device_name)
SELECT $1::uuid, 'demo-' || g, visitor, host,
       jsonb_build_array(
         jsonb_build_object('label', 'Name', 'value', visitor),
         jsonb_build_object('label', 'Email', 'value', email),
         jsonb_build_object('label', 'Company', 'value', company),
         jsonb_build_object('label', 'Host', 'value', coalesce(host, '')),
         jsonb_build_object('label', 'Phone', 'value', phone)),
       arrived, arrived + stay,
       CASE WHEN g % 3 = 0 THEN 'Lobby iPad' ELSE 'Front Desk' END
FROM people
)SQL";

const char *const seedInvites = R"SQL(
INSERT INTO public.invites (owner_id, token, visitor_name, visitor_email, answers, visit_date,
                            visit_time, note, created_at, used_at)
SELECT $1::uuid,
       -- marked so that the next start can replace them; still 144 random bits
       'demo-' || translate(encode(extensions.gen_random_bytes(18), 'base64'), '+/', '-_'),
       name, email,
       jsonb_build_array(
         jsonb_build_object('slot', 0, 'label', 'Name', 'value', name),
         jsonb_build_object('slot', 1, 'label', 'Email', 'value', email),
         jsonb_build_object('slot', 2, 'label', 'Company', 'value', company),
         jsonb_build_object('slot', 3, 'label', 'Host', 'value', host)),
       current_date + day, visit_time, note,
       now() - make_interval(days => 3 - least(day, 0)),
       CASE WHEN used THEN (current_date + day) + time '09:40' END
FROM (VALUES
  ('Priya Natarajan', 'priya@globex.example', 'Globex', 'Grace Liu', 0, '14:30',
   'Please bring a photo ID for your building pass.', false),
  ('Tom Becker', 'tom.becker@initech.example', 'Initech', 'Ben Carter', 1, '10:00', NULL, false),
  ('Marta Kowalski', 'marta@vandelay.example', 'Vandelay', 'Elena Rossi', 3, NULL,
   'We will meet in the Harbor room on the 2nd floor.', false),
  ('Yuki Sato', 'yuki.sato@hooli.example', 'Hooli', 'Kenji Tanaka', NULL, NULL, NULL, false),
  ('Oliver Grant', 'oliver@northwind.example', 'Northwind', 'Daniel Okafor', -2, '09:30', NULL, true),
  ('Sofia Alvarez', 'sofia@acme.example', 'Acme', 'Aisha Khan', -6, '11:00', NULL, true),
  ('Noah Fischer', 'noah.fischer@tyrell.example', 'Tyrell', 'Hugo Silva', -5, '15:00', NULL, false),
  ('Leah Cohen', 'leah@wayne.example', 'Wayne Print', 'Lara Novak', -9, NULL, NULL, false)
) AS v(name, email, company, host, day, visit_time, note, used)
)SQL";

} // namespace

DemoAccount seedDemo(Db &db) {
    db.asServer([&](Db::Tx &tx) {
        const std::string owner = tx.exec(upsertUser, demoEmail, demoPassword).at(0)[0].c_str();
        // The account's own rows are written as the service role, as the website does.
        tx.exec("SELECT set_config('role', 'service_role', true)");
        tx.exec(seedForm, owner);
        tx.exec("DELETE FROM public.visitors WHERE owner_id = $1::uuid AND device_record_id LIKE "
                "'demo-%'",
                owner);
        tx.exec(seedVisitors, owner);
        tx.exec("DELETE FROM public.invites WHERE owner_id = $1::uuid AND token LIKE 'demo-%'",
                owner);
        tx.exec(seedInvites, owner);
    });
    return {demoEmail, demoPassword};
}
