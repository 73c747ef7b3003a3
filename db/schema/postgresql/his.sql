-- Hospital information system of a site profile, in the schema "his": radiology
-- orders and the worklist whose entries are marked done when their images arrive.
CREATE SCHEMA IF NOT EXISTS his;
SET search_path = his, public;

CREATE TABLE hdocOrd (
  requestnum citext NOT NULL PRIMARY KEY,
  HospNum    citext,
  ExamName   citext,
  estatus    citext
);
INSERT INTO hdocOrd VALUES ('R123', 'P001', 'CT CHEST', 'P');
INSERT INTO hdocOrd VALUES ('R124', 'P002', 'MR BRAIN', 'P');

CREATE TABLE worksheet (
  qnumber  citext NOT NULL PRIMARY KEY,
  HospNum  citext,
  ExamName citext,
  status   int
);
INSERT INTO worksheet VALUES ('R123', 'P001', 'CT CHEST', 0);
INSERT INTO worksheet VALUES ('R124', 'P002', 'MR BRAIN', 0);
