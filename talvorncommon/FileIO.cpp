#include "talvorncommon/FileIO.h"

#include <sys/stat.h>

#include <cstddef>
#include <fstream>
#include <ios>

#include "talvorncommon/Environment.h"

namespace TalvornCommon::FileIO {

namespace {

constexpr const char* kXdgConfigHomeVariable = "XDG_CONFIG_HOME";
constexpr const char* kHomeVariable = "HOME";
constexpr const char* kConfigFolder = ".config";
constexpr const char* kProductFolder = "Talvorn";

// The system reads a path only up to its first NUL character, so a string that
// holds one would make a call act on another object than the one it names.
bool HoldsNul(const std::string& path) { return path.find('\0') != std::string::npos; }

}  // namespace

std::string GetXdgConfigHomePath() {
  std::string configHome;
  if (Environment::GetEnv(kXdgConfigHomeVariable, configHome) && !configHome.empty()) {
    return configHome;
  }
  // An unset HOME leaves the string empty and the result is "/.config"; the
  // strings callers already store depend on that, so it is not "fixed" here.
  std::string home;
  static_cast<void>(Environment::GetEnv(kHomeVariable, home));
  return home + GetDirectorySeparator() + kConfigFolder;
}

std::string GetTalvornHomePath() {
  return GetXdgConfigHomePath() + GetDirectorySeparator() + kProductFolder;
}

std::string GetWorkingDirectory() { return std::string(); }

std::string GetMyDocumentsPath() { return std::string(); }

bool ReadTextFile(const std::string& path, std::vector<std::string>& lines) {
  lines.clear();  // first, so that every failure below leaves no lines
  if (HoldsNul(path)) return false;
  // Reading only: an open that also wrote would make this process a writer of
  // a pipe or FIFO it reads, whose end of input would then never come. A
  // directory opens too, but fails at the first read below.
  std::ifstream file(path);
  if (!file.is_open()) {
    // Only a missing file is created, empty, which callers rely on to start an
    // empty configuration; an object that exists but cannot be read is a
    // failure. Appending never truncates a file created in the meantime.
    if (FileExists(path)) return false;
    return std::ofstream(path, std::ios::out | std::ios::app).is_open();
  }
  const char lineFeed = file.widen('\n');
  std::string line;
  while (std::getline(file, line, lineFeed)) lines.push_back(line);
  // getline fails with eofbit at the end of the file; a failed read of the
  // underlying descriptor sets badbit instead. Half a file must not pass for
  // the whole of it.
  if (file.bad()) lines.clear();
  return !file.bad();
}

bool SaveTextFile(const std::string& directory, const std::string& fileName,
                  const std::vector<std::string>& lines, bool append) {
  if (fileName.empty()) return false;
  if (HoldsNul(directory) || HoldsNul(fileName)) return false;
  const std::string& separator = GetDirectorySeparator();
  std::string path = directory;
  if (!directory.empty() && !directory.ends_with(separator)) path += separator;
  path += fileName;

  // Appending goes through O_APPEND. Replacing truncates as the file is
  // opened, so that no tail of a longer old text survives behind the new one;
  // an existing file keeps its inode, owner, permissions and links. Both modes
  // create a missing file. The mode is not chosen from an earlier existence
  // test: a file created between that test and the open would be appended to.
  // Writing only, never reading: a file the caller may write but not read is
  // saved, and a FIFO waits for its reader, who gets the lines, as with the
  // shell's ">".
  const std::ios::openmode mode =
      append ? std::ios::out | std::ios::app : std::ios::out | std::ios::trunc;
  std::ofstream file(path, mode);
  if (!file.is_open()) return false;

  const char lineFeed = file.widen('\n');
  for (std::size_t i = 0; i < lines.size() && file.good(); ++i) {
    file.write(lines[i].data(), static_cast<std::streamsize>(lines[i].size()));
    if (i + 1 < lines.size()) {
      file.put(lineFeed);
      file.flush();
    }
  }
  // A full disk often shows only when the buffer is handed to the system, at
  // a flush (badbit) or at close (failbit), so the result is taken after both.
  file.close();
  return !file.fail();
}

bool DirectoryExists(const std::string& path) {
  struct stat status {};
  return !HoldsNul(path) && ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool FileExists(const std::string& path) {
  struct stat status {};
  return !HoldsNul(path) && ::stat(path.c_str(), &status) == 0;
}

bool CreateFullDirectory(const std::string& /*path*/) { return false; }

}  // namespace TalvornCommon::FileIO
