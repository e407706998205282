# Where an installed server lives: one set of places for the program (tolvernpaths.h), the
# units, the shipped ini, the maintainer scripts and the man pages, so none of them can name
# a place the others do not use.
set(TOLVERN_USER tolvern)
set(TOLVERN_CONF_DIR /etc/tolvern)
set(TOLVERN_INI ${TOLVERN_CONF_DIR}/tolvern.ini)
set(TOLVERN_STATE_DIR /var/lib/tolvern)
set(TOLVERN_STORAGE_DIR ${TOLVERN_STATE_DIR}/saves)
set(TOLVERN_BACKUP_DIR ${TOLVERN_STATE_DIR}/backups)
set(TOLVERN_RUNTIME_DIR /run/tolvern)
configure_file(${CMAKE_CURRENT_LIST_DIR}/tolvernpaths.h.in
    ${CMAKE_BINARY_DIR}/generated/tolvernpaths.h @ONLY)
