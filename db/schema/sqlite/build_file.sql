-- Hospital information system: the referring doctors.
CREATE TABLE tbcodoctor (
  DoctorID   varchar(20) COLLATE NOCASE NOT NULL PRIMARY KEY,
  LastName   varchar(64) COLLATE NOCASE,
  FirstName  varchar(64) COLLATE NOCASE,
  MiddleName varchar(64) COLLATE NOCASE,
  Specialty  varchar(64) COLLATE NOCASE,
  email      varchar(50) COLLATE NOCASE NULL
);
INSERT INTO tbcodoctor VALUES ('D001', 'HOUSE', 'GREGORY', NULL, 'Internal Medicine', NULL);
INSERT INTO tbcodoctor VALUES ('D002', 'GREY', 'MEREDITH', NULL, 'Surgery', NULL);
