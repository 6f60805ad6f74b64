-- Demo data: two users, four companies, three program groups. Reloading it restores the demo
-- rows and the demo passwords, so tests can run it before each case. Plain SQL, run as a
-- superuser after schema.sql. tests/support/pg/DemoData.h names these rows for the tests.

set client_min_messages = warning;

do $$
begin
    if not exists (select from pg_roles where rolname = 'mari') then
        create role mari login connection limit 20;
    end if;
    if not exists (select from pg_roles where rolname = 'jaan') then
        create role jaan login connection limit 20;
    end if;
end
$$;
set password_encryption = 'scram-sha-256';
alter role mari password 'Kask2026';
alter role jaan password 'Tamm2026';
grant quorvane_user to mari, jaan;

-- A Windows bitmap (24 bits, bottom-up) of size x size pixels: a dark frame around the fill
-- colour rrggbb; with_header puts the 8-byte blob header (1, 0x0100, length) in front.
create or replace function pg_temp.le32(n integer) returns text language sql immutable as $$
    select lpad(to_hex(n & 255), 2, '0') || lpad(to_hex((n >> 8) & 255), 2, '0')
        || lpad(to_hex((n >> 16) & 255), 2, '0') || lpad(to_hex((n >> 24) & 255), 2, '0')
$$;
create or replace function pg_temp.demo_bmp(size integer, rrggbb text, with_header boolean)
returns bytea language sql immutable as $$
    with p as (
        select substr(rrggbb, 5, 2) || substr(rrggbb, 3, 2) || substr(rrggbb, 1, 2) as fill,
               '202020' as frame,
               size * size * 3 as pixels
    ), b as (
        select '424d' || pg_temp.le32(54 + pixels) || '00000000' || pg_temp.le32(54)
            || pg_temp.le32(40) || pg_temp.le32(size) || pg_temp.le32(size) || '0100' || '1800'
            || pg_temp.le32(0) || pg_temp.le32(pixels) || pg_temp.le32(2835) || pg_temp.le32(2835)
            || pg_temp.le32(0) || pg_temp.le32(0)
            || (select string_agg(case when y in (0, size - 1) then repeat(frame, size)
                                       else frame || repeat(fill, size - 2) || frame end, ''
                                  order by y)
                  from generate_series(0, size - 1) y) as hex,
               54 + pixels as len
          from p
    )
    select decode(case when with_header then '0100' || '0001' || pg_temp.le32(len) else '' end
                  || hex, 'hex')
      from b
$$;

-- The programs' table under either name: the tests load these rows into an earlier schema too.
do $$
begin
    if to_regclass('quorvane.program') is null then
        truncate quorvane.user_prog_db, quorvane.quorvane_prog, quorvane.company;
    else
        truncate quorvane.user_prog_db, quorvane.release, quorvane.program, quorvane.company;
    end if;
end
$$;

insert into quorvane.company (v_company, db_name, company_name) values
    (10, 'ACME',   'Acme Trading AS'),
    (20, 'BALTIC', 'Baltic Logistics OU'),
    (30, 'CEDAR',  'Cedar Holdings'),
    (40, 'DELTA',  'Delta Without Users');

-- No digests (sha256) here: the tests serve bytes of their own and pin them where they test
-- that, and scripts/demo publishes the digest of the demo client it serves, as an
-- administrator does with scripts/quorvane-publish.
insert into quorvane.quorvane_prog
    (prog_id, prog_name, prog_exe, prog_group, icon, clientpath, serverpath, version, prog_type)
values
    (1,  'Ledger',         'ledger.exe',  'Finance',   pg_temp.demo_bmp(16, '2050c0', true),
         'c:\qv\finance', '127.0.0.1:/finance', 1.250, 1),
    (2,  'Invoices',       'invoice.exe', 'Finance',   pg_temp.demo_bmp(32, '20a040', false),
         'c:\qv\finance', '127.0.0.1:/finance', 2.000, 1),
    (3,  'Payroll',        'payroll.exe', 'Finance',   pg_temp.demo_bmp(16, 'c02020', false),
         'c:\apps\payroll', '127.0.0.1:/payroll', 1.000, 0),
    (4,  'Finance manual', 'manual.doc',  'Finance',   pg_temp.demo_bmp(16, 'e0e0e0', true),
         'c:\qv\finance', '127.0.0.1:/finance', 1.000, 0),
    (5,  'Stock',          'Stock.exe',   'Logistics', pg_temp.demo_bmp(32, 'f08000', true),
         'c:\qv\stock', '127.0.0.1:/stock', 3.100, 1),
    (6,  'Shipping',       'ship.exe',    'Logistics', pg_temp.demo_bmp(16, '8040c0', true),
         'd:\logistics', '127.0.0.1:/ship', 1.000, 1),
    (7,  'Routes',         'routes.exe',  'Logistics', pg_temp.demo_bmp(16, '40c0c0', false),
         'c:\qv\routes', '', 0.500, 0),
    (8,  'Routes help',    'routes.hlp',  'Logistics', null,
         'c:\qv\routes', '', 0.000, 0),
    (9,  'Notepad',        'notepad.exe', 'Tools',     null,
         'c:\windows', null, 0.000, 0),
    (10, 'Calculator',     'calc.exe',    'Tools',     pg_temp.demo_bmp(32, 'c0c020', false),
         'c:\qv\tools', 'localhost:/tools', 10.500, 1),
    (11, 'Tools readme',   'readme.txt',  'Tools',     null,
         'c:\qv\tools', 'localhost:/tools', 1.000, 0);

insert into quorvane.user_prog_db (username, database_id, quorvane_prog_id, ordinal) values
    ('mari', 10, 1, 1), ('mari', 10, 2, 2), ('mari', 10, 3, 0), ('mari', 10, 4, 0),
    ('mari', 10, 9, 0), ('mari', 10, 10, 0), ('mari', 10, 11, 0),
    ('mari', 20, 1, 0), ('mari', 20, 5, 3), ('mari', 20, 6, 0), ('mari', 20, 7, 0),
    ('mari', 20, 8, 0),
    ('mari', 30, 9, 0), ('mari', 30, 10, 0),
    ('jaan', 20, 5, 1), ('jaan', 20, 7, 2), ('jaan', 20, 1, 0), ('jaan', 20, 6, 0),
    ('jaan', 20, 8, 0);
