-- What the daemon's role kivo may read and write in the monitoring
-- database. Run it in that database, after schema.sql, as its owner:
--   runuser -u postgres -- psql -v ON_ERROR_STOP=1 -d kivo -f grants.sql

BEGIN;

GRANT SELECT ON kivo_plugins, kivo_device, kivo_program,
    kivo_service_response_program, kivo_errors TO kivo;
GRANT SELECT, UPDATE (service_previous_state, service_last_exec_time,
    service_last_stdout) ON kivo_services TO kivo;
GRANT SELECT, INSERT, UPDATE (happen_acquitte, happen_time_acquitte)
    ON kivo_error_happen TO kivo;
GRANT SELECT, INSERT, DELETE ON kivo_trap_done TO kivo;
GRANT SELECT, INSERT, DELETE, UPDATE (due_done_time) ON kivo_alert_due TO kivo;
GRANT SELECT, INSERT, UPDATE ON kivo_trap_unknown TO kivo;

COMMIT;
