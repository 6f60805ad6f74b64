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
    if not exists (select from pg_roles where rolname = 'quorvane_pilot') then
        create role quorvane_pilot nologin;
    end if;
end
$$;

-- The program table became quorvane.program, read through the view quorvane.quorvane_prog
-- that shows each user the release that reaches that user; its rows stay as they are and are
-- the release every program had before releases were kept.
do $$
begin
    if to_regclass('quorvane.program') is null then
        alter table quorvane.quorvane_prog rename to program;
    end if;
end
$$;
-- The digest the upgrade checks each downloaded program against; empty: not checked. Then
-- the signed release's size, signature and key.
alter table quorvane.program
    add column if not exists sha256 varchar(64)
        constraint quorvane_prog_sha256_check check (sha256 ~ '^[0-9a-f]{64}$'),
    add column if not exists file_size bigint
        constraint quorvane_prog_file_size_check check (file_size >= 0),
    add column if not exists signature text
        constraint quorvane_prog_signature_check check (signature ~ '^[A-Za-z0-9+/]{86}==$'),
    add column if not exists key_id varchar(16)
        constraint quorvane_prog_key_id_check check (key_id ~ '^[0-9a-f]{16}$');

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

create index if not exists user_prog_db_prog on quorvane.user_prog_db (quorvane_prog_id, username);
drop policy if exists admins_read_grants on quorvane.user_prog_db;
create policy admins_read_grants on quorvane.user_prog_db
    for select to quorvane_admin
    using (true);

alter procedure quorvane.outsystem_date(date) set search_path = pg_catalog, pg_temp;
alter procedure quorvane.recalcordinal() set search_path = pg_catalog, pg_temp;

set role quorvane;
-- As in schema.sql: owned by quorvane, and set_cname and savebuttonconf bound their input;
-- set_cname and outsystem_date in plain SQL, which a new session runs without compiling.
create or replace function quorvane.cname_too_long(name text) returns text
language plpgsql volatile security invoker set search_path = pg_catalog, pg_temp as $$
begin
    raise exception 'set_cname: a company name has at most 20 characters, this one has %',
        length(name) using errcode = 'string_data_right_truncation';
end
$$;

create or replace procedure quorvane.set_cname(name text)
language sql security invoker set search_path = pg_catalog, pg_temp as $$
    select set_config('quorvane.cname',
                      case when length(name) > 20 then quorvane.cname_too_long(name)
                           else coalesce(name, '') end, false)
$$;

create or replace procedure quorvane.outsystem_date(inout d date)
language sql security invoker set search_path = pg_catalog, pg_temp as $$
    select current_date
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

-- Releases: every publish is kept, and each user's rows show the newest release that has
-- reached that user. A release in waves reaches the members of quorvane_pilot (when its
-- schedule starts with the pilot) at once and then ever more of the other users, each wave a
-- percentage of them a number of days after the start; a user's place (0-99) is a hash of the
-- user name and the program, so a user is in the same wave everywhere and different programs
-- start with different users. A halted release reaches no one new.
do $$
begin
    if to_regtype('quorvane.wave') is null then
        create type quorvane.wave as (percent smallint, after interval);
    end if;
end
$$;

create table if not exists quorvane.release (
    release_id   bigint generated always as identity primary key,
    prog_id      integer not null references quorvane.program on update cascade on delete cascade,
    version      numeric(6, 3) not null,
    sha256       varchar(64) check (sha256 ~ '^[0-9a-f]{64}$'),
    file_size    bigint check (file_size >= 0),
    signature    text check (signature ~ '^[A-Za-z0-9+/]{86}==$'),
    key_id       varchar(16) check (key_id ~ '^[0-9a-f]{16}$'),
    published_by text not null default session_user,
    published_at timestamptz not null default now(),
    pilot        boolean not null default false,
    -- null: everyone at once
    waves        quorvane.wave[],
    -- the schedule's day 0; a resume moves it on by the time the release stood halted
    started_at   timestamptz not null default now(),
    -- The gate: the release halts when at least this many workstations and this share of
    -- those that reported on it since gate_since failed or refused it.
    gate_workstations integer not null default 3 check (gate_workstations >= 1),
    gate_percent numeric(5, 2) not null default 5 check (gate_percent between 0 and 100),
    gate_since   timestamptz not null default now(),
    halted_at    timestamptz,
    halt_reason  varchar(200),
    promoted_at  timestamptz,
    check ((signature is null) = (key_id is null))
);
-- The newest releases of a program first: a sign-in reads one or two per program.
create index if not exists release_prog_newest on quorvane.release (prog_id, release_id desc);

