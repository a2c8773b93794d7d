-- Sample configuration for trying the daemon out: one device (127.0.0.1)
-- with one trap service on the OID .1.3.6.1.4.1.99.0.1. Its plug-in is
-- check_dummy, which exits with the code given as its first argument and
-- prints its second: the trap's first variable is the state, the second the
-- message. Warning, critical and unknown runs start the alerting program
-- given as :alert_program with the id of the error record.
--
--   psql -v ON_ERROR_STOP=1 -v alert_program=/path/to/program -d kivo -f db/sample.sql

INSERT INTO kivo_plugins (plugin_id, plugin_path, plugin_type, plugin_trap_oid, plugin_priority)
VALUES (1, '/usr/lib/nagios/plugins/check_dummy', 'trap', '.1.3.6.1.4.1.99.0.1', 1);

-- 127.0.0.1 as a number: 127 * 2^24 + 1.
INSERT INTO kivo_device (device_id, device_ip_addr) VALUES (1, 2130706433);

INSERT INTO kivo_services (service_id, service_name, service_parameter, service_plugin_id,
                           service_device_id)
VALUES (1, 'sample trap', '$1 "$2"', 1, 1);

INSERT INTO kivo_program (program_id, program_path) VALUES (1, :'alert_program');

INSERT INTO kivo_service_response_program (response_service_id, response_program_id,
    response_unknown, response_warning, response_critical, response_parameter)
VALUES (1, 1, true, true, true, '--error $ERROR');
