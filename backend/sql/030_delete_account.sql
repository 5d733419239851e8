-- Removes the calling user; every row it owns goes with it through the foreign keys'
-- ON DELETE CASCADE. Runs with the owner's rights because the API roles may not touch
-- auth.users; it only ever deletes the caller named by the verified token.
create or replace function public.delete_account() returns void
language plpgsql
security definer
set search_path = ''
as $$
declare
  caller uuid := auth.uid();
begin
  if caller is null then
    raise exception 'Not signed in' using errcode = '42501';
  end if;
  delete from auth.users where id = caller;
end
$$;

revoke execute on function public.delete_account() from public, anon;
grant execute on function public.delete_account() to authenticated;
