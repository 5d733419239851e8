-- LOCAL ONLY, like 000_local_auth.sql: the auth schema here is ours.
--
-- greetwell-backend calls this at the start of every REST request made with an access
-- token. A token that names a session (every token the auth API issues does) is refused
-- once that session has ended (sign-out, a password change, a replayed refresh token),
-- even before the token expires. The SQLSTATE PT401 answers HTTP 401.
create or replace function auth.require_session(claims text) returns boolean
language plpgsql stable security definer set search_path = ''
as $$
declare
  sid text := claims::jsonb ->> 'session_id';
begin
  if sid is null then
    return true;
  end if;
  if sid !~* '^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$'
     or not exists (select from auth.sessions s
                    where s.id = sid::uuid
                      and s.user_id::text = claims::jsonb ->> 'sub') then
    raise exception 'Session from session_id claim in JWT does not exist'
      using errcode = 'PT401';
  end if;
  return true;
end
$$;

revoke all on function auth.require_session(text) from public;
grant execute on function auth.require_session(text) to authenticator, authenticated;
