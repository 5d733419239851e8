-- The website accepts a note of up to 500 characters as people count them, which is how
-- the desk cuts it. Letters built from several code points (an accent typed as a
-- combining mark, a flag, an emoji with a skin tone) make such a note longer than 500 in
-- length(), so the table's own limit only guards against runaway text.
alter table public.invites drop constraint if exists invites_note_check;
alter table public.invites add constraint invites_note_check check (length(note) <= 4000);
