-- Hospital information system of a site profile: radiology orders and the
-- worklist whose entries are marked done when their images arrive.
CREATE TABLE hdocOrd (
  requestnum varchar(64) COLLATE NOCASE NOT NULL PRIMARY KEY,
  HospNum    varchar(64) COLLATE NOCASE,
  ExamName   varchar(100) COLLATE NOCASE,
  estatus    varchar(4) COLLATE NOCASE
);
INSERT INTO hdocOrd VALUES ('R123', 'P001', 'CT CHEST', 'P');
INSERT INTO hdocOrd VALUES ('R124', 'P002', 'MR BRAIN', 'P');

CREATE TABLE worksheet (
  qnumber  varchar(64) COLLATE NOCASE NOT NULL PRIMARY KEY,
  HospNum  varchar(64) COLLATE NOCASE,
  ExamName varchar(100) COLLATE NOCASE,
  status   int
);
INSERT INTO worksheet VALUES ('R123', 'P001', 'CT CHEST', 0);
INSERT INTO worksheet VALUES ('R124', 'P002', 'MR BRAIN', 0);
