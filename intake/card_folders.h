// The three card folders of the first row of table settings, as the service and the tools use
// them.
#pragma once

#include <string>

namespace fw {

struct TCardFolders {
  std::string drop;    // where card files arrive (column audits_dir)
  std::string files;   // staged files; empty: a staged file stays where it is
  std::string errors;  // rejected files; empty: the same
};

}  // namespace fw
