// FileIO: the per-user configuration folders, small line-oriented text files
// and existence tests. Lines travel as std::vector<std::string>, one element
// per line without its line feed; bytes pass through unchanged.
//
//   std::vector<std::string> lines;
//   if (TalvornCommon::FileIO::ReadTextFile(path, lines)) lines.push_back("key=value");
//   bool saved = TalvornCommon::FileIO::SaveTextFile(folder, "app.conf", lines, false);
//
// Errors: every operation that can fail returns false and nothing else: no
// error text, no log line, no exception of its own (allocation failures
// propagate). What happens to outputs on failure is stated per operation.
// Paths are handed to the system as given; relative paths resolve against the
// current directory. A path, folder or file name holding a NUL character is
// refused: the system would read only the part before it, another object than
// the one named, so the call returns false and touches nothing. The functions
// keep no state and take no locks; calls touching the same file at the same
// time are not coordinated.
#ifndef TALVORNCOMMON_FILEIO_H_
#define TALVORNCOMMON_FILEIO_H_

#include <string>
#include <vector>

namespace TalvornCommon::FileIO {

// The separator used to join a folder and a name: "/". Every call returns a
// reference to the same object, which may be read from any thread at any time.
inline const std::string& GetDirectorySeparator() {
  // A one-character string fits in the short-string buffer, so GCC's
  // libstdc++ builds it at compile time: the object sits in the program's data
  // from load on, before any static constructor runs, and constinit makes the
  // compiler prove it. The compiler still emits a one-byte guard around the
  // first call, only to register the destructor at exit (a no-op for a short
  // string); the value itself is never built at run time. clang 14 rejects
  // libstdc++'s short-string constructor in a constant expression, so with
  // clang constinit would not compile and the object may instead be built on
  // first use, under the runtime's thread-safe static initialisation.
#if defined(__clang__)
  static const std::string separator = "/";
#else
  static constinit const std::string separator = "/";
#endif
  return separator;
}

// The configuration home: XDG_CONFIG_HOME when it is set and not empty,
// returned exactly as it is (not checked, not made absolute, no separator
// added or removed). Otherwise HOME followed by "/.config", again without
// looking at HOME's last character: HOME "/home/u/" gives "/home/u//.config",
// and an unset or empty HOME gives "/.config". Looks at nothing on disk.
std::string GetXdgConfigHomePath();

// The product's folder inside the configuration home: GetXdgConfigHomePath()
// followed by "/Talvorn", the separator always added ("/cfg/" gives
// "/cfg//Talvorn"). Creates nothing.
std::string GetTalvornHomePath();

// Always the empty string; the current directory is not queried.
std::string GetWorkingDirectory();

// Always the empty string; there is no documents folder on this platform.
std::string GetMyDocumentsPath();

// Replaces `lines` with the lines of the file at `path`, split at line feeds
// only: a carriage return before a line feed stays at the end of its line, a
// final line feed adds no empty line, a last line without one is kept, and an
// empty file gives no lines. An existing file is opened for reading only, so
// a file that may be read but not written is read, and a pipe or FIFO gives
// its lines once its last writer closes it (opening a FIFO waits for a writer,
// as any reader of one does). A missing file in a writable folder is created
// empty (true, no lines). A dangling symbolic link counts as a missing file:
// its target is created, empty, in whatever folder the link points into,
// which may lie outside the link's own folder. Nothing is ever written to the
// file. False when the path holds a NUL, when an existing object cannot be
// read (a directory, no read permission), when a missing file cannot be
// created (missing or unwritable folder, the link's target's included) or when
// reading fails after the open; `lines` is then empty, whatever it held before.
[[nodiscard]] bool ReadTextFile(const std::string& path, std::vector<std::string>& lines);

// Writes `lines` into `directory`/`fileName`, a line feed between lines and
// none after the last (an empty `lines` writes nothing). `directory` may be
// empty, meaning the current directory; a "/" is added only when it does not
// already end in one. `fileName` must not be empty. With `append` the text is
// added at the end of the file, so the first line continues the file's last
// line when that has no line feed; without it an existing file is left holding
// exactly the new text. A missing file is created; `directory` is never
// created. The file is opened for writing only: a file that may be written but
// not read is saved, and into a FIFO the call waits for a reader, which gets
// the lines, as with the shell's ">". Every line but the last reaches the
// system as soon as it is written.
// False for an empty `fileName`, a NUL in `directory` or `fileName`, or when
// the file cannot be opened for writing (nothing is created or changed then),
// and false when writing, flushing or closing fails after the open (a full
// disk): the file may then hold part of the new text.
[[nodiscard]] bool SaveTextFile(const std::string& directory, const std::string& fileName,
                                const std::vector<std::string>& lines, bool append);

// True when `path`, following symbolic links, is a directory; false for every
// other kind of object (sockets and block devices included) and for a missing
// path or a dangling link.
[[nodiscard]] bool DirectoryExists(const std::string& path);

// True when `path`, following symbolic links, names an object of any kind,
// directories included; false for a missing path or a dangling link.
[[nodiscard]] bool FileExists(const std::string& path);

// Creates nothing and returns false for every path: folders are left to the
// caller. No function of this library calls it.
[[nodiscard]] bool CreateFullDirectory(const std::string& path);

}  // namespace TalvornCommon::FileIO

#endif  // TALVORNCOMMON_FILEIO_H_
