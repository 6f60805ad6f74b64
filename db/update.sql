-- Brings a launcher database made by an earlier schema.sql up to date: adds what later versions
-- added and leaves every row in place. Safe to run again and again, as a superuser, in the
-- database that holds schema quorvane; a new database is made by schema.sql alone.
-- Plain SQL (no psql commands), like schema.sql.

set client_min_messages = warning;
-- The database's statement time-out is for the launcher's sessions, not for this one.
set statement_timeout = 0;

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

alter procedure quorvane.outsystem_date(date) set search_path = pg_catalog, pg_temp;
alter procedure quorvane.recalcordinal() set search_path = pg_catalog, pg_temp;

set role quorvane;
-- As in schema.sql: owned by quorvane, and set_cname and savebuttonconf bound their input.
create or replace procedure quorvane.set_cname(name text)
language plpgsql security invoker set search_path = pg_catalog, pg_temp as $$
begin
    if length(name) > 20 then
        raise exception 'set_cname: a company name has at most 20 characters, this one has %',
            length(name) using errcode = 'string_data_right_truncation';
    end if;
    perform set_config('quorvane.cname', coalesce(name, ''), false);
end
$$;

create or replace procedure quorvane.savebuttonconf(ord numeric, exen text, d_name text)
language plpgsql security invoker set search_path = pg_catalog, pg_temp as $$
begin
    if length(exen) > 256 or length(d_name) > 20 then
        raise exception 'savebuttonconf: an exe name has at most 255 characters and a blank, '
            'a company name at most 20' using errcode = 'string_data_right_truncation';
    end if;
    update quorvane.user_prog_db u
       set ordinal = ord
      from quorvane.quorvane_prog p, quorvane.company c
     where u.username = current_user
       and p.prog_id = u.quorvane_prog_id
       and c.v_company = u.database_id
       and c.db_name = d_name
       and upper(rtrim(p.prog_exe)) = upper(rtrim(exen));
end
$$;

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
    if length(exen) > 255 or length(server_path) > 255 or length(digest) > 64 then
        raise exception 'publish: an exe name and a server path have at most 255 characters, '
            'a digest 64' using errcode = 'string_data_right_truncation';
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

create or replace procedure quorvane.limit_user_sessions(sessions integer default 10)
language plpgsql security invoker set search_path = pg_catalog, pg_temp as $$
declare
    member name;
begin
    for member in
        select rolname from pg_roles
         where rolcanlogin and not rolsuper and rolconnlimit = -1
           and pg_has_role(oid, 'quorvane_user', 'member')
    loop
        execute format('alter role %I connection limit %s', member, sessions);
    end loop;
end
$$;
reset role;

alter table quorvane.user_prog_db force row level security;

revoke all on procedure quorvane.publish from public, quorvane_user;
revoke all on procedure quorvane.limit_user_sessions from public;
-- Users made before the limit: every member of quorvane_user without one gets it now.
call quorvane.limit_user_sessions();
grant usage on schema quorvane to quorvane_admin;
grant select on quorvane.quorvane_prog to quorvane_admin;
grant execute on procedure quorvane.publish to quorvane_admin;

do $$
begin
    execute format('revoke connect, temporary on database %I from public', current_database());
    execute format('grant connect, temporary on database %I to quorvane_user',
                   current_database());
    execute format('grant connect on database %I to quorvane_admin', current_database());
    execute format('alter database %I set statement_timeout = %L', current_database(), '1min');
end
$$;
