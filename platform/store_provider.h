// The store provider: an ADO-shaped port (Connection, Recordset, Record, Fields) over the
// mail store on disk, as the Exchange OLE DB provider ("ExOLEDB.DataSource") answers it.
//
// Two stores, both named by the storage settings that the storage server reads too (the
// local machine key the connection is made with, REG_SZ values absolute or relative to the
// machine root):
//
// - The public folders, `PublicFolderRoot` (default mail/public), a Maildir++ root: folder
//   A/B is the directory `.A.B` of the root (a name is UTF-8 without '.' and '/': a
//   directory whose name is not UTF-8 is none; a child whose parent has no directory of
//   its own still implies the parent). Its URL is
//   kPublicFolderRootUrl + "/A/B". Two regular files inside a folder's directory mean
//   something here:
//     remote-server   the folder lives on the server this file names: opening the
//                     folder's query (or a record on it) answers kExEFolderOnOtherServer
//     email-address   the folder's e-mail address (the first line, blanks trimmed), the
//                     record field kPublicFolderEmailField; without the file the field is
//                     empty
// - The mailboxes, `PasswdFile` (default mail/passwd): a mailbox exists when a line
//   `user@domain:password:uid:gid:gecos...` names it; its URL is
//   "file://./backofficestorage/" + domain + "/mbx/" + local part.
//
// A connection opened on kPublicFolderRootUrl serves public folder URLs; one opened on a
// mailbox URL serves that mailbox's URL. The fixed part of a URL and a mailbox URL as a
// whole are compared without regard to ASCII case; folder names are compared exactly.
// Only directories are folders: a symbolic link or a file in the root is none (and
// nothing is ever followed). Both stores are read with the mail source reader
// (mail_sources.h), as the storage server reads them, and its one trust rule decides
// which files and folders are believed: a folder directory (or marker file) not trusted is
// not served: its parent's rows still name it, but its own query and a record on it answer
// kStoreEAccessDenied, so a walk neither reports nor enters it. The root itself and the
// passwd-file are checked the same way, and their configured paths must not end in a
// symbolic link either.
//
// The one query a recordset understands is the folder query:
//   select "DAV:contentclass", "DAV:displayname", "DAV:href" from "<folder URL>"
//   where "DAV:isfolder" = True
// written on one line exactly so, with single blanks as shown; the folder URL is all that
// stands between the fixed text before and after it, quotes included (a folder's name may
// hold one). Its rows are the
// folder's direct subfolders in byte order of their UTF-8 names, each with the columns
// content class ("urn:content-classes:folder"), display name (the last name) and URL (the
// queried URL + "/" + name). Every other text answers kDbEErrorsInCommand.
//
// The rows reflect the file system at the time of the query. A connection keeps an index
// of the root's folder directories, built at its first query and built again whenever the
// root directory's change time or modification time differs from when it was built, or
// when the last build came so soon after a change that a further change could carry the
// same time stamp (within 10 ms, or within the second when the file system keeps whole
// seconds only); the owner, mode and marker files of the folder queried are looked at on
// every query. This relies on the time stamps of a local file system. The last index built
// outside that window is kept for the process (until ForgetSharedStoreIndex), and a
// connection whose root is the same directory with the same stamps takes it instead of
// listing the root again.
//
// Results (COM-style):
//   0x80070003 kStoreEPathNotFound     no such folder or mailbox, no root
//   0x80070002                         no passwd-file
//   0x80070005 kStoreEAccessDenied     a folder, root or file not served (see above)
//   0x80070057 kStoreEInvalidArg       a URL outside the connection's store or naming no
//                                      store; a user name or password (not supported:
//                                      the store is read as this process's account)
//   0x80040E14 kDbEErrorsInCommand     a recordset source that is not the folder query
//   0x80550052 kExEFolderOnOtherServer the folder carries the remote-server mark
//   0x800A0BB9 kAdErrInvalidArgument   GetRows with a count of 0 or below -1
//   0x800A0BCD kAdErrNoCurrentRecord   GetRows with no row left (a folder without
//                                      subfolders answers it at once)
//   0x800A0CC1 kAdErrItemNotFound      no field of that name
//   0x800A0E78 kAdErrObjectClosed      the object is not open
//   0x800A0E79 kAdErrObjectOpen        the object is open already
//   0x800A0E7A kAdErrProviderNotFound  a provider other than "ExOLEDB.DataSource"
//                                      (compared without regard to ASCII case), or none
//   0x800A0E7D kAdErrInvalidConnection the connection is not open or not this provider's
//   0x8007000E kStoreEOutOfMemory      out of memory (an object that fails so is closed)
//   0x8007xxxx                         another failure of the file system, its Windows
//                                      error in result form (0x80004005 when it has none,
//                                      and for a passwd-file that is too large)
// Opening and fetching return these; a property assignment that fails (an unknown
// provider, a cursor location other than kAdUseServer or kAdUseClient, either while the
// object is open) throws ComError, as the automation wrappers do.
//
// Thread safety: objects may be made on any thread; one object, and the connection a
// recordset or record was opened through, are used by one thread at a time.
#ifndef PLATFORM_STORE_PROVIDER_H_
#define PLATFORM_STORE_PROVIDER_H_

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/errors.h"
#include "platform/variant.h"

