// fenwoldctl validate FILE...: reads card files offline and shows, line by line, the kind of
// each line and the SQL that staging would run; lines that would fail are flagged.
#include <cstdio>

#include "config/conn_params.h"
#include "db/sql.h"
#include "intake/card_file.h"
#include "intake/staging_sql.h"
#include "tools/ctl_command.h"

namespace fw {
namespace {

// The update of a group that the lookup found, its id shown as a placeholder.
std::string GroupUpdateText(const TSql& sql) {
  std::string text = GroupUpdateSql(sql, 0);
  text.replace(text.size() - 1, 1, "<id>");
  return text;
}

// Prints the lines of one file; false when any line would fail.
bool ValidateFile(const std::string& path, TDriverKind kind) {
  std::vector<std::string> lines;
  if (!LoadLinesFromFile(path, lines)) {
    std::printf("%s: cannot be read\n", path.c_str());
    return false;
  }
  std::printf("%s: %zu lines\n", path.c_str(), lines.size());
  bool ok = true;
  TStringListSDF fields;
  std::vector<TColumnEntry> entries;
  TCardLineReader reader;
  TSql sql(kind);
  for (size_t i = 0; i < lines.size(); ++i) {
    fields.SplitLine(lines[i]);
    switch (reader.Read(fields, entries)) {
      case lkIgnored:
        std::printf("%6zu ignored\n", i + 1);
        break;
      case lkGroup:
        FillGroupRow(entries, sql);
        std::printf("%6zu group   %s\n", i + 1, GroupLookupSql(sql, entries[0].text).c_str());
        std::printf("%6s found:  %s\n", "", GroupUpdateText(sql).c_str());
        std::printf("%6s else:   %s\n", "", GroupInsertSql(sql).c_str());
        break;
      case lkCard: {
        std::string error;
        if (FillCardRow(entries, sql, error)) {
          std::printf("%6zu card    %s\n", i + 1, CardInsertSql(sql).c_str());
        } else {
          ok = false;
          std::printf("%6zu FAILS   %s: %s\n", i + 1, error.c_str(), lines[i].c_str());
        }
        if (fields.size() > CardColumns.size()) {
          std::printf("%6s note:   fields past the %zuth are ignored\n", "", CardColumns.size());
        }
        break;
      }
    }
  }
  return ok;
}

int Validate(const std::vector<std::string>& args) {
  if (args.empty()) {
    std::fprintf(stderr, "usage: fenwoldctl validate FILE...\n");
    return 2;
  }
  // The quoting depends on the database family the registry names.
  const TConnParams params;
  const TDriverKind kind =
      DetectDriverKind(params.ODBCDriver, DetectDriverKind(params.DSNName, dkGeneric));
  bool ok = true;
  for (const std::string& path : args) ok = ValidateFile(path, kind) && ok;
  return ok ? 0 : 1;
}

const TCtlCommand command("validate", "validate FILE...",
                          "show the lines of card files and the SQL staging would run", Validate);

}  // namespace
}  // namespace fw