-- A user's place in a program's waves: 0-99, the same at every workstation and sign-in.
create or replace function quorvane.wave_place(username text, prog_id integer) returns integer
language sql immutable parallel safe
return ('x' || substr(md5(username || '/' || prog_id::text), 1, 7))::bit(28)::integer % 100;

-- The share of users (in percent) that waves reach after `elapsed` since their start.
create or replace function quorvane.reached_percent(waves quorvane.wave[], elapsed interval)
returns integer language sql immutable parallel safe
begin atomic
    select coalesce(max(w.percent), 0) from unnest(waves) w where w.after <= elapsed;
end;

-- The release of a program that reaches a user (in_pilot: the user is a member of
-- quorvane_pilot), none while none does. Plain SQL, so the planner reads it into the query
-- that calls it: a sign-in reads it through the index above.
create or replace function quorvane.offered_release(prog integer, username text, in_pilot boolean)
returns setof quorvane.release language sql stable
begin atomic
    select x.* from quorvane.release x
     where x.prog_id = prog
       and (x.waves is null or x.promoted_at is not null
            or quorvane.wave_place(username, prog)
               < (select coalesce(max(w.percent), 0) from unnest(x.waves) w
                   where w.after <= least(now(), x.halted_at) - x.started_at)
            or (x.pilot and in_pilot))
     order by x.release_id desc
     limit 1;
end;

-- What the launcher reads: each program with the release that reaches the current user. The
-- launcher's statements join it with user_prog_db as they always joined the table.
create or replace view quorvane.quorvane_prog as
    select p.prog_id, p.prog_name, p.prog_exe, p.prog_group, p.icon, p.clientpath, p.serverpath,
           coalesce(r.version, p.version) as version, p.prog_type,
           case when r.release_id is null then p.sha256 else r.sha256 end as sha256,
           case when r.release_id is null then p.file_size else r.file_size end as file_size,
           case when r.release_id is null then p.signature else r.signature end as signature,
           case when r.release_id is null then p.key_id else r.key_id end as key_id
      from quorvane.program p
      left join lateral quorvane.offered_release(
          p.prog_id, current_user, pg_has_role('quorvane_pilot', 'member')) r on true;
alter view quorvane.quorvane_prog alter column version set default 0;
alter view quorvane.quorvane_prog alter column prog_type set default 0;

-- Administrators' statements on the view keep working: a new row is a program with the
-- release it starts with, a changed version, digest, size or signature is a release for
-- everyone at once (as such an update always was), the rest changes the program.
create or replace function quorvane.write_quorvane_prog() returns trigger
language plpgsql security invoker set search_path = pg_catalog, pg_temp as $$
begin
    if tg_op = 'INSERT' then
        insert into quorvane.program (prog_id, prog_name, prog_exe, prog_group, icon, clientpath,
                                      serverpath, version, prog_type, sha256, file_size,
                                      signature, key_id)
        values (new.prog_id, new.prog_name, new.prog_exe, new.prog_group, new.icon,
                new.clientpath, new.serverpath, new.version, new.prog_type, new.sha256,
                new.file_size, new.signature, new.key_id);
        return new;
    elsif tg_op = 'DELETE' then
        delete from quorvane.program where prog_id = old.prog_id;
        return old;
    end if;
    update quorvane.program
       set prog_id = new.prog_id, prog_name = new.prog_name, prog_exe = new.prog_exe,
           prog_group = new.prog_group, icon = new.icon, clientpath = new.clientpath,
           serverpath = new.serverpath, prog_type = new.prog_type
     where prog_id = old.prog_id;
    if (new.version, new.sha256, new.file_size, new.signature, new.key_id)
       is distinct from (old.version, old.sha256, old.file_size, old.signature, old.key_id) then
        insert into quorvane.release (prog_id, version, sha256, file_size, signature, key_id)
        values (new.prog_id, new.version, new.sha256, new.file_size, new.signature, new.key_id);
    end if;
    return new;
