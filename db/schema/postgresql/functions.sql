-- SQL Server's functions as the program's statements use them, for the
-- PostgreSQL back end (its translator writes convert(type, x, style) as
-- tsql_datetime, tsql_text, tsql_int or tsql_real, and GETDATE() as
-- tsql_getdate). Kept in the schema "dicom", first on every session's path.
SET search_path = dicom, public;

CREATE OR REPLACE FUNCTION tsql_getdate() RETURNS timestamp
LANGUAGE sql STABLE AS $$ SELECT localtimestamp(0) $$;

-- convert(datetime, text): M/D/YYYY [h:mm[:ss] [AM|PM]], ISO, a time alone
-- (on the base date) and the empty text (the base date itself).
CREATE OR REPLACE FUNCTION tsql_datetime(v text, style int DEFAULT 0) RETURNS timestamp
LANGUAGE plpgsql STABLE AS $$
DECLARE t text := btrim(v);
BEGIN
  IF t IS NULL THEN RETURN NULL; END IF;
  IF t = '' THEN RETURN timestamp '1900-01-01'; END IF;
  IF t ~ '^\d{1,2}:\d{2}' THEN RETURN timestamp '1900-01-01' + t::time; END IF;
  RETURN t::timestamp;
EXCEPTION WHEN others THEN
  RAISE EXCEPTION 'Conversion failed when converting date and/or time from character string: ''%''', v;
END $$;

CREATE OR REPLACE FUNCTION tsql_datetime(v timestamp, style int DEFAULT 0) RETURNS timestamp
LANGUAGE sql IMMUTABLE AS $$ SELECT v $$;

-- convert(varchar, date, style) in the styles the program writes.
CREATE OR REPLACE FUNCTION tsql_text(v timestamp, style int DEFAULT 0) RETURNS citext
LANGUAGE sql STABLE AS $$
  SELECT (CASE
    WHEN v IS NULL THEN NULL
    WHEN style = 101 THEN to_char(v, 'MM/DD/YYYY')
    WHEN style = 1 THEN to_char(v, 'MM/DD/YY')
    WHEN style IN (8, 108) THEN to_char(v, 'HH24:MI:SS')
    WHEN style = 103 THEN to_char(v, 'DD/MM/YYYY')
    WHEN style = 112 THEN to_char(v, 'YYYYMMDD')
    WHEN style = 120 THEN to_char(v, 'YYYY-MM-DD HH24:MI:SS')
    ELSE to_char(v, 'Mon') || ' ' || lpad(extract(day FROM v)::int::text, 2) || ' ' || to_char(v, 'YYYY')
         || ' ' || lpad(to_char(v, 'FMHH12'), 2) || ':' || to_char(v, 'MI') || to_char(v, 'AM')
  END)::citext $$;

CREATE OR REPLACE FUNCTION tsql_text(v text, style int DEFAULT 0) RETURNS citext
LANGUAGE sql IMMUTABLE AS $$ SELECT v::citext $$;

CREATE OR REPLACE FUNCTION tsql_text(v bigint, style int DEFAULT 0) RETURNS citext
LANGUAGE sql IMMUTABLE AS $$ SELECT v::text::citext $$;

CREATE OR REPLACE FUNCTION tsql_text(v double precision, style int DEFAULT 0) RETURNS citext
LANGUAGE sql IMMUTABLE AS $$ SELECT v::text::citext $$;

-- convert(int, x): SQL Server's message for a text that is no number.
CREATE OR REPLACE FUNCTION tsql_int(v text) RETURNS bigint
LANGUAGE plpgsql IMMUTABLE AS $$
BEGIN
  RETURN btrim(v)::bigint;
EXCEPTION WHEN others THEN
  RAISE EXCEPTION 'Conversion failed when converting the varchar value ''%'' to data type int.', v;
END $$;

CREATE OR REPLACE FUNCTION tsql_int(v double precision) RETURNS bigint
LANGUAGE sql IMMUTABLE AS $$ SELECT trunc(v)::bigint $$;

CREATE OR REPLACE FUNCTION tsql_int(v bigint) RETURNS bigint
LANGUAGE sql IMMUTABLE AS $$ SELECT v $$;

CREATE OR REPLACE FUNCTION tsql_real(v text) RETURNS double precision
LANGUAGE sql IMMUTABLE AS $$ SELECT btrim(v)::double precision $$;

CREATE OR REPLACE FUNCTION tsql_real(v double precision) RETURNS double precision
LANGUAGE sql IMMUTABLE AS $$ SELECT v $$;
