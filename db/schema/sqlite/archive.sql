-- The archive database (DICOM) of the embedded installation, at schema
-- version 9. Texts compare without regard to case, as on SQL Server, except
-- SOP Instance UIDs: two instances may differ in letter case alone.

CREATE TABLE PatientTable (
  PatientID      varchar(64) COLLATE NOCASE NOT NULL PRIMARY KEY,
  Name_First     varchar(64) COLLATE NOCASE,
  Name_Middle    varchar(64) COLLATE NOCASE,
  Name_Last      varchar(64) COLLATE NOCASE,
  Name_Title     varchar(64) COLLATE NOCASE,
  DateOfBirth    datetime,
  Sex            varchar(16) COLLATE NOCASE
);
CREATE INDEX PatientTable_Name_Last ON PatientTable (Name_Last);

CREATE TABLE StudyTable (
  StudyUID                  varchar(64) COLLATE NOCASE NOT NULL PRIMARY KEY,
  PatientID_FKey            varchar(64) COLLATE NOCASE,
  StudyDate                 datetime,
  StudyTime                 datetime,
  AccessionNumber           varchar(64) COLLATE NOCASE,
  StudyID                   varchar(64) COLLATE NOCASE,
  ReferringPhysician_first  varchar(64) COLLATE NOCASE,
  ReferringPhysician_middle varchar(64) COLLATE NOCASE,
  ReferringPhysician_last   varchar(64) COLLATE NOCASE,
  ReferringPhysician_title  varchar(64) COLLATE NOCASE,
  StudyDescription          varchar(255) COLLATE NOCASE,
  BodyPartExamined          varchar(100) COLLATE NOCASE,
  ProtocolName              varchar(100) COLLATE NOCASE,
  InstitutionName           varchar(100) COLLATE NOCASE,
  SendStatus                varchar(3) COLLATE NOCASE,
  ResultStatus              varchar(20) COLLATE NOCASE -- the reporting side's letter (P, X, Q, O, R)
);
CREATE INDEX StudyTable_PatientID_FKey ON StudyTable (PatientID_FKey);
CREATE INDEX StudyTable_StudyDate ON StudyTable (StudyDate);
CREATE INDEX StudyTable_AccessionNumber ON StudyTable (AccessionNumber);

CREATE TABLE SeriesTable (
  SeriesUID         varchar(64) COLLATE NOCASE NOT NULL PRIMARY KEY,
  StudyUID_FKey     varchar(64) COLLATE NOCASE,
  Modality          varchar(16) COLLATE NOCASE,
  SeriesNumber      int,
  SeriesDescription varchar(255) COLLATE NOCASE,
  SeriesDate        datetime,
  BodyPartExamined  varchar(100) COLLATE NOCASE
);
CREATE INDEX SeriesTable_StudyUID_FKey ON SeriesTable (StudyUID_FKey);

CREATE TABLE ImageTable (
  InstanceUID    varchar(64) COLLATE BINARY NOT NULL PRIMARY KEY,
  SeriesUID_FKey varchar(64) COLLATE NOCASE,
  InstanceNumber int,
  Filename       varchar(1024) COLLATE NOCASE,
  SyncStatus     varchar(1) COLLATE NOCASE,
  SOPClassUID    varchar(64) COLLATE NOCASE,
  NumberOfFrames int,
  ImageRows      int,
  ImageColumns   int
);
CREATE INDEX ImageTable_SeriesUID_FKey ON ImageTable (SeriesUID_FKey);
CREATE INDEX by_SyncStatus ON ImageTable (SyncStatus);

-- Images archived before ImageTable had SOPClassUID and the size columns:
-- the keys are read from their stored files in the background, and each
-- image leaves this list once its file has been read (or found unreadable).
CREATE TABLE ImageKeysToRead (
  InstanceUID varchar(64) COLLATE BINARY NOT NULL PRIMARY KEY
);

