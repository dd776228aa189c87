// The store provider's public folder root on Windows: folders are opened by their paths
// below the root, which stays open (and so cannot be renamed or removed) while a connection
// serves it.
//
// Thread safety: see store_root.h.
#include "platform/win32_windows.h"

#include <string>

#include "platform/errors_windows.h"
#include "platform/mail_source_files.h"
#include "platform/mail_sources.h"
#include "platform/store_provider.h"
#include "platform/store_root.h"

namespace platform {
namespace store {
namespace {

// A failure of the file system: "no such file" is "no such folder" here.
uint32_t ResultOfWindowsError(uint32_t error) {
  return ResultFromWindows(error == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : error);
}

// Whether the folder `folder` holds the regular file `name`, served and at most `max_size`
// bytes, not followed if it is a reparse point; `file` gets it open to read.
bool OpenServedFile(const std::string& folder, const char* name, uint64_t max_size,
                    const MailSourceAccounts& accounts, FileHandle* file) {
  mail_sources::SourceFacts facts;
  return mail_sources::OpenSource(folder + "\\" + name, false, accounts, file, &facts) == 0 &&
         facts.regular && facts.size <= max_size && facts.why_untrusted == nullptr;
}

class WindowsStoreRoot final : public StoreRoot {
 public:
  uint32_t Open(const std::string& path) override {
    accounts_ = MachineRootAccounts();
    if (const uint32_t hr = OpenPublicFolderRoot(path, accounts_, {}, &root_); hr != 0) return hr;
    BY_HANDLE_FILE_INFORMATION identity;
    if (!GetFileInformationByHandle(root_.get(), &identity)) {
      const uint32_t error = ::GetLastError();
      root_.Reset();
      return ResultOfWindowsError(error);
    }
    volume_ = identity.dwVolumeSerialNumber;
    node_ = static_cast<uint64_t>(identity.nFileIndexHigh) << 32 | identity.nFileIndexLow;
    root_path_ = path;
    return 0;
  }

  uint32_t Look(RootStamp* stamp) override {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    FILE_BASIC_INFO info;
    if (!GetFileInformationByHandleEx(root_.get(), FileBasicInfo, &info, sizeof info)) {
      return ResultOfWindowsError(::GetLastError());
    }
    if (WhyUntrusted(root_.get(), accounts_) != nullptr) return kStoreEAccessDenied;
    *stamp = {info.LastWriteTime.QuadPart, info.ChangeTime.QuadPart,
              static_cast<int64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime,
              10'000'000,  // 100 ns units
              volume_, node_};
    return 0;
  }

  uint32_t List(std::vector<std::string>* keys) override {
    return ListFolderDirectories(root_.get(), root_path_, nullptr, {}, keys);
  }

  uint32_t OpenFolder(std::string entry, std::string* address) override {
    const std::string path = root_path_ + "\\" + entry;
    FileHandle dir;
    bool reparse_point = false;
    if (const uint32_t error = OpenSourceEntry(path, true, &dir, &reparse_point); error != 0) {
      // A file in the folder's place is not served.
      return error == ERROR_DIRECTORY ? kStoreEAccessDenied : ResultOfWindowsError(error);
    }
    // Nor is a link, or a folder not trusted.
    if (reparse_point || WhyUntrusted(dir.get(), accounts_) != nullptr) return kStoreEAccessDenied;
    FileHandle file;
    if (OpenServedFile(path, kRemoteMarkFile, UINT64_MAX, accounts_, &file)) {
      return kExEFolderOnOtherServer;
    }
    if (address != nullptr &&
        (!OpenServedFile(path, kEmailAddressFile, kMaxEmailAddressFileBytes, accounts_, &file) ||
         ReadBounded(file.get(), kMaxEmailAddressFileBytes, address) != 0)) {
      address->clear();
    }
    return 0;
  }

 private:
  FileHandle root_;
  std::string root_path_;
  MailSourceAccounts accounts_;
  uint64_t volume_ = 0;  // the root's, read once: an open root is not renamed or replaced
  uint64_t node_ = 0;
};

}  // namespace

std::unique_ptr<StoreRoot> MakeStoreRoot() { return std::make_unique<WindowsStoreRoot>(); }

}  // namespace store
}  // namespace platform
