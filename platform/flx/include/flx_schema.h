// The registry's tables, and the indexes that the read views rely on, named once: the registry
// library creates them; the read views and flx-admin name them from here, never write them
// again. Columns follow the records of flx.h (one column per field, plus `id`).
#ifndef FLX_SCHEMA_H
#define FLX_SCHEMA_H

#define KEVOFLX_TABLE_DEVICES "devices"
#define KEVOFLX_TABLE_SESSIONS "sessions"
#define KEVOFLX_TABLE_APPS "apps"
#define KEVOFLX_TABLE_PKGS "pkgs"
#define KEVOFLX_TABLE_INFO "info"
#define KEVOFLX_TABLE_OPERATORS "operators"
// Enrollment: the secrets of join lines, the identity each session was issued for, and each
// enrolled device's admission (approval, identity conflict, pushes naming another device).
#define KEVOFLX_TABLE_ENROLL_SECRETS "enroll_secrets"
#define KEVOFLX_TABLE_SESSION_IDENTITIES "session_identities"
#define KEVOFLX_TABLE_ADMISSIONS "device_admissions"
// When each device's last answered push arrived (the one record of liveness).
#define KEVOFLX_TABLE_CONTACTS "device_contacts"
// Expiry and last use of operators' tokens; an operator without a row never expires.
#define KEVOFLX_TABLE_OPERATOR_TOKENS "operator_tokens"
// When each push key (by its short id) last deciphered a push.
#define KEVOFLX_TABLE_KEY_USE "push_key_use"
// When each session was created (sessions made before it have no row).
#define KEVOFLX_TABLE_SESSION_TIMES "session_times"
#define KEVOFLX_TRIGGER_SESSION_CREATED "session_times_created"
// Groups of devices (a device is in at most one), operators' roles and groups, and the audit
// trail with its retention and its counters of refusals.
#define KEVOFLX_TABLE_GROUPS "fleet_groups"
#define KEVOFLX_TABLE_DEVICE_GROUPS "device_groups"
#define KEVOFLX_TABLE_OPERATOR_ACCESS "operator_access"
#define KEVOFLX_TABLE_OPERATOR_GROUPS "operator_groups"
#define KEVOFLX_TABLE_AUDIT "audit_log"
#define KEVOFLX_TABLE_AUDIT_POLICY "audit_policy"
#define KEVOFLX_TABLE_AUDIT_COUNTERS "audit_counters"
// Counts the changes of device_groups (its triggers): readers keep the membership in memory
// until it changes.
#define KEVOFLX_TABLE_GROUP_GENERATION "device_groups_generation"
#define KEVOFLX_INDEX_DEVICE_GROUPS_BY_GROUP "device_groups_group"
#define KEVOFLX_INDEX_AUDIT_BY_TIME "audit_log_at"

// Fleet queries look packages and applications up by id across devices.
#define KEVOFLX_INDEX_PKGS_BY_ID "pkgs_pkg_id"
#define KEVOFLX_INDEX_APPS_BY_ID "apps_app_id"
#define KEVOFLX_INDEX_SESSIONS_BY_SN "sessions_sn"
// A machine enrolling again is found by its identity's fingerprint.
#define KEVOFLX_INDEX_ADMISSIONS_BY_FINGERPRINT "device_admissions_fingerprint"
#define KEVOFLX_INDEX_CONTACTS_BY_ARRIVAL "device_contacts_arrival"

// Every table and index above, as the initialiser of an array of texts.
#define KEVOFLX_SCHEMA_OBJECTS                                                                     \
  {                                                                                                \
    KEVOFLX_TABLE_DEVICES, KEVOFLX_TABLE_SESSIONS, KEVOFLX_TABLE_APPS, KEVOFLX_TABLE_PKGS,         \
        KEVOFLX_TABLE_INFO, KEVOFLX_TABLE_OPERATORS, KEVOFLX_INDEX_PKGS_BY_ID,                     \
        KEVOFLX_INDEX_APPS_BY_ID, KEVOFLX_INDEX_SESSIONS_BY_SN, KEVOFLX_TABLE_ENROLL_SECRETS,      \
        KEVOFLX_TABLE_SESSION_IDENTITIES, KEVOFLX_TABLE_ADMISSIONS,                                \
        KEVOFLX_INDEX_ADMISSIONS_BY_FINGERPRINT, KEVOFLX_TABLE_CONTACTS,                           \
        KEVOFLX_TABLE_OPERATOR_TOKENS, KEVOFLX_TABLE_KEY_USE, KEVOFLX_TABLE_SESSION_TIMES,         \
        KEVOFLX_INDEX_CONTACTS_BY_ARRIVAL, KEVOFLX_TRIGGER_SESSION_CREATED, KEVOFLX_TABLE_GROUPS,  \
        KEVOFLX_TABLE_DEVICE_GROUPS, KEVOFLX_TABLE_OPERATOR_ACCESS, KEVOFLX_TABLE_OPERATOR_GROUPS, \
        KEVOFLX_TABLE_AUDIT, KEVOFLX_TABLE_AUDIT_POLICY, KEVOFLX_TABLE_AUDIT_COUNTERS,             \
        KEVOFLX_INDEX_DEVICE_GROUPS_BY_GROUP, KEVOFLX_INDEX_AUDIT_BY_TIME,                         \
        KEVOFLX_TABLE_GROUP_GENERATION                                                             \
  }

#endif  // FLX_SCHEMA_H