CREATE TABLE Fields (
  groupid      int NOT NULL,
  elementid    int NOT NULL,
  FieldName    varchar(64) COLLATE NOCASE,
  fieldsource  varchar(255) COLLATE NOCASE,
  FieldMatch   varchar(1024) COLLATE NOCASE,
  isName       bit,
  IsDate       bit,
  ForMatching  bit,
  PATIENT      int NOT NULL DEFAULT 0,
  STUDYPATIENT int NOT NULL DEFAULT 0,
  STUDYSTUDY   int NOT NULL DEFAULT 0,
  SERIES       int NOT NULL DEFAULT 0,
  IMAGE        int NOT NULL DEFAULT 0
);

CREATE TABLE RemoteAETs (
  RemoteAET varchar(16) COLLATE NOCASE NOT NULL PRIMARY KEY,
  IPAddress varchar(255) COLLATE NOCASE,
  Port      int
);

CREATE TABLE Events (
  EventID     INTEGER PRIMARY KEY AUTOINCREMENT,
  DateTime    datetime,
  Severity    int,
  PatientID   varchar(64) COLLATE NOCASE,
  Description varchar(2000) COLLATE NOCASE
);

CREATE TABLE Configuration (
  ID        INTEGER PRIMARY KEY,
  DBVersion varchar(20) COLLATE NOCASE
);
INSERT INTO Configuration (ID, DBVersion) VALUES (1, '9');

CREATE TABLE InstitutionTable (
  ID   INTEGER PRIMARY KEY AUTOINCREMENT,
  Name varchar(50) COLLATE NOCASE
);

-- The host framework's list views: the columns a list window shows and
-- their widths in twips, per module.
CREATE TABLE ListView (
  ID         INTEGER PRIMARY KEY AUTOINCREMENT,
  TableName  varchar(100) COLLATE NOCASE,
  ModuleTPX  varchar(50) COLLATE NOCASE,
  ViewName   varchar(50) COLLATE NOCASE,
  FieldList  varchar(2000) COLLATE NOCASE,
  FieldSizes varchar(500) COLLATE NOCASE
);
CREATE INDEX ListView_ViewName ON ListView (ViewName);

-- Reporting side: results written against studies.
CREATE TABLE tblExamResult (
  StudyUID     varchar(64) COLLATE NOCASE,
  ResultStatus varchar(20) COLLATE NOCASE,
  exam_result  text COLLATE NOCASE
);
CREATE INDEX tblExamResult_StudyUID ON tblExamResult (StudyUID);

-- Query views, one per query level. Person names appear as a stem with
-- _last, _first, _middle and _title columns.
CREATE VIEW PATIENTView AS
SELECT p.PatientID AS PatientID,
       p.Name_Last AS PatientName_last, p.Name_First AS PatientName_first,
       p.Name_Middle AS PatientName_middle, p.Name_Title AS PatientName_title,
       p.DateOfBirth AS PatientBirthDate, p.Sex AS PatientSex,
       (SELECT count(*) FROM StudyTable st WHERE st.PatientID_FKey = p.PatientID) AS NumberOfPatientRelatedStudies,
       (SELECT count(*) FROM StudyTable st JOIN SeriesTable se ON se.StudyUID_FKey = st.StudyUID
         WHERE st.PatientID_FKey = p.PatientID) AS NumberOfPatientRelatedSeries,
       (SELECT count(*) FROM StudyTable st JOIN SeriesTable se ON se.StudyUID_FKey = st.StudyUID
         JOIN ImageTable im ON im.SeriesUID_FKey = se.SeriesUID
         WHERE st.PatientID_FKey = p.PatientID) AS NumberOfPatientRelatedInstances
FROM PatientTable p;

