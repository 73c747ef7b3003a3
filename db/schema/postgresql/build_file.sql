-- Hospital information system: the referring doctors, in the schema "build_file".
CREATE SCHEMA IF NOT EXISTS build_file;
SET search_path = build_file, public;

CREATE TABLE tbcodoctor (
  DoctorID   citext NOT NULL PRIMARY KEY,
  LastName   citext,
  FirstName  citext,
  MiddleName citext,
  Specialty  citext,
  email      citext NULL
);
INSERT INTO tbcodoctor VALUES ('D001', 'HOUSE', 'GREGORY', NULL, 'Internal Medicine', NULL);
INSERT INTO tbcodoctor VALUES ('D002', 'GREY', 'MEREDITH', NULL, 'Surgery', NULL);
