// Files opened by path and written through a handle: the shape the trace log needs.
//
// A handle is a plain value (so a process-wide one needs no destructor at exit); whoever
// opens a file closes it. Handles are not inherited by programs the process starts.
//
// Thread safety: every function may be called from any thread; one handle's writes are
// not ordered against each other unless the caller orders them.
#ifndef PLATFORM_FILE_H_
#define PLATFORM_FILE_H_

#include <cstdint>

namespace platform {

// The HANDLE of an open file; kInvalidFileHandle (INVALID_HANDLE_VALUE) is none.
enum class FileHandle : intptr_t {};
inline constexpr FileHandle kInvalidFileHandle = FileHandle{-1};

// Access to ask for. With kFileAppendData and not kGenericWrite every write goes to the
// end of the file in one piece, even when other handles, in this process or another,
// append to the same file at once.
inline constexpr uint32_t kGenericRead = 0x80000000;
inline constexpr uint32_t kGenericWrite = 0x40000000;
inline constexpr uint32_t kFileAppendData = 0x0004;

// What to do when the file exists or does not.
inline constexpr uint32_t kCreateNew = 1;         // create; fail when it exists
inline constexpr uint32_t kCreateAlways = 2;      // create, or empty the one there
inline constexpr uint32_t kOpenExisting = 3;      // open; fail when it does not exist
inline constexpr uint32_t kOpenAlways = 4;        // open, or create
inline constexpr uint32_t kTruncateExisting = 5;  // open and empty; fail when it does not exist

// Who may use a file besides its owner (the security attributes it is made with).
enum class FileProtection {
  kDefault,        // what the process's defaults allow
  kOwnerAndGroup,  // the owner reads and writes, the owner's group reads, nobody else does;
                   // an existing file of this process's account that others may use is
                   // narrowed to that when opened
};

// CreateFile: opens or creates the file at `path` for `access` (a combination of the access
// values above) as `disposition` says. Returns the handle, or kInvalidFileHandle with the
// reason as the last error (errors.h): 2 no such file (or folder on the way), 5 access
// denied or a folder at `path`, 183 the file exists (kCreateNew), 87 an access or
// disposition not listed above, or one that empties the file without asking to write.
FileHandle CreateFile(const char* path, uint32_t access, uint32_t disposition,
                      FileProtection protection);

// WriteFile: writes the `size` bytes at `data`, all of them unless something fails; the
// number written goes to `*written`. False, with the last error set, when not all could be.
bool WriteFile(FileHandle file, const void* data, uint32_t size, uint32_t* written);

// Why CreateLogFile refused a name. A refusal is about the name, not the moment: the same
// name is refused again until the configuration changes.
enum class LogRefusal {
  kNone,              // not refused; the last error says why no file was opened
  kOutsideLogFolder,  // not below the machine root's log folder, relative, or with a ".."
  kLink,              // a symbolic link at the name or on the way to it
  kNotRegularFile,    // a folder, pipe, device or socket where the file or a folder should be
  kOtherOwner,        // the file, or a folder on the way, belongs to another account
  kSeveralLinks,      // the file has another name as well (a hard link)
};

// CreateLogFile: opens the log `name` for appending, each write landing whole at the end.
// The name comes from configuration that the administrators' group may write, and the
// process may run as another account (root's tools): so the file lies in the machine root's
// log folder (MachineRoot() + "/logs", machine_root.h) or a folder below it, a name with no
// folder is taken there; no link is followed from the machine root down; it is a regular
// file with one name, belonging to this process's account or to the machine root's owner;
// and it is never emptied (a name no process writes twice in one go has nothing to lose,
// and one that others write must keep their lines). `disposition` is kOpenAlways (created
// 0640 when missing), kOpenExisting or kCreateNew; a file of this process's account that
// others may read is narrowed to 0640. Returns the handle; or kInvalidFileHandle with
// `*refusal` saying why the name is refused, or with kNone and the last error as CreateFile
// gives it (2 or 3 when the file or the log folder is missing, 183 for kCreateNew on a file
// that is there, 87 for another disposition).
FileHandle CreateLogFile(const char* name, uint32_t disposition, LogRefusal* refusal);

// LogFileMoved: true when `name` (taken as CreateLogFile takes it) no longer names the log
// open as `file`: the file was renamed or removed, as a log rotation does, or another file
// has its name now. False while it still does, and when `file` cannot be looked at.
bool LogFileMoved(FileHandle file, const char* name);

// CloseHandle: closes `file`. False for a handle not open.
bool CloseHandle(FileHandle file);

}  // namespace platform

#endif  // PLATFORM_FILE_H_
