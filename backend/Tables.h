#pragma once

#include <string>
#include <string_view>
#include <vector>

// The tables and columns the REST API exposes. Nothing outside this list reaches SQL:
// names in requests are looked up here, and only these spellings are written into
// statements.
struct TableDef {
    std::string name;
    std::vector<std::string> columns; // in table order; what select=* returns

    bool hasColumn(std::string_view column) const;
};

const TableDef *findTable(std::string_view name);
const std::vector<TableDef> &exposedTables();
