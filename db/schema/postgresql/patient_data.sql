-- Hospital information system: the master patient list and the hospital's
-- own details, in the schema "patient_data". Demo rows let a fresh
-- installation run every feature.
CREATE SCHEMA IF NOT EXISTS patient_data;
SET search_path = patient_data, public;

CREATE TABLE tbMaster (
  HospNum    citext NOT NULL PRIMARY KEY,
  LastName   citext,
  FirstName  citext,
  MiddleName citext,
  Sex        citext,
  BirthDate  timestamp
);
INSERT INTO tbMaster VALUES ('P001', 'SMITH', 'JOHN', 'PAUL', 'M', '1960-03-14 00:00:00');
INSERT INTO tbMaster VALUES ('P002', 'DOE', 'JANE', NULL, 'F', '1975-11-02 00:00:00');
INSERT INTO tbMaster VALUES ('P003', 'O''NEIL', 'ANN', NULL, 'F', '1988-07-21 00:00:00');

CREATE TABLE tbhospitalinfo (
  company citext
);
INSERT INTO tbhospitalinfo VALUES ('TALMIR DEMO HOSPITAL');
