// fenwoldctl schema: the DDL of the card tables for one database.
#include <cstdio>

#include "intake/card_schema.h"
#include "platform/console.h"
#include "tools/ctl_command.h"

namespace fw {
namespace {

int Schema(const std::vector<std::string>& args) {
  const char* ddl = args.size() == 1 ? CardSchemaFor(args[0]) : nullptr;
  if (ddl == nullptr) {
    PrintErr("usage: fenwoldctl schema mysql|sqlite|postgres\n");
    return 2;
  }
  WriteOut(ddl);
  return 0;
}

const TCtlCommand command("schema", "schema mysql|sqlite|postgres",
                          "print the DDL of the card tables", Schema);

}  // namespace
}  // namespace fw
