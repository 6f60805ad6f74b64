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
-- A signed release: the file's size, the publisher key's signature and that key's id.
alter table quorvane.quorvane_prog
    add column if not exists file_size bigint check (file_size >= 0),
    add column if not exists signature text check (signature ~ '^[A-Za-z0-9+/]{86}==$'),
    add column if not exists key_id varchar(16) check (key_id ~ '^[0-9a-f]{16}$');

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

-- The four-argument form gives way to the one that also takes a signed release.
drop procedure if exists quorvane.publish(text, numeric, text, text);
create or replace procedure quorvane.publish(exen text, new_version numeric, digest text,
                                             server_path text default null,
                                             file_size bigint default null,
                                             signature text default null,
                                             key_id text default null)
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
    -- Half a signature verifies nothing: it would only look like a signed release.
    if (signature is null) <> (key_id is null) then
        raise exception 'publish % needs both the signature and its key id, or neither', exen;
    end if;
    if signature is not null and file_size is null then
        raise exception 'publish %: a signed release needs its file size', exen;
    end if;
    if server_path is null and (select count(distinct serverpath) from quorvane.quorvane_prog
                                 where upper(prog_exe) = upper(exen)) > 1 then
        raise exception '% lies on several server paths: name the one to publish', exen;
    end if;
    update quorvane.quorvane_prog p
       set version = new_version, sha256 = lower(digest), file_size = publish.file_size,
           signature = publish.signature, key_id = publish.key_id
     where upper(p.prog_exe) = upper(exen)
       and (publish.server_path is null or p.serverpath = publish.server_path);
    get diagnostics n = row_count;
    if n = 0 then
        raise exception 'no program % in quorvane.quorvane_prog%', exen,
            coalesce(' with server path ' || server_path, '');
    end if;
    raise notice '%: version %, SHA-256 %, key %, rows changed: %', exen, new_version,
        lower(digest), coalesce(key_id, 'none'), n;
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

-- Upgrade reports: after every upgrade check each workstation tells what it runs of the
-- programs the upgrade keeps current, so an administrator sees a rollout (views below and
-- quorvane-status). One row per user, workstation and exe name; the launcher writes the rows
-- through report_upgrade, one call per sign-in. The workstation is its host name with its
-- machine id beside it ('' when it has none), so two hosts of one name stay apart.
set role quorvane;

create table if not exists quorvane.upgrade_report (
    -- collation "C", as current_user has: the row security's lookups then use the key
    username          text collate "C" not null default current_user,
    host_name         varchar(255) not null,
    machine_id        varchar(64) not null,
    exe_name          varchar(255) not null,
    installed_version varchar(20), -- the version text the workstation recorded; null: none
    sha256            varchar(64) check (sha256 ~ '^[0-9a-f]{64}$'), -- of the installed file
    outcome           varchar(20) not null
                      check (outcome in ('up to date', 'fetched', 'failed', 'digest mismatch',
                                         'signature refused', 'rollback refused')),
    message           varchar(1000), -- a failure's message
    received_sha256   varchar(64) check (received_sha256 ~ '^[0-9a-f]{64}$'), -- refused download
    reported_at       timestamptz not null default now(),
    primary key (username, machine_id, host_name, exe_name)
);
-- A table made before the refusals of signed releases takes their two outcomes too.
alter table quorvane.upgrade_report drop constraint if exists upgrade_report_outcome_check;
alter table quorvane.upgrade_report add constraint upgrade_report_outcome_check
    check (outcome in ('up to date', 'fetched', 'failed', 'digest mismatch',
                       'signature refused', 'rollback refused'));

-- One sign-in's report: element i of every array belongs to program i. The digest of the
-- installed file is known when this run fetched it; otherwise the one reported for the same
-- version stays. A lock held by another session of the same user gives up soon, so a
-- sign-in never waits on a report.
create or replace procedure quorvane.report_upgrade(
    workstation text, machine text, exes text[], versions text[], digests text[],
    outcomes text[], messages text[], received text[])
language plpgsql security invoker
set search_path = pg_catalog, pg_temp set lock_timeout = '1s' as $$
declare
    n constant integer := coalesce(cardinality(exes), 0);