CREATE VIEW STUDYSTUDYView AS
SELECT st.StudyUID AS StudyInstanceUID, st.StudyDate AS StudyDate, st.StudyTime AS StudyTime,
       st.AccessionNumber AS AccessionNumber, st.StudyID AS StudyID,
       st.StudyDescription AS StudyDescription, st.InstitutionName AS InstitutionName,
       st.BodyPartExamined AS BodyPartExamined,
       st.ReferringPhysician_last, st.ReferringPhysician_first,
       st.ReferringPhysician_middle, st.ReferringPhysician_title,
       st.PatientID_FKey AS PatientID,
       p.Name_Last AS PatientName_last, p.Name_First AS PatientName_first,
       p.Name_Middle AS PatientName_middle, p.Name_Title AS PatientName_title,
       p.DateOfBirth AS PatientBirthDate, p.Sex AS PatientSex,
       (SELECT group_concat(Modality, '\') FROM (SELECT DISTINCT se.Modality FROM SeriesTable se
         WHERE se.StudyUID_FKey = st.StudyUID AND se.Modality IS NOT NULL ORDER BY se.Modality)) AS ModalitiesInStudy,
       (SELECT count(*) FROM SeriesTable se WHERE se.StudyUID_FKey = st.StudyUID) AS NumberOfStudyRelatedSeries,
       (SELECT count(*) FROM SeriesTable se JOIN ImageTable im ON im.SeriesUID_FKey = se.SeriesUID
         WHERE se.StudyUID_FKey = st.StudyUID) AS NumberOfStudyRelatedInstances
FROM StudyTable st LEFT JOIN PatientTable p ON p.PatientID = st.PatientID_FKey;

CREATE VIEW STUDYPATIENTView AS SELECT * FROM STUDYSTUDYView;

CREATE VIEW SERIESView AS
SELECT se.SeriesUID AS SeriesInstanceUID, se.Modality AS Modality, se.SeriesNumber AS SERIESNumber,
       se.SeriesDescription AS SeriesDescription, se.SeriesDate AS SeriesDate,
       se.BodyPartExamined AS BodyPartExamined, se.StudyUID_FKey AS StudyInstanceUID,
       st.PatientID_FKey AS PatientID,
       (SELECT count(*) FROM ImageTable im WHERE im.SeriesUID_FKey = se.SeriesUID) AS NumberOfSeriesRelatedInstances
FROM SeriesTable se LEFT JOIN StudyTable st ON st.StudyUID = se.StudyUID_FKey;

CREATE VIEW IMAGEView AS
SELECT im.InstanceUID AS SOPInstanceUID, im.InstanceNumber AS InstanceNumber,
       im.SOPClassUID AS SOPClassUID, im.NumberOfFrames AS NumberOfFrames,
       im.ImageRows AS ImageRows, im.ImageColumns AS ImageColumns,
       im.SeriesUID_FKey AS SeriesInstanceUID, se.StudyUID_FKey AS StudyInstanceUID,
       st.PatientID_FKey AS PatientID
FROM ImageTable im
LEFT JOIN SeriesTable se ON se.SeriesUID = im.SeriesUID_FKey
LEFT JOIN StudyTable st ON st.StudyUID = se.StudyUID_FKey;

-- Every stored image with its patient, study and series, for retrieval.
CREATE VIEW ImageRetrievalView AS
SELECT im.Filename AS Filename, im.InstanceUID AS InstanceUID, st.PatientID_FKey AS PatientID,
       st.StudyUID AS StudyUID, se.SeriesUID AS SeriesUID, st.StudyDate AS studydate,
       se.SeriesNumber AS SeriesNumber, im.InstanceNumber AS InstanceNumber
FROM ImageTable im
JOIN SeriesTable se ON se.SeriesUID = im.SeriesUID_FKey
JOIN StudyTable st ON st.StudyUID = se.StudyUID_FKey;

