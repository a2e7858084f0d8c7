#include "platform/ini_file.h"

#include <ini.h>
#include <strings.h>

namespace fw {
namespace {

struct TSectionReader {
  const std::string& section;
  const std::function<void(const std::string&, const std::string&)>& onValue;
};

int OnIniValue(void* user, const char* section, const char* name, const char* value) {
  auto& reader = *static_cast<TSectionReader*>(user);
  if (name != nullptr && value != nullptr && strcasecmp(section, reader.section.c_str()) == 0) {
    reader.onValue(name, value);
  }
  return 1;
}

}  // namespace

void ReadIniSection(
    const std::string& path, const std::string& section,
    const std::function<void(const std::string& name, const std::string& value)>& onValue) {
  TSectionReader reader{section, onValue};
  ini_parse(path.c_str(), OnIniValue, &reader);
}

}  // namespace fw
