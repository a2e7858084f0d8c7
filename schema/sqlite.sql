-- Card tables of Fenwold for SQLite (through the SQLite3 ODBC driver).
-- Card numbers are DECIMAL(20,0): the driver reads them back as text of 20 characters, where
-- BIGINT would come back under a C type code and INTEGER as 10 characters. SQLite stores them
-- as 64-bit integers: exact up to 19 digits.
-- Ids are INTEGER PRIMARY KEY AUTOINCREMENT, so futurecard ids only ever ascend.

CREATE TABLE settings (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  audits_dir VARCHAR(1024) NOT NULL DEFAULT '',
  dtlfiles_dir VARCHAR(1024) NOT NULL DEFAULT '',
  dtlerrors_dir VARCHAR(1024) NOT NULL DEFAULT ''
);

CREATE TABLE card_pool (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  name VARCHAR(255) NOT NULL,
  max_inlot INTEGER NOT NULL DEFAULT 0,
  cur_inlot INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX card_pool_name ON card_pool (name);

CREATE TABLE card_type (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  name VARCHAR(255) NOT NULL,
  monthly_flg SMALLINT NOT NULL DEFAULT 0,
  debit_flg SMALLINT NOT NULL DEFAULT 0,
  global_expiry SMALLINT NOT NULL DEFAULT 0
);
CREATE INDEX card_type_name ON card_type (name);

CREATE TABLE futurecard (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  command VARCHAR(255) NULL,
  number DECIMAL(20,0) NULL,
  card_type VARCHAR(255) NULL,
  descr VARCHAR(255) NULL,
  start_dt DATETIME NULL,
  exp_iry DATETIME NULL,
  add_value INTEGER NULL,
  group_name VARCHAR(255) NULL,
  last_name VARCHAR(255) NULL,
  first_name VARCHAR(255) NULL,
  str_eet VARCHAR(255) NULL,
  ci_ty VARCHAR(255) NULL,
  post_code VARCHAR(255) NULL,
  phone_res VARCHAR(255) NULL,
  phone_bus VARCHAR(255) NULL,
  license_1 VARCHAR(255) NULL,
  license_2 VARCHAR(255) NULL,
  misc_1 VARCHAR(255) NULL,
  misc_2 VARCHAR(255) NULL,
  misc_3 VARCHAR(255) NULL,
  misc_4 VARCHAR(255) NULL
);

CREATE TABLE card (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  number DECIMAL(20,0) NOT NULL,
  type_id INTEGER NULL,
  group_id INTEGER NULL,
  debit_left INTEGER NOT NULL DEFAULT 0,
  in_lot INTEGER NOT NULL DEFAULT 0,
  start_dt DATETIME NULL,
  exp_iry DATETIME NULL,
  descr VARCHAR(255) NULL,
  last_name VARCHAR(255) NULL,
  first_name VARCHAR(255) NULL,
  str_eet VARCHAR(255) NULL,
  ci_ty VARCHAR(255) NULL,
  post_code VARCHAR(255) NULL,
  phone_res VARCHAR(255) NULL,
  phone_bus VARCHAR(255) NULL,
  license_1 VARCHAR(255) NULL,
  license_2 VARCHAR(255) NULL,
  misc_1 VARCHAR(255) NULL,
  misc_2 VARCHAR(255) NULL,
  misc_3 VARCHAR(255) NULL,
  misc_4 VARCHAR(255) NULL
);
CREATE UNIQUE INDEX card_number ON card (number);

-- Optional: the ledger of staged card files, written in the transaction that stages a file,
-- so that a file whose staging was committed is never staged again (after a crash between
-- the commit and the move, or a commit whose outcome was unknown). `modified` is the file's
-- modification time in the platform's unit. Rows older than the retention period go.
-- The unique identity is what lets two servers that see one drop folder through mounts of
-- their own stage a file once: the second one's row waits on the key and is refused.
CREATE TABLE card_file (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  name VARCHAR(255) NOT NULL,
  file_size BIGINT NOT NULL,
  modified BIGINT NOT NULL,
  content_hash CHAR(16) NOT NULL,
  staged_at DATETIME NOT NULL,
  outcome VARCHAR(16) NOT NULL
);
CREATE UNIQUE INDEX card_file_identity ON card_file (name, file_size, modified, content_hash);
CREATE INDEX card_file_staged_at ON card_file (staged_at);