-- Element-to-column map of the query service: the standard's required and
-- common optional keys of every level, under both roots.
--                     group  elem    FieldName                          fieldsource                        FieldMatch isName IsDate ForMatching PATIENT STUDYPATIENT STUDYSTUDY SERIES IMAGE
INSERT INTO Fields VALUES (16,  16,    'PatientName',                     'PatientName',                     NULL, 1, 0, 1, 1, 0, 0, 0, 0);
INSERT INTO Fields VALUES (16,  32,    'PatientID',                       'PatientID',                       NULL, 0, 0, 1, 1, 0, 0, 0, 0);
INSERT INTO Fields VALUES (16,  48,    'PatientBirthDate',                'PatientBirthDate',                NULL, 0, 1, 1, 1, 0, 0, 0, 0);
INSERT INTO Fields VALUES (16,  64,    'PatientSex',                      'PatientSex',                      NULL, 0, 0, 1, 1, 0, 0, 0, 0);
INSERT INTO Fields VALUES (32,  4608,  'NumberOfPatientRelatedStudies',   'NumberOfPatientRelatedStudies',   NULL, 0, 0, 0, 1, 0, 0, 0, 0);
INSERT INTO Fields VALUES (32,  4610,  'NumberOfPatientRelatedSeries',    'NumberOfPatientRelatedSeries',    NULL, 0, 0, 0, 1, 0, 0, 0, 0);
INSERT INTO Fields VALUES (32,  4612,  'NumberOfPatientRelatedInstances', 'NumberOfPatientRelatedInstances', NULL, 0, 0, 0, 1, 0, 0, 0, 0);

-- Study level, both roots.
INSERT INTO Fields VALUES (8,   32,    'StudyDate',                       'StudyDate',                       NULL, 0, 1, 1, 0, 1, 1, 0, 0);
-- A TM element with IsDate is matched as a time range (the VR tells).
INSERT INTO Fields VALUES (8,   48,    'StudyTime',                       'StudyTime',                       NULL, 0, 1, 1, 0, 1, 1, 0, 0);
INSERT INTO Fields VALUES (8,   80,    'AccessionNumber',                 'AccessionNumber',                 NULL, 0, 0, 1, 0, 1, 1, 0, 0);
INSERT INTO Fields VALUES (8,   128,   'InstitutionName',                 'InstitutionName',                 NULL, 0, 0, 1, 0, 1, 1, 0, 0);
INSERT INTO Fields VALUES (8,   144,   'ReferringPhysician',              'ReferringPhysician',              NULL, 1, 0, 1, 0, 1, 1, 0, 0);
INSERT INTO Fields VALUES (8,   4144,  'StudyDescription',                'StudyDescription',                NULL, 0, 0, 1, 0, 1, 1, 0, 0);
INSERT INTO Fields VALUES (16,  16,    'PatientName',                     'PatientName',                     NULL, 1, 0, 1, 0, 1, 1, 0, 0);
INSERT INTO Fields VALUES (16,  32,    'PatientID',                       'PatientID',                       NULL, 0, 0, 1, 0, 1, 1, 0, 0);
INSERT INTO Fields VALUES (16,  48,    'PatientBirthDate',                'PatientBirthDate',                NULL, 0, 1, 1, 0, 1, 1, 0, 0);
INSERT INTO Fields VALUES (16,  64,    'PatientSex',                      'PatientSex',                      NULL, 0, 0, 1, 0, 1, 1, 0, 0);
INSERT INTO Fields VALUES (32,  13,    'StudyInstanceUID',                'StudyInstanceUID',                NULL, 0, 0, 1, 0, 1, 1, 0, 0);
INSERT INTO Fields VALUES (32,  16,    'StudyID',                         'StudyID',                         NULL, 0, 0, 1, 0, 1, 1, 0, 0);
INSERT INTO Fields VALUES (32,  4614,  'NumberOfStudyRelatedSeries',      'NumberOfStudyRelatedSeries',      NULL, 0, 0, 0, 0, 1, 1, 0, 0);
INSERT INTO Fields VALUES (32,  4616,  'NumberOfStudyRelatedInstances',   'NumberOfStudyRelatedInstances',   NULL, 0, 0, 0, 0, 1, 1, 0, 0);
-- Modalities in Study matches when any series of the study has the modality.
INSERT INTO Fields VALUES (8,   97,    'ModalitiesInStudy', 'ModalitiesInStudy',
  'SELECT 1 FROM SeriesTable MS WHERE MS.StudyUID_FKey = STUDYPATIENTView.StudyInstanceUID AND MS.Modality LIKE', 0, 0, 1, 0, 1, 0, 0, 0);
