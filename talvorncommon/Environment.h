// Environment: reading variables of the process environment into a
// std::string without touching the caller's value when the variable is absent,
// so a default placed in the value beforehand survives.
//
//   std::string editor = "vi";
//   TalvornCommon::Environment::GetEnv("EDITOR", editor);  // still "vi" if unset
//   Launch(editor);
//
// Errors: the only failure is a variable that is not set (or a null name); it
// is reported by a false result and leaves `value` exactly as it was. Nothing
// is logged and nothing of its own is thrown.
#ifndef TALVORNCOMMON_ENVIRONMENT_H_
#define TALVORNCOMMON_ENVIRONMENT_H_

#include <string>

namespace TalvornCommon::Environment {

// `name` is a NUL-terminated variable name. When the variable is set, even to
// the empty string, `value` is replaced by a copy of its text and the result is
// true. When it is not set, or `name` is null, the result is false and `value`
// keeps its content. Reads the environment directly, so it must not race with
// setenv/unsetenv in another thread (a restriction of the C library).
bool GetEnv(const char* name, std::string& value);

}  // namespace TalvornCommon::Environment

#endif  // TALVORNCOMMON_ENVIRONMENT_H_
