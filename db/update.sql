-- Brings a launcher database made by an earlier schema.sql up to date: adds what later versions
-- added and leaves every row in place. Safe to run again and again, as a superuser, in the
-- database that holds schema quorvane; a new database is made by schema.sql alone.
-- Plain SQL (no psql commands), like schema.sql.

set client_min_messages = warning;

do $$
begin
    if not exists (select from pg_namespace where nspname = 'quorvane') then
        raise exception 'no schema quorvane in database %', current_database()
            using hint = 'Create it with schema.sql first.';
    end if;
    if not exists (select from pg_roles where rolname = 'quorvane_admin') then
        create role quorvane_admin nologin;
    end if;
end
$$;

-- The digest the upgrade checks each downloaded program against; empty: not checked.
alter table quorvane.quorvane_prog
    add column if not exists sha256 varchar(64) check (sha256 ~ '^[0-9a-f]{64}$');

-- Rows under a name with capitals were never seen by anyone; they stay, and only new rows are
-- held to the rule until an administrator mends them and validates the constraint.
do $$
begin
    if not exists (select from pg_constraint
                    where conname = 'user_prog_db_username_lower'
                      and conrelid = 'quorvane.user_prog_db'::regclass) then
        if exists (select from quorvane.user_prog_db where username <> lower(username)) then
            alter table quorvane.user_prog_db add constraint user_prog_db_username_lower
                check (username = lower(username)) not valid;
            raise warning 'quorvane.user_prog_db holds user names with capitals; rename them, '
                'then: alter table quorvane.user_prog_db validate constraint '
                'user_prog_db_username_lower';
        else
            alter table quorvane.user_prog_db add constraint user_prog_db_username_lower
                check (username = lower(username));
        end if;
    end if;
end
$$;

-- user_prog_db.username in collation "C", the collation of current_user (a name): compared in
-- any other, the primary key cannot serve username = USER or the row security, and every
-- per-user statement reads the whole table. The policy names the column, so it is made anew
-- around the change; rows stay, the index is rebuilt.
do $$
begin
    if (select c.collname from pg_attribute a join pg_collation c on c.oid = a.attcollation
         where a.attrelid = 'quorvane.user_prog_db'::regclass and a.attname = 'username')
       <> 'C' then
        drop policy if exists own_rows on quorvane.user_prog_db;
        alter table quorvane.user_prog_db alter column username type text collate "C";
        create policy own_rows on quorvane.user_prog_db
            for all to quorvane_user
            using (username = current_user)
            with check (username = current_user);
    end if;
end
$$;

alter procedure quorvane.set_cname(text) set search_path = pg_catalog, pg_temp;
alter procedure quorvane.outsystem_date(date) set search_path = pg_catalog, pg_temp;
alter procedure quorvane.savebuttonconf(numeric, text, text) set search_path = pg_catalog, pg_temp;
alter procedure quorvane.recalcordinal() set search_path = pg_catalog, pg_temp;

-- As in schema.sql; owned by quorvane, whose rights it runs with.
set role quorvane;
create or replace procedure quorvane.publish(exen text, new_version numeric, digest text,
                                             server_path text default null)
language plpgsql security definer set search_path = pg_catalog, pg_temp as $$
declare
    n integer;
begin
    -- A version without its digest would unpin the program; one exe name on several servers
    -- would pin builds that differ to one digest.
    if digest is null then
        raise exception 'publish % needs the SHA-256 of its file', exen;
    end if;
    if server_path is null and (select count(distinct serverpath) from quorvane.quorvane_prog
                                 where upper(prog_exe) = upper(exen)) > 1 then
        raise exception '% lies on several server paths: name the one to publish', exen;
    end if;
    update quorvane.quorvane_prog
       set version = new_version, sha256 = lower(digest)
     where upper(prog_exe) = upper(exen)
       and (server_path is null or serverpath = server_path);
    get diagnostics n = row_count;
    if n = 0 then
        raise exception 'no program % in quorvane.quorvane_prog%', exen,
            coalesce(' with server path ' || server_path, '');
    end if;
    raise notice '%: version %, SHA-256 %, rows changed: %', exen, new_version, lower(digest), n;
end
$$;
reset role;

alter table quorvane.user_prog_db force row level security;

revoke all on procedure quorvane.publish from public, quorvane_user;
grant usage on schema quorvane to quorvane_admin;
grant select on quorvane.quorvane_prog to quorvane_admin;
grant execute on procedure quorvane.publish to quorvane_admin;

do $$
begin
    execute format('revoke connect, temporary on database %I from public', current_database());
    execute format('grant connect, temporary on database %I to quorvane_user',
                   current_database());
    execute format('grant connect on database %I to quorvane_admin', current_database());
end
$$;
