#include "talvorncommon/Environment.h"

#include <cstdlib>

namespace TalvornCommon::Environment {

bool GetEnv(const char* name, std::string& value) {
  // getenv has undefined behaviour for a null name; callers that build the
  // name at run time get a plain "not set" instead of a crash.
  if (name == nullptr) return false;
  const char* text = std::getenv(name);
  if (text == nullptr) return false;
  value.assign(text);
  return true;
}

}  // namespace TalvornCommon::Environment