namespace platform {

inline constexpr uint32_t kStoreEPathNotFound = ResultFromError(kErrorPathNotFound);
inline constexpr uint32_t kStoreEAccessDenied = kEAccessDenied;
inline constexpr uint32_t kStoreEInvalidArg = kEInvalidArg;
inline constexpr uint32_t kStoreEOutOfMemory = kEOutOfMemory;
inline constexpr uint32_t kDbEErrorsInCommand = 0x80040E14;
inline constexpr uint32_t kExEFolderOnOtherServer = 0x80550052;
inline constexpr uint32_t kAdErrInvalidArgument = 0x800A0BB9;
inline constexpr uint32_t kAdErrNoCurrentRecord = 0x800A0BCD;
inline constexpr uint32_t kAdErrItemNotFound = 0x800A0CC1;
inline constexpr uint32_t kAdErrObjectClosed = 0x800A0E78;
inline constexpr uint32_t kAdErrObjectOpen = 0x800A0E79;
inline constexpr uint32_t kAdErrProviderNotFound = 0x800A0E7A;
inline constexpr uint32_t kAdErrInvalidConnection = 0x800A0E7D;

// The one query the provider answers: these two around a folder URL.
inline constexpr std::u16string_view kFolderQueryPrefix =
    u"select \"DAV:contentclass\", \"DAV:displayname\", \"DAV:href\" from \"";
inline constexpr std::u16string_view kFolderQuerySuffix = u"\" where \"DAV:isfolder\" = True";

// Object states (ObjectStateEnum) and cursor locations (CursorLocationEnum).
inline constexpr int32_t kAdStateClosed = 0;
inline constexpr int32_t kAdStateOpen = 1;
inline constexpr int32_t kAdUseServer = 2;
inline constexpr int32_t kAdUseClient = 3;

inline constexpr char16_t kExOleDbProvider[] = u"ExOLEDB.DataSource";
inline constexpr char16_t kPublicFolderRootUrl[] =
    u"file://./BackOfficeStorage/localhost/public folders";
// The record field of a public folder's e-mail address (the SMTP address property).
inline constexpr char16_t kPublicFolderEmailField[] =
    u"http://schemas.microsoft.com/mapi/proptag/x39fe001e";

// A failed property assignment.
class ComError : public std::exception {
 public:
  explicit ComError(uint32_t result) : result_(result) {}
  uint32_t result() const { return result_; }
  const char* what() const noexcept override { return "store provider property refused"; }

 private:
  uint32_t result_;
};

class AdoConnection {
 public:
  virtual ~AdoConnection() = default;
  // Throws ComError(kAdErrProviderNotFound) for another provider, kAdErrObjectOpen when
  // open.
  virtual void SetProvider(std::u16string_view provider) = 0;
  // Opens the store that `url` names (see above). `user` and `password` must be empty;
  // `options` is not used.
  virtual uint32_t Open(std::u16string_view url, std::u16string_view user,
                        std::u16string_view password, int32_t options) = 0;
  virtual int32_t State() const = 0;
  // Closing a closed connection does nothing. Recordsets and records hold nothing of the
  // connection once open: they may outlive it.
  virtual void Close() = 0;
};

class AdoRecordset {
 public:
  virtual ~AdoRecordset() = default;
  // Throws ComError(kAdErrInvalidArgument) for another location, kAdErrObjectOpen when
  // open. The rows are fetched whole at Open whichever location is set.
  virtual void SetCursorLocation(int32_t location) = 0;
  // Runs the folder query `source` through the open `connection`. Cursor type, lock type
  // and options are not used.
  virtual uint32_t Open(std::u16string_view source, AdoConnection* connection,
                        int32_t cursor_type, int32_t lock_type, int32_t options) = 0;
  // Up to `count` rows (-1: all that are left) from the current one on, as a
  // two-dimensional array indexed (column, row); the current row moves past them.
  virtual uint32_t GetRows(int32_t count, Variant* rows) = 0;
  virtual int32_t State() const = 0;
  virtual void Close() = 0;
};

// The fields of an open record, by name (compared without regard to ASCII case).
class AdoFields {
 public:
  void Append(std::u16string name, Variant value) {
    fields_.emplace_back(std::move(name), std::move(value));
  }
  size_t Count() const { return fields_.size(); }
  // 0 with the value, or kAdErrItemNotFound.
  uint32_t Item(std::u16string_view name, Variant* value) const;

 private:
  std::vector<std::pair<std::u16string, Variant>> fields_;
};

// One store item. A public folder has the fields "DAV:href", "DAV:displayname",
// "DAV:isfolder" and kPublicFolderEmailField; a mailbox "DAV:href", "DAV:displayname" (the
// passwd-file's gecos field) and "urn:schemas:httpmail:" inbox, outbox, sentitems,
// deleteditems and drafts, the URLs of its special folders: the mailbox URL as the
// passwd-file spells it + "/Inbox", "/Outbox", "/Sent Items", "/Deleted Items", "/Drafts".
class AdoRecord {
 public:
  virtual ~AdoRecord() = default;
  // Opens the item `url` of the open `connection`'s store.
  virtual uint32_t Open(std::u16string_view url, AdoConnection* connection) = 0;
  virtual int32_t State() const = 0;
  // The item's fields as read at Open; kAdErrObjectClosed when not open.
  virtual uint32_t GetFields(AdoFields* fields) const = 0;
  virtual void Close() = 0;
};

// Make closed objects: 0, or kStoreEOutOfMemory. A connection reads the store's paths from
// the values of `settings_key` (below HKLM) when it opens.
uint32_t CreateAdoConnection(std::string_view settings_key,
                             std::unique_ptr<AdoConnection>* connection);
// Lets the index kept for the next connection go (module shutdown); connections that hold it
// keep it until they close.
void ForgetSharedStoreIndex();
uint32_t CreateAdoRecordset(std::unique_ptr<AdoRecordset>* recordset);
uint32_t CreateAdoRecord(std::unique_ptr<AdoRecord>* record);

}  // namespace platform

#endif  // PLATFORM_STORE_PROVIDER_H_
