-- LOCAL ONLY, like 000_local_auth.sql: the auth schema here is ours.
--
-- greetwell-backend calls this at the start of every REST request made with an access
-- token, before it switches to the caller's role. A token that names a session (every
-- token the auth API issues does) is refused once that session has ended (sign-out, a
-- password change, a replayed refresh token), even before the token expires. The
-- SQLSTATE PT401 answers HTTP 401. Typed arguments and no SET clause keep it cheap: it
-- runs once per request.
create or replace function auth.require_session(session_id uuid, user_id uuid)
returns boolean
language plpgsql stable
as $$
begin
  if session_id is not null and not exists (
       select from auth.sessions s
       where s.id = require_session.session_id and s.user_id = require_session.user_id) then
    raise exception 'Session from session_id claim in JWT does not exist'
      using errcode = 'PT401';
  end if;
  return true;
end
$$;

revoke all on function auth.require_session(uuid, uuid) from public;
grant execute on function auth.require_session(uuid, uuid) to authenticator;