begin
    if n > 1000 then
        raise exception 'an upgrade report holds at most 1000 programs, not %', n;
    end if;
    if coalesce(cardinality(versions), 0) <> n or coalesce(cardinality(digests), 0) <> n
       or coalesce(cardinality(outcomes), 0) <> n or coalesce(cardinality(messages), 0) <> n
       or coalesce(cardinality(received), 0) <> n then
        raise exception 'the arrays of an upgrade report differ in length';
    end if;
    insert into quorvane.upgrade_report as r
        (username, host_name, machine_id, exe_name, installed_version, sha256, outcome,
         message, received_sha256, reported_at)
    select distinct on (e.exe) current_user, workstation, coalesce(machine, ''), e.exe,
           e.version, e.digest, e.outcome, e.message, e.received, now()
      from unnest(exes, versions, digests, outcomes, messages, received)
               with ordinality e(exe, version, digest, outcome, message, received, i)
     order by e.exe, e.i
    on conflict (username, machine_id, host_name, exe_name) do update
       set installed_version = excluded.installed_version,
           sha256 = coalesce(excluded.sha256,
                             case when r.installed_version = excluded.installed_version
                                  then r.sha256 end),
           outcome = excluded.outcome,
           message = excluded.message,
           received_sha256 = excluded.received_sha256,
           reported_at = excluded.reported_at;
end
$$;

-- Per workstation and user (each account keeps its own drive folder), every program it
-- reported against what is published: state at, behind, failed or refused (a download whose
-- digest did not match, a release without a trusted signature, or one below what it had).
create or replace view quorvane.workstation_programs with (security_invoker = true) as
    select r.host_name, r.machine_id, r.username, p.prog_id, p.prog_exe as exe_name,
           r.installed_version, ltrim(to_char(p.version, '990.000')) as published_version,
           r.sha256, p.sha256 as published_sha256,
           case when r.outcome in ('digest mismatch', 'signature refused', 'rollback refused')
                then 'refused'
                when r.outcome = 'failed' then 'failed'
                when r.installed_version ~ '^[0-9]{1,3}(\.[0-9]{1,3})?$'
                     and r.installed_version::numeric = p.version
                     and (r.sha256 is null or p.sha256 is null or r.sha256 = p.sha256)
                     then 'at'
                else 'behind' end as state,
           r.outcome, r.message, r.received_sha256, r.reported_at
      from quorvane.upgrade_report r
      join quorvane.quorvane_prog p on upper(p.prog_exe) = upper(r.exe_name)
     where p.prog_type = 1;

-- Per program the upgrade keeps current: what is published and how many workstations are at
-- it, behind it, failed, or refused its download, with the last report.
create or replace view quorvane.rollout_status with (security_invoker = true) as
    select p.prog_id, p.prog_exe as exe_name, p.serverpath,
           ltrim(to_char(p.version, '990.000')) as published_version,
           p.sha256 as published_sha256,
           count(w.state) filter (where w.state = 'at') as at_version,
           count(w.state) filter (where w.state = 'behind') as behind,
           count(w.state) filter (where w.state = 'failed') as failed,
           count(w.state) filter (where w.state = 'refused') as refused,
           max(w.reported_at) as last_report
      from quorvane.quorvane_prog p
      left join quorvane.workstation_programs w on w.prog_id = p.prog_id
     where p.prog_type = 1 and lower(left(p.clientpath, 3)) = 'c:\'
     group by p.prog_id;

-- A user writes and reads only their own reports; administrators read all. Forced, so the
-- owner's sessions are held to it too.
alter table quorvane.upgrade_report enable row level security;
alter table quorvane.upgrade_report force row level security;
drop policy if exists own_reports on quorvane.upgrade_report;
create policy own_reports on quorvane.upgrade_report
    for all to quorvane_user
    using (username = current_user)
    with check (username = current_user);
drop policy if exists admins_read_reports on quorvane.upgrade_report;
create policy admins_read_reports on quorvane.upgrade_report
    for select to quorvane_admin
    using (true);

reset role;

-- The upsert reads the user's own row, so select comes with insert and update; no delete.
grant select, insert, update on quorvane.upgrade_report to quorvane_user;
revoke all on procedure quorvane.report_upgrade from public;
grant execute on procedure quorvane.report_upgrade to quorvane_user;
grant select on quorvane.upgrade_report, quorvane.workstation_programs,
                quorvane.rollout_status to quorvane_admin;

do $$
begin
    execute format('revoke connect, temporary on database %I from public', current_database());
    execute format('grant connect, temporary on database %I to quorvane_user',
                   current_database());
    execute format('grant connect on database %I to quorvane_admin', current_database());
    execute format('alter database %I set statement_timeout = %L', current_database(), '1min');
end
$$;