end
$$;
create or replace trigger write_quorvane_prog
    instead of insert or update or delete on quorvane.quorvane_prog
    for each row execute function quorvane.write_quorvane_prog();

-- A schedule as quorvane-publish takes it: "pilot,10%@1d,50%@3d,100%@5d" (pilot first, then
-- waves of growing shares, none earlier than the one before). Null or '': everyone at once.
create or replace function quorvane.parse_waves(schedule text, out pilot boolean,
                                                out waves quorvane.wave[])
language plpgsql immutable set search_path = pg_catalog, pg_temp as $$
declare
    item text;
    m text[];
    previous quorvane.wave := row(0, interval '0');
    wave quorvane.wave;
begin
    pilot := false;
    if coalesce(schedule, '') = '' then
        return;
    end if;
    if length(schedule) > 200 then
        raise exception 'a schedule has at most 200 characters';
    end if;
    waves := '{}';
    foreach item in array string_to_array(schedule, ',') loop
        item := btrim(item);
        if item = 'pilot' and not pilot and cardinality(waves) = 0 then
            pilot := true;
            continue;
        end if;
        m := regexp_match(item, '^([0-9]{1,3})%(@([0-9]{1,3})([dh]))?$');
        if m is null then
            raise exception 'a wave reads pilot (first) or N%%@Dd, N percent of the users D '
                'days after the start, not "%"', item;
        end if;
        wave := row(m[1]::smallint,
                    coalesce(m[3]::integer, 0) * case m[4] when 'h' then interval '1 hour'
                                                               else interval '1 day' end);
        if wave.percent not between 1 and 100 or wave.percent <= previous.percent
           or wave.after < previous.after then
            raise exception 'the waves of "%" must reach more users each, never earlier, at '
                'most 100%%', schedule;
        end if;
        waves := waves || wave;
        previous := wave;
    end loop;
end
$$;

-- The schedule as it was given, for the status.
create or replace function quorvane.waves_text(pilot boolean, waves quorvane.wave[])
returns text language sql immutable
begin atomic
    select case when waves is null then 'everyone at once'
                else concat_ws(',', case when pilot then 'pilot' end,
                               (select string_agg(w.percent || '%@' ||
                                                  case when extract(hour from w.after) = 0
                                                       then extract(day from w.after) || 'd'
                                                       else (extract(epoch from w.after)::integer
                                                             / 3600) || 'h' end,
                                                  ',' order by w.after, w.percent)
                                  from unnest(waves) w)) end;
end;

-- The publish of earlier versions: the one below takes their calls.
drop procedure if exists quorvane.publish(text, numeric, text, text);
drop procedure if exists quorvane.publish(text, numeric, text, text, bigint, text, text);
-- One step for an administrator: a program's new release, its version with the SHA-256 of its
-- file (which the upgrade checks every download against), its size and signature when it is
-- signed, and its schedule. With the owner's rights, so the administrator role needs no write
-- right on the tables. exen matches prog_exe whatever its letter case; server_path, when
-- given, narrows it to the program at that place. The release halts by itself when at least
-- gate_workstations and gate_percent % of the workstations that reported on it failed or
-- refused it.
create or replace procedure quorvane.publish(exen text, new_version numeric, digest text,
                                             server_path text default null,
                                             file_size bigint default null,
                                             signature text default null,
                                             key_id text default null,
                                             waves text default null,
                                             gate_workstations integer default 3,
                                             gate_percent numeric default 5)
