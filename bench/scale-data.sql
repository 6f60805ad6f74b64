-- The data set of a large organisation, made on the server in seconds and never shipped:
-- `companies` companies, `programs` programs (a third of them kept current by the upgrade),
-- `users` users qvu1, qvu2 ... with 4 companies x 50 programs each (5 buttons per bar), and
-- one big user who may run every program in every company. Replaces all rows of the launcher's
-- tables. Plain SQL, run as a superuser in the launcher's database, then in the same session:
--
--     call pg_temp.scale_data(10000, 100, 1000, 'qvbig', 'Big2026');  -- 2.1 M grants
--
-- The big user signs in with that password; the others are roles without login, for
-- `set role` (pgbench).

create or replace procedure pg_temp.scale_data(users integer, companies integer,
                                               programs integer, big_user text,
                                               big_password text)
language plpgsql as $$
declare
    icon bytea;
begin
    -- A 16 x 16 Windows bitmap, 24 bits, grey: what every program list row decodes.
    icon := decode('424d36030000000000003600000028000000100000001000000001001800000000000003'
                   || '0000130b0000130b00000000000000000000' || repeat('c0c0c0', 256), 'hex');
    truncate quorvane.user_prog_db, quorvane.release, quorvane.program, quorvane.company;
    insert into quorvane.company (v_company, db_name, company_name)
        select c, 'CO' || c, 'Company ' || c from generate_series(1, companies) c;
    insert into quorvane.program
        (prog_id, prog_name, prog_exe, prog_group, icon, clientpath, serverpath, version,
         prog_type)
        select p, 'Program ' || p, 'prog' || p || '.exe', 'Group ' || p % 20, icon,
               'c:\qv\group' || p % 20, '127.0.0.1:/group' || p % 20, 1 + p % 7,
               case when p % 3 = 0 then 1 else 0 end
          from generate_series(1, programs) p;

    for u in 1..users loop
        if not exists (select from pg_roles where rolname = 'qvu' || u) then
            execute format('create role %I nologin in role quorvane_user', 'qvu' || u);
        end if;
    end loop;
    if not exists (select from pg_roles where rolname = big_user) then
        execute format('create role %I login in role quorvane_user', big_user);
    end if;
    execute format('alter role %I password %L', big_user, big_password);

    -- Consistent by construction: checking 2 M foreign keys one by one would take a minute,
    -- and the primary key is built faster once, sorted, than row by row.
    perform set_config('session_replication_role', 'replica', true);
    alter table quorvane.user_prog_db drop constraint user_prog_db_pkey;
    drop index quorvane.user_prog_db_prog;
    insert into quorvane.user_prog_db (username, database_id, quorvane_prog_id, ordinal)
        select 'qvu' || u, (u * 7 + k * 13) % companies + 1, (u * 31 + m * 17) % programs + 1,
               case when m < 5 then m + 1 else 0 end
          from generate_series(1, users) u, generate_series(0, 3) k,
               generate_series(0, 49) m
        union all
        select big_user, c, p, case when p <= 5 then p else 0 end
          from generate_series(1, companies) c, generate_series(1, programs) p;
    alter table quorvane.user_prog_db
        add primary key (username, database_id, quorvane_prog_id);
    create index user_prog_db_prog on quorvane.user_prog_db (quorvane_prog_id, username);
    perform set_config('session_replication_role', 'origin', true);
    analyze quorvane.user_prog_db, quorvane.program, quorvane.company;
end
$$;
