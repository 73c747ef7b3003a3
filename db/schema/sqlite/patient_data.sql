-- Hospital information system: the master patient list and the hospital's
-- own details. Demo rows let a fresh installation run every feature.
CREATE TABLE tbMaster (
  HospNum    varchar(64) COLLATE NOCASE NOT NULL PRIMARY KEY,
  LastName   varchar(64) COLLATE NOCASE,
  FirstName  varchar(64) COLLATE NOCASE,
  MiddleName varchar(64) COLLATE NOCASE,
  Sex        varchar(16) COLLATE NOCASE,
  BirthDate  datetime
);
INSERT INTO tbMaster VALUES ('P001', 'SMITH', 'JOHN', 'PAUL', 'M', '1960-03-14 00:00:00');
INSERT INTO tbMaster VALUES ('P002', 'DOE', 'JANE', NULL, 'F', '1975-11-02 00:00:00');
INSERT INTO tbMaster VALUES ('P003', 'O''NEIL', 'ANN', NULL, 'F', '1988-07-21 00:00:00');

CREATE TABLE tbhospitalinfo (
  company varchar(100) COLLATE NOCASE
);
INSERT INTO tbhospitalinfo VALUES ('TALMIR DEMO HOSPITAL');