language plpgsql security definer set search_path = pg_catalog, pg_temp as $$
declare
    n integer;
    schedule record;
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
    if (publish.signature is null) <> (publish.key_id is null) then
        raise exception 'publish %: a signature comes with the id of its key', exen;
    end if;
    -- The signed text states the size: without it no workstation could check the signature.
    if publish.signature is not null and publish.file_size is null then
        raise exception 'publish %: a signed release needs its file size', exen;
    end if;
    schedule := quorvane.parse_waves(publish.waves);
    if server_path is null and (select count(distinct serverpath) from quorvane.program
                                 where upper(prog_exe) = upper(exen)) > 1 then
        raise exception '% lies on several server paths: name the one to publish', exen;
    end if;
    insert into quorvane.release (prog_id, version, sha256, file_size, signature, key_id,
                                  pilot, waves, gate_workstations, gate_percent)
    select p.prog_id, new_version, lower(digest), publish.file_size, publish.signature,
           lower(publish.key_id), schedule.pilot, schedule.waves, publish.gate_workstations,
           publish.gate_percent
      from quorvane.program p
     where upper(p.prog_exe) = upper(exen)
       and (server_path is null or p.serverpath = server_path);
    get diagnostics n = row_count;
    if n = 0 then
        raise exception 'no program % in quorvane.quorvane_prog%', exen,
            coalesce(' with server path ' || server_path, '');
    end if;
    raise notice '%: version %, SHA-256 %, key %, %, rows changed: %', exen, new_version,
        lower(digest), coalesce(lower(publish.key_id), 'none'),
        quorvane.waves_text(schedule.pilot, schedule.waves), n;
end
$$;

-- The administrator's levers on the newest release of a program: halt it for those it has not
-- reached, resume it where it stood (the gate counts afresh), or promote it to everyone now.
create or replace procedure quorvane.steer_release(exen text, lever text,
                                                   server_path text default null)
language plpgsql security definer set search_path = pg_catalog, pg_temp as $$
declare
    n integer;
begin
    if lever not in ('halt', 'resume', 'promote') then
        raise exception 'a release is halted, resumed or promoted, not %', lever;
    end if;
    update quorvane.release x
       set halted_at = case lever when 'halt' then coalesce(x.halted_at, now()) end,
           halt_reason = case lever when 'halt' then coalesce(x.halt_reason,
                                                              'halted by ' || session_user) end,
           started_at = case when lever = 'resume' and x.halted_at is not null
                             then x.started_at + (now() - x.halted_at) else x.started_at end,
           gate_since = case lever when 'resume' then now() else x.gate_since end,
           promoted_at = case lever when 'promote' then coalesce(x.promoted_at, now())
                                    else x.promoted_at end
     where x.release_id in (select max(r.release_id) from quorvane.release r
                              join quorvane.program p using (prog_id)
                             where upper(p.prog_exe) = upper(exen)
                               and (server_path is null or p.serverpath = server_path)
                             group by r.prog_id);
    get diagnostics n = row_count;
    if n = 0 then
        raise exception 'no release of % in quorvane.release%', exen,
            coalesce(' with server path ' || server_path, '');
    end if;
    raise notice '%: % (releases: %)', exen, lever, n;
end
$$;

create or replace procedure quorvane.limit_user_sessions(sessions integer default 20)
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
revoke all on function quorvane.cname_too_long from public;
grant execute on function quorvane.cname_too_long to quorvane_user;
-- Users made before the limit: every member of quorvane_user without one gets it now. Ten,
-- the earlier default, left no room for the programs a launcher starts under the same role.
do $$
declare
    member name;
begin
    for member in
        select rolname from pg_roles
         where rolcanlogin and not rolsuper and rolconnlimit = 10
           and pg_has_role(oid, 'quorvane_user', 'member')
    loop
        execute format('alter role %I connection limit -1', member);
    end loop;
end
$$;
call quorvane.limit_user_sessions();
revoke all on procedure quorvane.steer_release from public;
revoke all on function quorvane.parse_waves, quorvane.write_quorvane_prog from public;
grant usage on schema quorvane to quorvane_admin;
revoke all on quorvane.program from quorvane_user, quorvane_admin;
grant select on quorvane.quorvane_prog to quorvane_user, quorvane_admin;
grant select on quorvane.release to quorvane_user;
grant execute on procedure quorvane.publish, quorvane.steer_release to quorvane_admin;
grant select on quorvane.program, quorvane.release, quorvane.user_prog_db to quorvane_admin;
revoke all on function quorvane.wave_place, quorvane.reached_percent,
                 quorvane.offered_release, quorvane.waves_text from public;
grant execute on function quorvane.wave_place, quorvane.reached_percent,
                 quorvane.offered_release, quorvane.waves_text to quorvane_user, quorvane_admin;

