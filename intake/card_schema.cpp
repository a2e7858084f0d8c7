#include "intake/card_schema.h"

#include <algorithm>
#include <cctype>

#include "platform/strings.h"

namespace fw {

const char* CardSchemaFor(const std::string& database) {
  for (const TCardSchema& schema : CardSchemas()) {
    if (SameTextNoCase(schema.database, database)) {
      return schema.ddl;
    }
  }
  return nullptr;
}

// Our DDL holds no semicolons inside literals and only whole-line "--" comments.
std::vector<std::string> SplitSqlStatements(const std::string& ddl) {
  std::vector<std::string> statements;
  std::string current;
  size_t pos = 0;
  while (pos < ddl.size()) {
    size_t end = ddl.find('\n', pos);
    if (end == std::string::npos) end = ddl.size();
    std::string line = ddl.substr(pos, end - pos);
    pos = end + 1;
    const size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line.compare(first, 2, "--") == 0) continue;
    current += line;
    current += '\n';
    if (line.find(';') != std::string::npos) {
      current.erase(current.find_last_of(';'));
      statements.push_back(current);
      current.clear();
    }
  }
  if (current.find_first_not_of(" \t\r\n") != std::string::npos) statements.push_back(current);
  return statements;
}

}  // namespace fw
