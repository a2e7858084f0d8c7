# Sourced by the scripts that start private MariaDB servers (mariadb.sh, galera.sh): what the
# tests and the service are told of such a server. The test user and its database are the
# same on every one.

# The shell exports the suites read (FENWOLD_TEST_MARIADB_*).
mariadb_test_env() {  # port socket data-folder
  cat <<ENV
export FENWOLD_TEST_MARIADB_HOST=127.0.0.1
export FENWOLD_TEST_MARIADB_PORT=$1
export FENWOLD_TEST_MARIADB_SOCKET=$2
export FENWOLD_TEST_MARIADB_USER=fenwold
export FENWOLD_TEST_MARIADB_PASSWORD=fw-test-pw
export FENWOLD_TEST_MARIADB_DATABASE=fenwold_test
export FENWOLD_TEST_MARIADB_DIR=$3
ENV
}

# A registry file that points the service at the server.
mariadb_registry() {  # port
  cat <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\Software\\Quorvane\\Kelvo]
"DSNName"=""
"Database"="fenwold_test"
"User"="fenwold"
"Pass"=""
"ODBCDriver"="MariaDB Unicode"
"ODBCOptions"="SERVER=127.0.0.1;PORT=$1;PWD=fw-test-pw"
REG
}