-- Upgrade reports: after every upgrade check each workstation tells what it runs of the
-- programs the upgrade keeps current, so an administrator sees a rollout (views below and
-- quorvane-status). One row per user, workstation and exe name; the launcher writes the rows
-- through report_upgrade, one call per sign-in, and only that procedure writes them. The
-- workstation is its host name with its machine id beside it ('' when it has none), so two
-- hosts of one name stay apart. A row is rewritten only when what it says changed
-- (reported_at: the last change; report_workstation.seen_at: the last report), and the room
-- left in each page keeps those updates beside the row.
-- Views and the procedure of earlier versions make way for those below.
drop view if exists quorvane.rollout_status, quorvane.workstation_programs;
drop procedure if exists
    quorvane.report_upgrade(text, text, text[], text[], text[], text[], text[], text[]);
set role quorvane;

create table if not exists quorvane.upgrade_report (
    -- collation "C", as current_user has: the row security's lookups then use the key
    username          text collate "C" not null default current_user,
    host_name         varchar(255) not null,
    machine_id        varchar(64) not null,
    exe_name          varchar(255) not null,
    installed_version varchar(20), -- the version text the workstation recorded; null: none
    sha256            varchar(64) check (sha256 ~ '^[0-9a-f]{64}$'), -- of the installed file
    outcome           varchar(20) not null,
    message           varchar(1000), -- a failure's message
    received_sha256   varchar(64) check (received_sha256 ~ '^[0-9a-f]{64}$'), -- refused download
    reported_at       timestamptz not null default now(),
    primary key (username, machine_id, host_name, exe_name)
);
alter table quorvane.upgrade_report
    add column if not exists previous_version varchar(20), -- before the check
    add column if not exists fetched_bytes bigint check (fetched_bytes >= 0),
    add column if not exists fetch_ms integer check (fetch_ms >= 0),
    add column if not exists retries smallint check (retries between 0 and 10),
    drop constraint if exists upgrade_report_outcome_check,
    add constraint upgrade_report_outcome_check
        check (outcome in ('up to date', 'fetched', 'failed', 'digest mismatch',
                           'signature refused', 'rollback refused'));
alter table quorvane.upgrade_report set (fillfactor = 70);
-- The gate counts one program's reports.
create index if not exists upgrade_report_exe on quorvane.upgrade_report (upper(exe_name));

create table if not exists quorvane.report_workstation (
    username   text collate "C" not null,
    host_name  varchar(255) not null,
    machine_id varchar(64) not null,
    seen_at    timestamptz not null default now(),
    primary key (username, machine_id, host_name)
) with (fillfactor = 70);
insert into quorvane.report_workstation (username, host_name, machine_id, seen_at)
    select username, host_name, machine_id, max(reported_at) from quorvane.upgrade_report
     group by username, host_name, machine_id
    on conflict do nothing;

-- One sign-in's report: element i of every array belongs to program i (previous, bytes,
-- millis and retries may be left out by launchers that do not send them). The digest of the
-- installed file is known when this run fetched it; otherwise the one reported for the same
-- version stays. A user keeps the reports of the 10 workstations seen last. With the owner's
-- rights, so users write reports only through here, under their own name; a lock held by
-- another session of the same user gives up soon, so a sign-in never waits on a report.
create or replace procedure quorvane.report_upgrade(
    workstation text, machine text, exes text[], versions text[], digests text[],
    outcomes text[], messages text[], received text[], previous text[] default null,
    bytes bigint[] default null, millis integer[] default null, retries integer[] default null)
