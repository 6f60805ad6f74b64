-- The launcher's central database: the program table, the users' programs per company, the
-- companies behind the views sysparams and v_sysparams, and the procedures the launcher calls.
-- Creates everything; run once, as a superuser, in an empty database. A database made by an
-- earlier version is brought up to date by update.sql instead: this file never drops anything.
-- Plain SQL (no psql commands), so the test fixture can send it as one statement batch too.

do $$
begin
    if exists (select from pg_namespace where nspname = 'quorvane') then
        raise exception 'schema quorvane exists already in database %', current_database()
            using hint = 'Bring it up to date with update.sql; schema.sql only creates.';
    end if;
    if not exists (select from pg_roles where rolname = 'quorvane') then
        create role quorvane nologin;
    end if;
    -- Every launcher user is a login role and a member of this one.
    if not exists (select from pg_roles where rolname = 'quorvane_user') then
        create role quorvane_user nologin;
    end if;
    -- Those who publish program versions are members of this one.
    if not exists (select from pg_roles where rolname = 'quorvane_admin') then
        create role quorvane_admin nologin;
    end if;
end
$$;

create schema quorvane authorization quorvane;
set role quorvane;

create table quorvane.quorvane_prog (
    prog_id    integer primary key,
    prog_name  varchar(255) not null,
    prog_exe   varchar(255) not null,
    prog_group varchar(20) not null,
    icon       bytea,
    clientpath varchar(64),
    serverpath varchar(255),
    -- numeric so that to_char(version, '990.000') gives the version text "1.250"
    version    numeric(6, 3) not null default 0,
    prog_type  integer not null default 0,
    sha256     varchar(64) check (sha256 ~ '^[0-9a-f]{64}$'),
    -- A signed release: the file's size, the publisher key's Ed25519 signature over the
    -- release text (base64) and that key's id. The private key never comes near the database.
    file_size  bigint check (file_size >= 0),
    signature  text check (signature ~ '^[A-Za-z0-9+/]{86}==$'),
    key_id     varchar(16) check (key_id ~ '^[0-9a-f]{16}$')
);

create table quorvane.company (
    v_company    integer primary key,
    db_name      varchar(20) not null unique,
    company_name varchar(50) not null
);

create table quorvane.user_prog_db (
    -- the role name: a user signs in under the lower-case name, so no other row is ever seen.
    -- In the collation of current_user (a name), so that username = USER and the row
    -- security read one user's rows through the primary key, not the whole table.
    username         text collate "C" not null constraint user_prog_db_username_lower
                     check (username = lower(username)),
    quorvane_prog_id integer not null references quorvane.quorvane_prog,
    database_id      integer not null references quorvane.company,
    ordinal          integer not null default 0, -- above 0: on the quick-launch bar
    primary key (username, database_id, quorvane_prog_id)
);

create view quorvane.v_sysparams as
    select v_company, db_name, company_name from quorvane.company;

-- Only the company that set_cname named in this session; nothing before the first call.
create view quorvane.sysparams as
    select v_company, db_name, company_name from quorvane.company
    where db_name = current_setting('quorvane.cname', true);

-- Procedures run with the caller's rights, so the row security below holds inside them. Each
-- names its tables in full and pins its search path, so no object a caller creates elsewhere
-- can stand in for a built-in one.

-- A name longer than db_name's width names no company, and the session would keep all of it.
create procedure quorvane.set_cname(name text)
language plpgsql security invoker set search_path = pg_catalog, pg_temp as $$
begin
    if length(name) > 20 then
        raise exception 'set_cname: a company name has at most 20 characters, this one has %',
            length(name) using errcode = 'string_data_right_truncation';
    end if;
    perform set_config('quorvane.cname', coalesce(name, ''), false);
end
$$;

create procedure quorvane.outsystem_date(inout d date)
language plpgsql security invoker set search_path = pg_catalog, pg_temp as $$
begin
    d := current_date;
end
$$;

-- exen is the exe name of the button's program, with a trailing blank.
create procedure quorvane.savebuttonconf(ord numeric, exen text, d_name text)
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

-- Each bar's positive ordinals become 1, 2, 3 ... in their order; ties keep program order.
create procedure quorvane.recalcordinal()
language plpgsql security invoker set search_path = pg_catalog, pg_temp as $$
begin
    update quorvane.user_prog_db u
       set ordinal = r.n
      from (select username, database_id, quorvane_prog_id,
                   row_number() over (partition by username, database_id
                                      order by ordinal, quorvane_prog_id) as n
              from quorvane.user_prog_db
             where ordinal > 0) r
     where u.username = r.username
       and u.database_id = r.database_id
       and u.quorvane_prog_id = r.quorvane_prog_id
       and u.ordinal <> r.n;
end
$$;

-- One step for an administrator: a program's new version, the SHA-256 and size of its file and,
-- for a signed release, the publisher's signature and key id, all together, so no row pairs a
-- signature with bytes it was not made over. With the owner's rights, so the administrator
-- role needs no write right on the table. exen matches prog_exe whatever its letter case;
-- server_path, when given, narrows it to the program at that place.
create procedure quorvane.publish(exen text, new_version numeric, digest text,
                                  server_path text default null, file_size bigint default null,
                                  signature text default null, key_id text default null)
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

-- Sessions per launcher user. A launcher holds one and the programs it starts may hold their
-- own: ten leave room for a user at two or three workstations, and no one user takes every
-- slot of the server. A role's limit binds only that role, not the members of a role, so this
-- sets it for every member of quorvane_user that has none yet; run it (as a superuser) after
-- creating users without "connection limit". update.sql runs it for existing users.
create procedure quorvane.limit_user_sessions(sessions integer default 10)
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

-- Row security: a user sees and changes only the rows that carry the user's own name; forced,
-- so the owner's sessions are held to it too.
alter table quorvane.user_prog_db enable row level security;
alter table quorvane.user_prog_db force row level security;
create policy own_rows on quorvane.user_prog_db
    for all to quorvane_user
    using (username = current_user)
    with check (username = current_user);

reset role;

revoke all on schema quorvane from public;
grant usage on schema quorvane to quorvane_user;
grant select on quorvane.quorvane_prog, quorvane.company, quorvane.user_prog_db,
                quorvane.v_sysparams, quorvane.sysparams to quorvane_user;
-- The bar's order is the one thing a user writes.
grant update (ordinal) on quorvane.user_prog_db to quorvane_user;
revoke all on all routines in schema quorvane from public;
grant execute on procedure quorvane.set_cname, quorvane.outsystem_date, quorvane.savebuttonconf,
                 quorvane.recalcordinal to quorvane_user;
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

-- Only the launcher's users, its administrators and superusers reach this database.
do $$
begin
    execute format('revoke connect, temporary on database %I from public', current_database());
    execute format('grant connect, temporary on database %I to quorvane_user',
                   current_database());
    execute format('grant connect on database %I to quorvane_admin', current_database());
    -- A runaway statement ends instead of holding a server process; every session here, the
    -- launcher's included, is held to it unless its role says otherwise.
    execute format('alter database %I set statement_timeout = %L', current_database(), '1min');
end
$$;