INSERT INTO Fields VALUES (8,   97,    'ModalitiesInStudy', 'ModalitiesInStudy',
  'SELECT 1 FROM SeriesTable MS WHERE MS.StudyUID_FKey = STUDYSTUDYView.StudyInstanceUID AND MS.Modality LIKE', 0, 0, 1, 0, 0, 1, 0, 0);

-- Series level.
INSERT INTO Fields VALUES (8,   96,    'Modality',                        'Modality',                        NULL, 0, 0, 1, 0, 0, 0, 1, 0);
INSERT INTO Fields VALUES (8,   4158,  'SeriesDescription',               'SeriesDescription',               NULL, 0, 0, 1, 0, 0, 0, 1, 0);
INSERT INTO Fields VALUES (32,  14,    'SeriesInstanceUID',               'SeriesInstanceUID',               NULL, 0, 0, 1, 0, 0, 0, 1, 0);
INSERT INTO Fields VALUES (32,  17,    'SeriesNumber',                    'SERIESNumber',                    NULL, 0, 0, 1, 0, 0, 0, 1, 0);
INSERT INTO Fields VALUES (32,  13,    'StudyInstanceUID',                'StudyInstanceUID',                NULL, 0, 0, 1, 0, 0, 0, 1, 0);
INSERT INTO Fields VALUES (16,  32,    'PatientID',                       'PatientID',                       NULL, 0, 0, 1, 0, 0, 0, 1, 0);
INSERT INTO Fields VALUES (8,   33,    'SeriesDate',                      'SeriesDate',                      NULL, 0, 1, 1, 0, 0, 0, 1, 0);
INSERT INTO Fields VALUES (24,  21,    'BodyPartExamined',                'BodyPartExamined',                NULL, 0, 0, 1, 0, 0, 0, 1, 0);
INSERT INTO Fields VALUES (32,  4617,  'NumberOfSeriesRelatedInstances',  'NumberOfSeriesRelatedInstances',  NULL, 0, 0, 0, 0, 0, 0, 1, 0);

-- Image level.
INSERT INTO Fields VALUES (8,   24,    'SOPInstanceUID',                  'SOPInstanceUID',                  NULL, 0, 0, 1, 0, 0, 0, 0, 1);
INSERT INTO Fields VALUES (32,  19,    'InstanceNumber',                  'InstanceNumber',                  NULL, 0, 0, 1, 0, 0, 0, 0, 1);
INSERT INTO Fields VALUES (8,   22,    'SOPClassUID',                     'SOPClassUID',                     NULL, 0, 0, 1, 0, 0, 0, 0, 1);
INSERT INTO Fields VALUES (40,  8,     'NumberOfFrames',                  'NumberOfFrames',                  NULL, 0, 0, 1, 0, 0, 0, 0, 1);
INSERT INTO Fields VALUES (40,  16,    'ImageRows',                       'ImageRows',                       NULL, 0, 0, 1, 0, 0, 0, 0, 1);
INSERT INTO Fields VALUES (40,  17,    'ImageColumns',                    'ImageColumns',                    NULL, 0, 0, 1, 0, 0, 0, 0, 1);
INSERT INTO Fields VALUES (32,  14,    'SeriesInstanceUID',               'SeriesInstanceUID',               NULL, 0, 0, 1, 0, 0, 0, 0, 1);
INSERT INTO Fields VALUES (32,  13,    'StudyInstanceUID',                'StudyInstanceUID',                NULL, 0, 0, 1, 0, 0, 0, 0, 1);
INSERT INTO Fields VALUES (16,  32,    'PatientID',                       'PatientID',                       NULL, 0, 0, 1, 0, 0, 0, 0, 1);