language plpgsql security definer
set search_path = pg_catalog, pg_temp set lock_timeout = '1s' as $$
declare
    n constant integer := coalesce(cardinality(exes), 0);
    -- the role the caller acts as (a definer's own rights leave the setting alone)
    caller constant text := coalesce(nullif(current_setting('role'), 'none'), session_user);
    kept constant integer := 10;
begin
    if not pg_has_role(caller, 'quorvane_user', 'member') then
        raise exception 'only launcher users report upgrades';
    end if;
    if n > 1000 then
        raise exception 'an upgrade report holds at most 1000 programs, not %', n;
    end if;
    if coalesce(cardinality(versions), 0) <> n or coalesce(cardinality(digests), 0) <> n
       or coalesce(cardinality(outcomes), 0) <> n or coalesce(cardinality(messages), 0) <> n
       or coalesce(cardinality(received), 0) <> n
       or coalesce(cardinality(previous), n) <> n or coalesce(cardinality(bytes), n) <> n
       or coalesce(cardinality(millis), n) <> n or coalesce(cardinality(retries), n) <> n then
        raise exception 'the arrays of an upgrade report differ in length';
    end if;
    insert into quorvane.report_workstation as w (username, host_name, machine_id, seen_at)
    values (caller, workstation, coalesce(machine, ''), now())
    on conflict (username, machine_id, host_name) do update set seen_at = excluded.seen_at;
    if (select count(*) from quorvane.report_workstation where username = caller) > kept then
        with gone as (
            delete from quorvane.report_workstation w
             where w.username = caller
               and (w.machine_id, w.host_name) not in (
                   select k.machine_id, k.host_name from quorvane.report_workstation k
                    where k.username = caller order by k.seen_at desc limit kept)
            returning w.machine_id, w.host_name)
        delete from quorvane.upgrade_report r using gone g
         where r.username = caller and r.machine_id = g.machine_id
           and r.host_name = g.host_name;
    end if;
    insert into quorvane.upgrade_report as r
        (username, host_name, machine_id, exe_name, installed_version, sha256, outcome,
         message, received_sha256, reported_at, previous_version, fetched_bytes, fetch_ms,
         retries)
    select distinct on (e.exe) caller, workstation, coalesce(machine, ''), e.exe,
           e.version, e.digest, e.outcome, e.message, e.received, now(), e.previous, e.bytes,
           e.millis, e.retries
      from unnest(exes, versions, digests, outcomes, messages, received, previous, bytes,
                  millis, retries)
               with ordinality e(exe, version, digest, outcome, message, received, previous,
                                 bytes, millis, retries, i)
     order by e.exe, e.i
    on conflict (username, machine_id, host_name, exe_name) do update
       set installed_version = excluded.installed_version,
           sha256 = coalesce(excluded.sha256,
                             case when r.installed_version = excluded.installed_version
                                  then r.sha256 end),
           outcome = excluded.outcome,
           message = excluded.message,
           received_sha256 = excluded.received_sha256,
           previous_version = excluded.previous_version,
           fetched_bytes = excluded.fetched_bytes,
           fetch_ms = excluded.fetch_ms,
           retries = excluded.retries,
           reported_at = excluded.reported_at
     where (r.installed_version, r.sha256, r.outcome, r.message, r.received_sha256,
            r.previous_version, r.fetched_bytes, r.fetch_ms, r.retries)
           is distinct from
           (excluded.installed_version,
            coalesce(excluded.sha256, case when r.installed_version = excluded.installed_version
                                           then r.sha256 end),
            excluded.outcome, excluded.message, excluded.received_sha256,
            excluded.previous_version, excluded.fetched_bytes, excluded.fetch_ms,
            excluded.retries);
    -- The gate: only a failure or refusal can close it, so a clean report costs nothing more.
    if exists (select from unnest(outcomes) o where o not in ('up to date', 'fetched')) then
        update quorvane.release x
           set halted_at = now(),
               halt_reason = format('halted by the gate: %s of %s workstations failed or '
                                    'refused it', g.failed, g.reported)
          from (select x2.release_id, x2.gate_workstations, x2.gate_percent,
                       count(*) filter (where r.outcome not in ('up to date', 'fetched'))
                           as failed,
                       count(*) as reported
                  from quorvane.release x2
                  join quorvane.program p on p.prog_id = x2.prog_id
                  join quorvane.upgrade_report r on upper(r.exe_name) = upper(p.prog_exe)
                 where upper(p.prog_exe) in (select upper(e) from unnest(exes) e)
                   and x2.waves is not null and x2.halted_at is null
                   and x2.promoted_at is null
                   and x2.release_id = (select max(y.release_id) from quorvane.release y
                                         where y.prog_id = x2.prog_id)
                   and r.reported_at >= x2.gate_since
                   and (r.outcome not in ('up to date', 'fetched')
                        or r.installed_version = ltrim(to_char(x2.version, '990.000')))
                 group by x2.release_id) g
         where x.release_id = g.release_id
           and g.failed >= g.gate_workstations
           and g.failed * 100 >= g.gate_percent * g.reported;
    end if;
end
$$;

-- Where a user's reports stand against the release that reaches that user (the workstation's
-- account: each keeps its own drive folder): state at, behind, failed or refused (a download
-- whose digest, signature or version the workstation refused).
create or replace view quorvane.workstation_programs with (security_invoker = true) as
    select r.host_name, r.machine_id, r.username, p.prog_id, p.prog_exe as exe_name,
           r.installed_version,
           ltrim(to_char(coalesce(o.version, p.version), '990.000')) as published_version,
           r.sha256,
           case when o.release_id is null then p.sha256 else o.sha256 end as published_sha256,
           case when r.outcome in ('digest mismatch', 'signature refused', 'rollback refused')
                     then 'refused'
                when r.outcome = 'failed' then 'failed'
                when r.installed_version ~ '^[0-9]{1,3}(\.[0-9]{1,3})?$'
                     and r.installed_version::numeric = coalesce(o.version, p.version)
                     and (r.sha256 is null
                          or coalesce(o.sha256, case when o.release_id is null
                                                     then p.sha256 end) is null
                          or r.sha256 = coalesce(o.sha256, p.sha256))
                     then 'at'
                else 'behind' end as state,
           r.outcome, r.message, r.received_sha256, r.reported_at, r.previous_version,
           r.fetched_bytes, r.fetch_ms, r.retries, o.release_id
      from quorvane.upgrade_report r
      join quorvane.program p on upper(p.prog_exe) = upper(r.exe_name)
      left join lateral quorvane.offered_release(
          p.prog_id, r.username,
          exists (select from pg_roles u
                   where u.rolname = r.username
                     and pg_has_role(u.oid, 'quorvane_pilot', 'member'))) o on true
     where p.prog_type = 1;

