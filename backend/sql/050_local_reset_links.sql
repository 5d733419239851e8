-- LOCAL ONLY, like 000_local_auth.sql: the hosted auth service keeps these rules itself.
--
-- A new password ends every way of setting one without the old password: the reset link
-- still waiting in the user's mailbox and every session a reset link opened. Otherwise an
-- older link, opened and left unfinished, could undo a newer reset.

alter table auth.sessions add column recovery boolean not null default false;

create function auth.end_password_recovery() returns trigger
language plpgsql as $$
begin
  new.recovery_token := null;
  delete from auth.sessions where user_id = new.id and recovery;
  return new;
end
$$;

create trigger users_end_password_recovery
  before update of encrypted_password on auth.users
  for each row when (new.encrypted_password is distinct from old.encrypted_password)
  execute function auth.end_password_recovery();
