-- Card tables of Fenwold for MariaDB / MySQL (InnoDB, utf8mb4).
-- Card numbers are DECIMAL(20,0): wider than 64-bit signed, read back as plain digits.
-- Dates carry seconds; fractions are not kept.

CREATE TABLE settings (
  id INT NOT NULL AUTO_INCREMENT,
  audits_dir VARCHAR(1024) NOT NULL DEFAULT '',
  dtlfiles_dir VARCHAR(1024) NOT NULL DEFAULT '',
  dtlerrors_dir VARCHAR(1024) NOT NULL DEFAULT '',
  PRIMARY KEY (id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE card_pool (
  id INT NOT NULL AUTO_INCREMENT,
  name VARCHAR(255) NOT NULL,
  max_inlot INT NOT NULL DEFAULT 0,
  cur_inlot INT NOT NULL DEFAULT 0,
  PRIMARY KEY (id),
  KEY card_pool_name (name)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE card_type (
  id INT NOT NULL AUTO_INCREMENT,
  name VARCHAR(255) NOT NULL,
  monthly_flg SMALLINT NOT NULL DEFAULT 0,
  debit_flg SMALLINT NOT NULL DEFAULT 0,
  global_expiry SMALLINT NOT NULL DEFAULT 0,
  PRIMARY KEY (id),
  KEY card_type_name (name)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE futurecard (
  id BIGINT NOT NULL AUTO_INCREMENT,
  command VARCHAR(255) NULL,
  number DECIMAL(20,0) NULL,
  card_type VARCHAR(255) NULL,
  descr VARCHAR(255) NULL,
  start_dt DATETIME NULL,
  exp_iry DATETIME NULL,
  add_value INT NULL,
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
  misc_4 VARCHAR(255) NULL,
  PRIMARY KEY (id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE card (
  id INT NOT NULL AUTO_INCREMENT,
  number DECIMAL(20,0) NOT NULL,
  type_id INT NULL,
  group_id INT NULL,
  debit_left INT NOT NULL DEFAULT 0,
  in_lot INT NOT NULL DEFAULT 0,
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
  misc_4 VARCHAR(255) NULL,
  PRIMARY KEY (id),
  UNIQUE KEY card_number (number)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Optional: the ledger of staged card files, written in the transaction that stages a file,
-- so that a file whose staging was committed is never staged again (after a crash between
-- the commit and the move, or a commit whose outcome was unknown). `modified` is the file's
-- modification time in the platform's unit. Rows older than the retention period go.
-- The unique identity is what lets two servers that see one drop folder through mounts of
-- their own stage a file once: the second one's row waits on the key and is refused.
CREATE TABLE card_file (
  id BIGINT NOT NULL AUTO_INCREMENT,
  name VARCHAR(255) NOT NULL,
  file_size BIGINT NOT NULL,
  modified BIGINT NOT NULL,
  content_hash CHAR(16) NOT NULL,
  staged_at DATETIME NOT NULL,
  outcome VARCHAR(16) NOT NULL,
  PRIMARY KEY (id),
  UNIQUE KEY card_file_identity (name, file_size, modified, content_hash),
  KEY card_file_staged_at (staged_at)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;
