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
    sha256     varchar(64) check (sha256 ~ '^[0-9a-f]{64}$')
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

create procedure quorvane.set_cname(name text)
language plpgsql security invoker set search_path = pg_catalog, pg_temp as $$
begin
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

-- One step for an administrator: a program's new version and the SHA-256 of its file, which
-- the upgrade checks every download against. With the owner's rights, so the administrator
-- role needs no write right on the table. exen matches prog_exe whatever its letter case;
-- server_path, when given, narrows it to the program at that place.
create procedure quorvane.publish(exen text, new_version numeric, digest text,
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

-- Only the launcher's users, its administrators and superusers reach this database.
do $$
begin
    execute format('revoke connect, temporary on database %I from public', current_database());
    execute format('grant connect, temporary on database %I to quorvane_user',
                   current_database());
    execute format('grant connect on database %I to quorvane_admin', current_database());
end
$$;
