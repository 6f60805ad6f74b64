-- db/schema.sql as it stood before program digests, the administrators' role and the
-- hardening: a database made by it is what db/update.sql must bring up to date.
-- The launcher's central database: the program table, the users' programs per company, the
-- companies behind the views sysparams and v_sysparams, and the procedures the launcher calls.
-- Run as a superuser in an empty database. Plain SQL (no psql commands), so the test fixture
-- can send it as one statement batch too.

do $$
begin
    if not exists (select from pg_roles where rolname = 'quorvane') then
        create role quorvane nologin;
    end if;
    -- Every launcher user is a login role and a member of this one.
    if not exists (select from pg_roles where rolname = 'quorvane_user') then
        create role quorvane_user nologin;
    end if;
end
$$;

drop schema if exists quorvane cascade;
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
    prog_type  integer not null default 0
);

create table quorvane.company (
    v_company    integer primary key,
    db_name      varchar(20) not null unique,
    company_name varchar(50) not null
);

create table quorvane.user_prog_db (
    username         text not null, -- the role name, lower case
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

-- Procedures run with the caller's rights, so the row security below holds inside them.

create procedure quorvane.set_cname(name text)
language plpgsql security invoker as $$
begin
    perform set_config('quorvane.cname', coalesce(name, ''), false);
end
$$;

create procedure quorvane.outsystem_date(inout d date)
language plpgsql security invoker as $$
begin
    d := current_date;
end
$$;

-- exen is the program's file name as cut from a button's command line, with its trailing blank.
create procedure quorvane.savebuttonconf(ord numeric, exen text, d_name text)
language plpgsql security invoker as $$
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
language plpgsql security invoker as $$
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

-- Row security: a user sees and changes only the rows that carry the user's own name.
alter table quorvane.user_prog_db enable row level security;
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
grant execute on all routines in schema quorvane to quorvane_user;