-- Every release with where it stands: halted, rolling (waves still to come), done (it reaches
-- everyone) or superseded by a newer one; the wave reached and how many users it reaches.
create or replace view quorvane.release_status with (security_invoker = true) as
    select x.release_id, x.prog_id, p.prog_exe as exe_name, p.serverpath,
           ltrim(to_char(x.version, '990.000')) as version, x.sha256, x.file_size, x.key_id,
           x.published_by, x.published_at,
           case when exists (select from quorvane.release y
                              where y.prog_id = x.prog_id and y.release_id > x.release_id)
                     then 'superseded'
                when x.halted_at is not null then 'halted'
                when x.waves is null or x.promoted_at is not null
                     or quorvane.reached_percent(x.waves, now() - x.started_at) = 100
                     then 'done'
                else 'rolling' end as state,
           quorvane.waves_text(x.pilot, x.waves) as schedule,
           case when x.waves is null or x.promoted_at is not null then 'everyone'
                else concat_ws(' + ', case when x.pilot then 'pilot' end,
                               quorvane.reached_percent(x.waves,
                                                        least(now(), x.halted_at)
                                                        - x.started_at) || '%') end
               as wave_reached,
           (select count(distinct g.username) from quorvane.user_prog_db g
             where g.quorvane_prog_id = x.prog_id
               and (x.waves is null or x.promoted_at is not null
                    or (x.pilot and exists (select from pg_roles u
                                             where u.rolname = g.username
                                               and pg_has_role(u.oid, 'quorvane_pilot',
                                                               'member')))
                    or quorvane.wave_place(g.username, x.prog_id)
                       < quorvane.reached_percent(x.waves, least(now(), x.halted_at)
                                                           - x.started_at)))
               as offered_users,
           x.gate_workstations, x.gate_percent, x.halted_at, x.halt_reason, x.promoted_at
      from quorvane.release x
      join quorvane.program p on p.prog_id = x.prog_id;

