#include "Tables.h"

#include <algorithm>

bool TableDef::hasColumn(std::string_view column) const {
    return std::find(columns.begin(), columns.end(), column) != columns.end();
}

const std::vector<TableDef> &exposedTables() {
    // Keep in step with backend/sql/010_tables.sql.
    static const std::vector<TableDef> tables = {
        {"visitors",
         {"id", "owner_id", "device_record_id", "visitor_name", "host_name", "answers",
          "signed_in_at", "signed_out_at", "list_name", "device_name", "search_text",
          "created_at"}},
        {"kiosk_settings", {"owner_id", "fields", "employees", "place_name", "updated_at"}},
        {"notification_settings",
         {"owner_id", "office_webhook", "notify_sign_in", "notify_sign_out", "employee_webhooks",
          "updated_at"}},
        {"invites",
         {"id", "owner_id", "token", "visitor_name", "visitor_email", "answers", "visit_date",
          "visit_time", "note", "created_at", "used_at"}},
    };
    return tables;
}

const TableDef *findTable(std::string_view name) {
    for (const auto &table : exposedTables())
        if (table.name == name)
            return &table;
    return nullptr;
}
