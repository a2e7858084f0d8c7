#include "platform/console.h"

namespace fw {

void UseUtf8Console() {}  // terminals take UTF-8 as it is

}  // namespace fw