-- Per program the upgrade keeps current: its newest release and how many workstations are at
-- the release that reaches them, behind it, failed, or refused it (by kind), with the last
-- report. Halted releases first in quorvane-status.
create or replace view quorvane.rollout_status with (security_invoker = true) as
    select p.prog_id, p.prog_exe as exe_name, p.serverpath,
           coalesce(s.version, ltrim(to_char(p.version, '990.000'))) as published_version,
           case when s.release_id is null then p.sha256 else s.sha256 end as published_sha256,
           count(w.state) filter (where w.state = 'at') as at_version,
           count(w.state) filter (where w.state = 'behind') as behind,
           count(w.state) filter (where w.state = 'failed') as failed,
           count(w.state) filter (where w.state = 'refused') as refused,
           max(w.reported_at) as last_report,
           count(w.state) filter (where w.outcome = 'digest mismatch') as refused_digest,
           count(w.state) filter (where w.outcome = 'signature refused') as refused_signature,
           count(w.state) filter (where w.outcome = 'rollback refused') as refused_rollback,
           count(w.state) filter (where w.release_id is distinct from s.release_id)
               as waiting,
           s.release_id, coalesce(s.state, 'done') as state,
           coalesce(s.schedule, 'before history') as schedule, s.wave_reached,
           s.offered_users, case when s.release_id is null then p.key_id else s.key_id end
               as key_id, s.halt_reason
      from quorvane.program p
      left join lateral (select * from quorvane.release_status rs
                          where rs.prog_id = p.prog_id
                          order by rs.release_id desc limit 1) s on true
      left join quorvane.workstation_programs w on w.prog_id = p.prog_id
     where p.prog_type = 1 and lower(left(p.clientpath, 3)) = 'c:\'
     group by p.prog_id, s.release_id, s.version, s.sha256, s.state, s.schedule,
              s.wave_reached, s.offered_users, s.key_id, s.halt_reason;

-- A user reads only their own reports; administrators read all; the procedure, with the
-- owner's rights, writes them. Forced, so the owner's other sessions are held to it too.
alter table quorvane.upgrade_report enable row level security;
alter table quorvane.upgrade_report force row level security;
drop policy if exists own_reports on quorvane.upgrade_report;
create policy own_reports on quorvane.upgrade_report
    for select to quorvane_user
    using (username = current_user);
drop policy if exists admins_read_reports on quorvane.upgrade_report;
create policy admins_read_reports on quorvane.upgrade_report
    for select to quorvane_admin
    using (true);
drop policy if exists reports_by_procedure on quorvane.upgrade_report;
create policy reports_by_procedure on quorvane.upgrade_report
    for all to quorvane
    using (true);

reset role;

revoke insert, update, delete on quorvane.upgrade_report from quorvane_user;
grant select on quorvane.upgrade_report to quorvane_user;
revoke all on procedure quorvane.report_upgrade from public;
grant execute on procedure quorvane.report_upgrade to quorvane_user;
grant select on quorvane.upgrade_report, quorvane.workstation_programs,
                quorvane.rollout_status, quorvane.release_status to quorvane_admin;

do $$
begin
    execute format('revoke connect, temporary on database %I from public', current_database());
    -- The launcher makes no temporary tables, so its users get none: a user's own
    -- temporary table would otherwise fill the server's disk.
    execute format('revoke temporary on database %I from quorvane_user', current_database());
    execute format('grant connect on database %I to quorvane_user', current_database());
    execute format('grant connect on database %I to quorvane_admin', current_database());
    execute format('alter database %I set statement_timeout = %L', current_database(), '1min');
    execute format('alter database %I set temp_file_limit = %L', current_database(), '256MB');
end
$$;

-- The sign-in's plans. Each workstation signs in on a new session, so every statement runs on
-- a cold backend and should touch only the user's rows. The upgrade list reads the programs
-- the upgrade keeps current from this index alone; the program list of a group finds its
-- programs by group. The launcher's data sit in the server's memory, so an index probe costs
-- about what a page of a full scan does: with the default a few hundred probes look dearer
-- than reading the program table whole, icons included.
create index if not exists quorvane_prog_upgrade on quorvane.program (prog_id)
    include (prog_exe, prog_name, serverpath, clientpath, version) where prog_type = 1;
create index if not exists quorvane_prog_group on quorvane.program (prog_group);
do $$
begin
    execute format('alter database %I set random_page_cost = 1.1', current_database());
end
$$;
