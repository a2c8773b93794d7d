-- What kivoTrapD adds to the monitoring database beyond the tables it reads,
-- so that several daemons on one database store each trap once, run every
-- alert that was due, hear of every change to the services, and list the
-- traps that no service takes.
--
-- schema.sql includes this file. For a database made before, run it once
-- as the database's owner, then grants.sql:
--   runuser -u postgres -- psql -v ON_ERROR_STOP=1 -d kivo -f upgrade.sql
-- It can be run any number of times: what exists already is kept. The
-- daemon runs the same statements at its start when something is missing
-- and its role may create it.

-- A trigger not there yet is no news.
SET client_min_messages = warning;

-- The traps whose effects are stored, by the receiving daemon (its host's
-- name and spool directory, "host:/var/spool/kivo/") and the spool file's
-- name (unique per host). A trap found here (a rerun after a
-- crash) stores nothing again. The daemon deletes rows older than its
-- retention.
CREATE TABLE IF NOT EXISTS kivo_trap_done (
    done_host text NOT NULL,
    done_file text NOT NULL,
    done_time timestamp with time zone NOT NULL DEFAULT now(),
    PRIMARY KEY (done_host, done_file)
);
CREATE INDEX IF NOT EXISTS kivo_trap_done_time ON kivo_trap_done (done_time);

-- Alerts due: written in the transaction that opened their error record,
-- marked done when the alerting program ended. The daemon that wrote a row
-- (due_host as done_host) runs it again at its next start when it died
-- first. Done rows older than
-- the retention are deleted.
CREATE TABLE IF NOT EXISTS kivo_alert_due (
    due_id         bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    due_host       text NOT NULL,
    due_service_id integer NOT NULL REFERENCES kivo_services (service_id) ON DELETE CASCADE,
    due_happen_id  integer NOT NULL,
    due_state      integer NOT NULL,
    due_time       timestamp with time zone NOT NULL DEFAULT now(),
    due_done_time  timestamp with time zone
);
CREATE INDEX IF NOT EXISTS kivo_alert_due_open
    ON kivo_alert_due (due_host, due_id) WHERE due_done_time IS NULL;
CREATE INDEX IF NOT EXISTS kivo_alert_due_service ON kivo_alert_due (due_service_id);
CREATE INDEX IF NOT EXISTS kivo_alert_due_done ON kivo_alert_due (due_done_time);

-- Traps that no service takes, by sending address and trap OID: when first
-- and last seen and how many. The daemon adds its counts in batches, one
-- statement per pair and interval however many traps came.
CREATE TABLE IF NOT EXISTS kivo_trap_unknown (
    unknown_address    text NOT NULL,
    unknown_oid        text NOT NULL,
    unknown_first_seen timestamp with time zone NOT NULL DEFAULT now(),
    unknown_last_seen  timestamp with time zone NOT NULL DEFAULT now(),
    unknown_count      bigint NOT NULL DEFAULT 0,
    PRIMARY KEY (unknown_address, unknown_oid)
);
CREATE INDEX IF NOT EXISTS kivo_trap_unknown_last ON kivo_trap_unknown (unknown_last_seen);

-- Every change to what the daemons load as services is announced on the
-- channel kivo_services_changed; each daemon listening there reloads. The
-- daemons' own writes (a service's state, time and output) announce nothing.
CREATE OR REPLACE FUNCTION kivo_services_changed() RETURNS trigger
    LANGUAGE plpgsql AS $$
BEGIN
    PERFORM pg_notify('kivo_services_changed', TG_TABLE_NAME);
    RETURN NULL;
END;
$$;

DROP TRIGGER IF EXISTS kivo_plugins_changed ON kivo_plugins;
CREATE TRIGGER kivo_plugins_changed
    AFTER INSERT OR UPDATE OR DELETE OR TRUNCATE ON kivo_plugins
    FOR EACH STATEMENT EXECUTE FUNCTION kivo_services_changed();
DROP TRIGGER IF EXISTS kivo_device_changed ON kivo_device;
CREATE TRIGGER kivo_device_changed
    AFTER INSERT OR UPDATE OR DELETE OR TRUNCATE ON kivo_device
    FOR EACH STATEMENT EXECUTE FUNCTION kivo_services_changed();
DROP TRIGGER IF EXISTS kivo_services_changed ON kivo_services;
CREATE TRIGGER kivo_services_changed
    AFTER INSERT OR DELETE OR TRUNCATE
    OR UPDATE OF service_id, service_name, service_parameter, service_plugin_id, service_device_id
    ON kivo_services
    FOR EACH STATEMENT EXECUTE FUNCTION kivo_services_changed();
DROP TRIGGER IF EXISTS kivo_program_changed ON kivo_program;
CREATE TRIGGER kivo_program_changed
    AFTER INSERT OR UPDATE OR DELETE OR TRUNCATE ON kivo_program
    FOR EACH STATEMENT EXECUTE FUNCTION kivo_services_changed();
DROP TRIGGER IF EXISTS kivo_service_response_program_changed ON kivo_service_response_program;
CREATE TRIGGER kivo_service_response_program_changed
    AFTER INSERT OR UPDATE OR DELETE OR TRUNCATE ON kivo_service_response_program
    FOR EACH STATEMENT EXECUTE FUNCTION kivo_services_changed();
