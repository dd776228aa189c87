// The policy in one file, replaced whole at each change: the new contents go to a file
// beside it, reach the disk (FlushFileBuffers), and take its place in one rename
// (MoveFileEx with write-through), so the file is always the policy before or after a
// change, never between. A change costs a write of the whole policy, at most kMaxPolicyBytes.
//
// The file: "CVP1" | u32 count | count x (u32 n | n bytes of OID | u32 m | m bytes of the
// encoded variable), all integers little-endian.
//
// Thread safety: see policy_database.h.
#include <windows.h>

#include <filesystem>
#include <map>
#include <string_view>

#include "standins/cvmad/policy_database.h"
#include "standins/cvmad/policy_store.h"
#include "standins/wire/wire.h"

namespace cvmad {
namespace {

constexpr std::string_view kMagic = "CVP1";

std::string WindowsError(DWORD error) {
  return std::system_category().message(static_cast<int>(error));
}

class FileDatabase : public PolicyDatabase {
 public:
  explicit FileDatabase(std::wstring path) : path_(std::move(path)) {}

  bool Load(std::vector<Row>* rows, std::string* error) override {
    HANDLE file = CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      if (::GetLastError() == ERROR_FILE_NOT_FOUND) return true;  // a new policy
      *error = WindowsError(::GetLastError());
      return false;
    }
    std::string bytes;
    BY_HANDLE_FILE_INFORMATION info;
    bool ok = GetFileInformationByHandle(file, &info) &&
              (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
              info.nNumberOfLinks == 1 && info.nFileSizeHigh == 0 &&
              info.nFileSizeLow <= kMaxPolicyFileBytes;
    if (ok) {
      bytes.resize(info.nFileSizeLow);
      DWORD got = 0;
      ok = bytes.empty() || (ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got,
                                      nullptr) &&
                             got == bytes.size());
    }
    CloseHandle(file);
    std::string_view in(bytes);
    uint32_t count = 0;
    ok = ok && in.substr(0, kMagic.size()) == kMagic;
    if (ok) in.remove_prefix(kMagic.size());
    ok = ok && wire::GetU32(&in, &count);
    for (uint32_t i = 0; ok && i < count; ++i) {
      uint32_t oid_size = 0, data_size = 0;
      ok = wire::GetU32(&in, &oid_size) && in.size() >= oid_size;
      if (!ok) break;
      std::string oid(in.substr(0, oid_size));
      in.remove_prefix(oid_size);
      ok = wire::GetU32(&in, &data_size) && in.size() >= data_size;
      if (!ok) break;
      std::string data(in.substr(0, data_size));
      in.remove_prefix(data_size);
      rows_.insert_or_assign(oid, data);
      rows->emplace_back(std::move(oid), std::move(data));
    }
    if (!ok || !in.empty()) {
      *error = "not a policy file of this agent's";
      rows->clear();
      rows_.clear();
      return false;
    }
    return true;
  }

  bool Write(const std::vector<Row>& rows, const std::string* deleted) override {
    std::map<std::string, std::string> after = rows_;
    for (const auto& [oid, data] : rows) after.insert_or_assign(oid, data);
    if (deleted != nullptr) after.erase(*deleted);
    std::string bytes(kMagic);
    wire::PutU32(&bytes, static_cast<uint32_t>(after.size()));
    for (const auto& [oid, data] : after) {
      wire::PutU32(&bytes, static_cast<uint32_t>(oid.size()));
      bytes += oid;
      wire::PutU32(&bytes, static_cast<uint32_t>(data.size()));
      bytes += data;
    }
    const std::wstring next = path_ + L".new";
    HANDLE file = CreateFileW(next.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                              nullptr) &&
                    written == bytes.size() && FlushFileBuffers(file);
    CloseHandle(file);
    if (!ok || !MoveFileExW(next.c_str(), path_.c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      DeleteFileW(next.c_str());
      return false;
    }
    rows_ = std::move(after);
    return true;
  }

 private:
  const std::wstring path_;
  std::map<std::string, std::string> rows_;  // what the file holds
};

}  // namespace

std::unique_ptr<PolicyDatabase> PolicyDatabase::Open(const std::string& path, std::string* error) {
  std::wstring wide = std::filesystem::u8path(path).wstring();
  // A link, or a folder, in the policy's place is not the agent's policy.
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    *error = path + ": not a file of this account's";
    return nullptr;
  }
  return std::make_unique<FileDatabase>(std::move(wide));
}

}  // namespace cvmad
